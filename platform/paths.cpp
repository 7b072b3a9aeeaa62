#include "platform/paths.h"

#include <QCoreApplication>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

bool IsFolder(const std::string &path)
{
    if (path.empty())
        return false;
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string &path)
{
    if (path.empty() || path.back() == kSeparator)
        return false;
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string ProgramFolder()
{
    return QCoreApplication::applicationDirPath().toStdString();
}

std::string PointerFolder()
{
    const std::string program = ProgramFolder();
    const std::string beside = program + kSeparator;
    if (FileExists(beside + "HAND-M.CUR") || FileExists(beside + "dragfolder.cur"))
        return program;
#ifdef CORVANEL_POINTER_DIR_FROM_BIN
    const std::string installed = beside + CORVANEL_POINTER_DIR_FROM_BIN;
    if (IsFolder(installed))
        return installed;
#endif
    return program;
}

std::string WithSeparator(std::string_view root)
{
    std::string result(root);
    if (result.empty() || result.back() != kSeparator)
        result += kSeparator;
    return result;
}

std::string TrimTrailingSeparators(std::string_view text)
{
    std::string result(text);
    while (result.size() > 1 && result.back() == kSeparator)
        result.pop_back();
    return result;
}

std::string JoinPath(std::string_view root, std::string_view relative)
{
    std::string result = WithSeparator(root);
    result += relative;
    return result;
}

std::string HomeFolder()
{
    if (const char *set = std::getenv("HOME"); set && set[0] == '/')
        return set;
    const passwd *entry = ::getpwuid(::geteuid());
    return entry && entry->pw_dir && entry->pw_dir[0] == '/' ? std::string(entry->pw_dir) : std::string();
}

std::string StateFolder()
{
    if (const char *set = std::getenv("XDG_STATE_HOME"); set && set[0] == '/')
        return std::string(set) + "/corvanel";
    const std::string home = HomeFolder();
    return home.empty() ? home : home + "/.local/state/corvanel";
}

bool MakePrivateFolders(const std::string &path)
{
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string part = path.substr(0, end);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (end == std::string::npos)
            return true;
    }
}

} // namespace platform
