#include "platform/memory.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace platform {

void PreferHugePages(char *argv[])
{
#if defined(__linux__) && defined(__GLIBC__)
    static const char kVariable[] = "GLIBC_TUNABLES";
    static const char kTunable[] = "glibc.malloc.hugetlb";
    const char *current = std::getenv(kVariable);
    if (current && std::strstr(current, kTunable))
        return;
    // "always" needs no asking, "never" gives nothing.
    std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    if (!std::getline(mode, modes) || modes.find("[madvise]") == std::string::npos)
        return;
    const std::string old = current ? current : "";
    const std::string value = (old.empty() ? "" : old + ":") + kTunable + "=1";
    if (::setenv(kVariable, value.c_str(), 1) != 0)
        return;
    ::execv("/proc/self/exe", argv);
    if (current)
        ::setenv(kVariable, old.c_str(), 1);
    else
        ::unsetenv(kVariable);
#else
    (void)argv;
#endif
}

} // namespace platform
