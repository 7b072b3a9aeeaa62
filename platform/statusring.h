#pragma once

#include <sys/stat.h>

#include <cstddef>

namespace platform {

// Reads the status of count names in the folder dirFd at once (links
// followed, as fstatat without flags does): each into st[i], or its errno
// into errors[i] (0 when read). The kernel reads them on its own workers
// from one submission ring a thread, without a system call per name.
// False, with nothing read, where this thread has no ring (a kernel
// without io_uring, or one that refuses it): the caller reads one by one.
bool StatMany(int dirFd, const char *const *names, std::size_t count, struct stat *st, int *errors);

} // namespace platform
