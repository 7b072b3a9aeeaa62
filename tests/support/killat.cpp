// Preloaded into a program under test (LD_PRELOAD), stops it dead just
// before the N-th call of one function, as a crash or a kill at exactly
// that point would: CORVANEL_KILL_AT=renameat:3 kills it before its third
// renameat. Without the variable every call passes straight through.
//
// No system header that declares these functions is included: glibc's
// declarations carry noexcept markers (throw ()) that these definitions need
// not repeat.

#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<long> g_calls{0};

// Kills the process when `function` is the one named and its count is up.
void countCall(const char *function)
{
    const char *at = std::getenv("CORVANEL_KILL_AT");
    const char *colon = at ? std::strchr(at, ':') : nullptr;
    if (!colon || std::strlen(function) != std::size_t(colon - at)
        || std::strncmp(at, function, std::size_t(colon - at)) != 0)
        return;
    if (++g_calls == std::atol(colon + 1))
        ::raise(SIGKILL);
}

template <typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    countCall("renameat");
    return next<int (*)(int, const char *, int, const char *)>("renameat")(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned flags)
{
    countCall("renameat2");
    return next<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(fromDir, from, toDir, to,
                                                                                       flags);
}

int linkat(int fromDir, const char *from, int toDir, const char *to, int flags)
{
    countCall("linkat");
    return next<int (*)(int, const char *, int, const char *, int)>("linkat")(fromDir, from, toDir, to, flags);
}

int fsync(int fd)
{
    countCall("fsync");
    return next<int (*)(int)>("fsync")(fd);
}

int fsetxattr(int fd, const char *name, const void *value, std::size_t size, int flags)
{
    countCall("fsetxattr");
    return next<int (*)(int, const char *, const void *, std::size_t, int)>("fsetxattr")(fd, name, value, size, flags);
}

int syncfs(int fd)
{
    countCall("syncfs");
    return next<int (*)(int)>("syncfs")(fd);
}

} // extern "C"
