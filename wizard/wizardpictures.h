#pragma once

#include <QIcon>

// The pictures of the wizard's buttons, drawn here at 32 x 32.

enum class WizardPicture { Ok, Cancel, RunSource, RunDestination };

QIcon WizardIcon(WizardPicture picture);
