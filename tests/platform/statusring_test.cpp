#include "platform/statusring.h"

#include "tests/support/testdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// What a status read tells, or the error it failed with.
std::string told(int error, const struct stat &st)
{
    if (error != 0)
        return "errno " + std::to_string(error);
    return std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec)
        + "." + std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_ino) + " "
        + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
}

// Reads every name at once and one by one; "" when both agree everywhere,
// "no ring" when this thread has none, else the first difference.
std::string disagreement(int dirFd, const std::vector<std::string> &names)
{
    std::vector<const char *> pointers;
    for (const std::string &name : names)
        pointers.push_back(name.c_str());
    std::vector<struct stat> together(names.size());
    std::vector<int> errors(names.size(), -1);
    if (!platform::StatMany(dirFd, pointers.data(), pointers.size(), together.data(), errors.data()))
        return "no ring";
    for (std::size_t i = 0; i < names.size(); ++i) {
        struct stat alone;
        const int error = ::fstatat(dirFd, pointers[i], &alone, 0) == 0 ? 0 : errno;
        if (told(error, alone) != told(errors[i], together[i]))
            return names[i] + ": " + told(error, alone) + " one by one, " + told(errors[i], together[i]) + " at once";
    }
    return "";
}

} // namespace

// More names than the ring holds at once (its slots are used again), of
// every kind a folder holds: files of many sizes and times, links to files,
// to folders and to nothing, a folder; then in a child process (the
// parent's ring is not its own) as nobody in a folder it may not search.
TEST(StatusRing, TellsWhatReadingOneByOneTells)
{
    TestDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        const std::string name = "f" + std::to_string(i);
        names.push_back(name);
        switch (i % 6) {
        case 0: ::symlink(("f" + std::to_string(i + 1)).c_str(), dir.path(name).c_str()); break;
        case 1: dir.file(name, std::string(std::size_t(i), 'x'), 1600000000 + i); break;
        case 2: ::symlink("missing", dir.path(name).c_str()); break;
        case 3: ::symlink("sub", dir.path(name).c_str()); break;
        default: dir.file(name, std::string(std::size_t(i % 7), 'y')); break;
        }
    }
    dir.folder("sub");
    dir.file("closed/inside", "z");
    names.push_back("sub");
    names.push_back("gone");
    const int fd = ::open(dir.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string here = disagreement(fd, names);
    if (here == "no ring") {
        ::close(fd);
        GTEST_SKIP() << "this kernel gives no io_uring to this process: every status is read one by one";
    }
    EXPECT_EQ(here, "");
    EXPECT_EQ(disagreement(fd, names), "") << "a second time, on the same ring";

    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(disagreement(fd, names).empty() ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "in a forked child";

    ::chmod(dir.root().c_str(), 0755);
    ::chmod(dir.path("closed").c_str(), 0700);
    const int closed = ::open(dir.path("closed").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(asNobody([&] {
        const std::string inside = disagreement(closed, {"inside", "other", "inside"});
        return inside.empty() && disagreement(fd, names).empty() ? 0 : 1;
    }), 0) << "as nobody";
    ::close(closed);
    ::close(fd);
}
