#pragma once

#include <string>
#include <string_view>

// Names as a JSON reader and a terminal may take them.

// Appends s to out as a JSON string literal, quotes included.
void AppendJsonString(std::string &out, std::string_view s);

// A name or path as a terminal may show it: unchanged when it holds no
// control character (nor a byte that is not valid UTF-8, nor a C1 control);
// otherwise quoted as $'...' with C escapes (\n, \t, \xHH, \\, \'), so that no
// name spans lines or sends the terminal a command.
std::string EscapedForTerminal(std::string_view s);
