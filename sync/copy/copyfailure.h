#pragma once

#include <cerrno>
#include <string>

// Failing a copy step: the reason in plain words, with errno where there is one.
namespace platform {

struct CopyError
{
    int code = 0;       // errno, or 0 when the reason is the program's own
    std::string reason; // plain words, such as "cannot read the source: No such file or directory"
    bool trashUnusable = false; // no trash could take the file a copy would replace
};

std::string errorText(int code);
// Sets *error (when given) and returns false, so a step can `return fail(...)`.
bool fail(CopyError *error, int code, std::string reason);
// The errno of the last call, as "what: description".
bool failErrno(CopyError *error, const std::string &what);

} // namespace platform
