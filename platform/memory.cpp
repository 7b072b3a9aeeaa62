#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

constexpr std::size_t kMapped = std::size_t(1) << 20;

std::size_t pages(std::size_t size)
{
    const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

} // namespace

void *ResizeBlock(void *block, std::size_t size, std::size_t newSize)
{
#if defined(__linux__)
    if (size < kMapped && newSize < kMapped)
        return std::realloc(block, newSize);
    if (size >= kMapped && newSize >= kMapped) {
        void *moved = ::mremap(block, pages(size), pages(newSize), MREMAP_MAYMOVE);
        return moved == MAP_FAILED ? nullptr : moved;
    }
    void *fresh;
    if (newSize >= kMapped) {
        fresh = ::mmap(nullptr, pages(newSize), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (fresh == MAP_FAILED)
            return nullptr;
        ::madvise(fresh, pages(newSize), MADV_HUGEPAGE);
    } else if (!(fresh = std::malloc(newSize))) {
        return nullptr;
    }
    if (block)
        std::memcpy(fresh, block, std::min(size, newSize));
    FreeBlock(block, size);
    return fresh;
#else
    (void)size;
    return std::realloc(block, newSize);
#endif
}

void FreeBlock(void *block, std::size_t size)
{
#if defined(__linux__)
    if (block && size >= kMapped) {
        ::munmap(block, pages(size));
        return;
    }
#endif
    (void)size;
    std::free(block);
}

} // namespace platform
