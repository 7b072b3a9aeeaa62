// corvanel-cli: the comparison engine without a window, for scripts and
// benchmarks. Exit status: 0 nothing pending, 1 operations pending, 2 bad input.

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "compare/report.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: corvanel-cli compare [--json] LEFT RIGHT\n"
    "\n"
    "Compares two folder trees file by file, as the window's Compare does, and\n"
    "prints both result lists and the pending file operations.\n"
    "\n"
    "  --json     print one JSON object instead of the text report\n"
    "  --help     show this text\n"
    "\n"
    "Exit status: 0 when nothing is pending, 1 when operations are pending,\n"
    "2 on bad input.\n";

int usageError(const std::string &message)
{
    std::fprintf(stderr, "corvanel-cli: %s\n\n%s", message.c_str(), kUsage);
    return 2;
}

int runCompare(const std::vector<std::string> &args)
{
    bool json = false;
    std::vector<std::string> folders;
    bool optionsEnded = false;
    for (const std::string &arg : args) {
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--json") {
            json = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option '" + arg + "'");
        } else {
            folders.push_back(arg);
        }
    }
    if (folders.size() != 2)
        return usageError("compare needs two folders, LEFT and RIGHT");

    CompareHooks hooks;
    hooks.showMessage = [](const std::string &text, const std::string &) {
        std::fprintf(stderr, "%s\n", text.c_str());
    };
    Comparison comparison;
    PendingOperationList &operations = Global::PendingOperations;
    if (!CompareFolders(folders[0], folders[1], hooks, comparison, operations))
        return 2;
    if (json)
        WriteJsonReport(stdout, comparison, operations);
    else
        WriteTextReport(stdout, comparison, operations);
    std::fflush(stdout);
    return operations.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usageError("no command given");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    for (const std::string &arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    if (command == "compare")
        return runCompare(args);
    return usageError("unknown command '" + command + "'");
}
