#include "sync/copy/copyfailure.h"

#include <cstring>
#include <utility>

namespace platform {

std::string errorText(int code)
{
    return std::strerror(code);
}

bool fail(CopyError *error, int code, std::string reason)
{
    if (error) {
        error->code = code;
        error->reason = std::move(reason);
    }
    return false;
}

// The errno of the last call, as "what: description".
bool failErrno(CopyError *error, const std::string &what)
{
    const int code = errno;
    return fail(error, code, what + ": " + errorText(code));
}

} // namespace platform
