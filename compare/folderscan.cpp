#include "compare/folderscan.h"

#include "platform/filesystem.h"
#include "platform/paths.h"

#include <utility>

namespace {

struct PendingFolder
{
    std::string relative; // ends with the separator, or is empty for the root
};

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
        rows.push_back(std::move(row));
    }, subfolders);
}

void FillResultList(std::vector<ResultRow> &rows, const std::string &rootText, const ScanHooks &hooks)
{
    if (rootText.empty())
        return;
    const std::string root = platform::WithSeparator(platform::TrimTrailingSeparators(rootText));
    if (hooks.setCaption)
        hooks.setCaption(std::string(kProductName) + kLoadingSuffix);

    // One enumeration per folder gives both its files and its subfolders; the
    // rows come out in the order of a walk that queues every folder first and
    // lists files afterwards, since each folder's files precede its subtree.
    std::vector<PendingFolder> stack;
    stack.push_back({std::string()});
    std::vector<std::string> subfolders;
    std::string full;
    while (!stack.empty()) {
        PendingFolder current = std::move(stack.back());
        stack.pop_back();
        call(hooks.setWaitPointer);
        call(hooks.yield);

        full = root;
        full += current.relative;
        subfolders.clear();
        ListFiles(full, current.relative, rows, subfolders);

        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) {
            std::string relative = current.relative;
            relative += *it;
            relative += platform::kSeparator;
            stack.push_back({std::move(relative)});
        }
    }

    if (hooks.setCaption)
        hooks.setCaption(kProductName);
}
