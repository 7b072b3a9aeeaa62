#include "compare/folderscan.h"

#include "platform/filesystem.h"
#include "platform/paths.h"

#include <utility>

namespace {

void call(const std::function<void()> &hook)
{
    if (hook)
        hook();
}

} // namespace

bool ListFiles(const std::string &folder, const std::string &relative, std::vector<ResultRow> &rows,
               std::vector<std::string> &subfolders)
{
    return platform::ReadFolder(folder, [&](std::string_view name, const platform::FileStatus &status) {
        ResultRow row;
        row.name.reserve(relative.size() + name.size());
        row.name = relative;
        row.name += name;
        row.size = status.size;
        row.modified = status.modified;
        row.modifiedNanos = status.nanoseconds;
        rows.push_back(std::move(row));
    }, subfolders);
}

void ListSubfolders(const std::string &rootText, const FolderLister &list, const ScanHooks &hooks)
{
    const std::string root = platform::WithSeparator(platform::TrimTrailingSeparators(rootText));
    // One enumeration per folder gives both its files and its subfolders; the
    // rows come out in the order of a walk that queues every folder first and
    // lists files afterwards, since each folder's files precede its subtree.
    std::vector<std::string> stack;
    stack.emplace_back();
    std::vector<std::string> subfolders;
    std::string full;
    while (!stack.empty()) {
        const std::string relative = std::move(stack.back());
        stack.pop_back();
        call(hooks.setWaitPointer);
        call(hooks.yield);

        full = root;
        full += relative;
        subfolders.clear();
        list(full, relative, subfolders);

        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) {
            std::string below = relative;
            below += *it;
            below += platform::kSeparator;
            stack.push_back(std::move(below));
        }
    }
}

void FillResultList(std::vector<ResultRow> &rows, const std::string &rootText, const ScanHooks &hooks)
{
    if (rootText.empty())
        return;
    if (hooks.setCaption)
        hooks.setCaption(std::string(kProductName) + kLoadingSuffix);
    ListSubfolders(rootText, [&rows](const std::string &full, const std::string &relative,
                                     std::vector<std::string> &subfolders) {
        ListFiles(full, relative, rows, subfolders);
    }, hooks);
    if (hooks.setCaption)
        hooks.setCaption(kProductName);
}
