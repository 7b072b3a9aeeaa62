#include "platform/paths.h"

#include <QCoreApplication>

#include <sys/stat.h>

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

} // namespace platform
