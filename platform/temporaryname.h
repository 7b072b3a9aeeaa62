#pragma once

#include "platform/filesystem.h"

#include <string>
#include <string_view>

// The hidden names copies are written under until they are complete:
// "." + as much of the file's name as fits + a mark + a random suffix.
namespace platform {

// A name for the temporary of name, within the folder's limit. Valid UTF-8
// wherever name is: it keeps whole characters.
std::string TemporaryName(std::string_view name, const NameLimit &limit);

// True for a name that the copy gives its temporaries; the scan collects
// such names so that a later sync can remove those its own runs left.
bool IsTemporaryName(std::string_view name);

} // namespace platform
