#pragma once

// corvanel-cli as a child process, always under a time limit, optionally as
// the unprivileged user nobody, and watched while it copies.

#include "support/testdir.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QThread>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace clirun {

inline QString program()
{
    return QStringLiteral(CORVANEL_BIN_DIR "/corvanel-cli");
}

struct Result
{
    bool finished = false;
    int exitCode = -1; // -1 when it crashed or was killed
    QByteArray out;
    QByteArray err;
};

inline Result collect(QProcess &process, int timeoutMs)
{
    Result r;
    r.finished = process.waitForFinished(timeoutMs);
    if (!r.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = process.readAllStandardOutput();
    r.err = process.readAllStandardError();
    return r;
}

inline Result run(const QStringList &args, const QString &workingFolder = QString(), int timeoutMs = 120000)
{
    QProcess process;
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(program(), args);
    return collect(process, timeoutMs);
}

// Killed (SIGKILL) just before its call-th call of function, one of those
// tests/support/killat.cpp counts: a crash or power cut at that point.
inline Result runKilledAt(const QStringList &args, const char *function, int call, int timeoutMs = 120000)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(CORVANEL_KILL_SHIM));
    environment.insert(QStringLiteral("CORVANEL_KILL_AT"), QStringLiteral("%1:%2").arg(function).arg(call));
    // Sanitized builds want their runtime first; the shim comes before it.
    const QString sanitizer = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       (sanitizer.isEmpty() ? QString() : sanitizer + ':') + QStringLiteral("verify_asan_link_order=0"));
    process.setProcessEnvironment(environment);
    process.start(program(), args);
    return collect(process, timeoutMs);
}

// Under a limit of open files (soft and hard) that it cannot raise.
inline Result runWithOpenFileLimit(const QStringList &args, int limit, int timeoutMs = 120000)
{
    QProcess process;
    process.start(QStringLiteral("/bin/sh"), QStringList{"-c", QStringLiteral("ulimit -n %1 && exec \"$0\" \"$@\"").arg(limit),
                                                         program()}
                                                 + args);
    return collect(process, timeoutMs);
}

// As user and group 65534: root reads and writes whatever the modes say.
inline Result runAsNobody(const QStringList &args, int timeoutMs = 120000)
{
    QProcess process;
    process.start(QStringLiteral("setpriv"),
                  QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program()} + args);
    return collect(process, timeoutMs);
}

// The largest file the process holds open below folder (a path ending in
// "/"), or -1: how far a copy into that folder has come.
inline std::int64_t bytesBeingWritten(qint64 pid, const std::string &folder)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::int64_t largest = -1;
    DIR *dir = ::opendir(fds.c_str());
    if (!dir)
        return -1;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string link = fds + "/" + entry->d_name;
        char target[4096];
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, n).rfind(folder, 0) != 0)
            continue;
        struct stat st;
        if (::stat(link.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > largest)
            largest = st.st_size;
    }
    ::closedir(dir);
    return largest;
}

// Waits until the process writes a file below folder that has reached
// atLeast bytes; false when it ended or the time ran out first.
inline bool waitUntilCopying(QProcess &process, const std::string &folder, std::int64_t atLeast,
                             int timeoutMs = 60000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end && process.state() != QProcess::NotRunning) {
        if (bytesBeingWritten(process.processId(), folder) >= atLeast)
            return true;
        QThread::usleep(500);
    }
    return false;
}

// A file of the given size whose every mebibyte differs from the others, so
// a misplaced or missing piece shows.
inline void writeLargeFile(const std::string &path, std::int64_t mebibytes, unsigned seed)
{
    std::mt19937_64 generator(seed);
    std::vector<std::uint64_t> block(1 << 17);
    for (auto &word : block)
        word = generator();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::int64_t i = 0; i < mebibytes; ++i) {
        block[0] = std::uint64_t(i) ^ seed;
        out.write(reinterpret_cast<const char *>(block.data()), std::streamsize(block.size() * sizeof block[0]));
    }
}

inline bool sameContent(const std::string &a, const std::string &b)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb)
        return false;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        fa.read(ba.data(), std::streamsize(ba.size()));
        fb.read(bb.data(), std::streamsize(bb.size()));
        if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
        if (fa.gcount() == 0)
            return true;
    }
}

} // namespace clirun
