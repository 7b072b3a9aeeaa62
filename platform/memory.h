#pragma once

#include <cstddef>

// The heap of a scan of millions of files, faulted in 2 MiB pages instead of
// 4 KiB ones: a tenth of a second at a million files a side.
namespace platform {

// Where the system gives huge pages only to memory that asks for them and the
// C library's allocator asks only when told so at start (glibc's
// glibc.malloc.hugetlb tunable), starts the program again, once, with it
// told; argv as main received it. Returns when there is nothing to do, when
// GLIBC_TUNABLES already names the setting (the user's choice stands), or
// when the program cannot be started again.
void PreferHugePages(char *argv[]);

// Memory for one array that grows, as realloc gives it: blocks of a
// mebibyte and more are mappings of their own (in huge pages where the
// system gives those on request), which grow by the system moving their
// pages rather than by copying them into new ones. Nothing on failure;
// block stays then as it was. size is what block was last given (0 for
// none).
void *ResizeBlock(void *block, std::size_t size, std::size_t newSize);
void FreeBlock(void *block, std::size_t size);

} // namespace platform
