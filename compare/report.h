#pragma once

#include "compare/comparefolders.h"

#include <cstdio>
#include <string>
#include <string_view>

// Text and JSON reports of a comparison, for the command-line tool. Every
// text is the one the window shows; JSON strings carry names that are not
// valid UTF-8 with replacement characters.

// Appends s to out as a JSON string literal, quotes included.
void AppendJsonString(std::string &out, std::string_view s);

// Writes the whole comparison as one JSON object.
void WriteJsonReport(std::FILE *out, const Comparison &comparison, const PendingOperationList &operations);

// Writes both lists and the pending operations as aligned text.
void WriteTextReport(std::FILE *out, const Comparison &comparison, const PendingOperationList &operations);

// A name as a terminal line may show it: a name holding control characters
// (a newline could forge a line of its own) is put in double quotes with
// those characters, quotes and backslashes escaped; any other name as it is.
std::string EscapedForTerminal(std::string_view name);
