#pragma once

// The two folder trees, for everything that holds one thing per side; on its
// own so that the folder boxes need nothing else of the engine.
enum class Side { Left, Right };
