// The window program's command line: answers that need no display, and
// arguments it refuses with a usage message instead of opening a window.

#include "support/clirun.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowArguments, HelpVersionAndBadArguments)
{
    struct Case
    {
        QStringList args;
        int exitCode;
        const char *stdoutStart;
        const char *stderrPart;
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: corvanel [LEFT RIGHT]", ""},
        {{"-h"}, 0, "Usage: corvanel [LEFT RIGHT]", ""},
        {{"--version"}, 0, "corvanel " CORVANEL_VERSION "\n", ""},
        {{"/tmp", "--version"}, 0, "corvanel " CORVANEL_VERSION "\n", ""},
        {{"--bogus"}, 2, "", "corvanel: unknown option '--bogus'"},
        {{"/tmp"}, 2, "", "corvanel: give two folders"},
        {{"/tmp", "/tmp", "/tmp"}, 2, "", "corvanel: give two folders"},
    };
    for (const Case &c : cases) {
        QProcess process;
        // --help and --version must work without any display at all.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(CORVANEL_BIN_DIR "/corvanel"), c.args);
        const clirun::Result r = clirun::collect(process, 30000);
        const std::string what = c.args.join(' ').toStdString();
        ASSERT_TRUE(r.finished) << what;
        EXPECT_EQ(r.exitCode, c.exitCode) << what;
        EXPECT_TRUE(r.out.startsWith(c.stdoutStart)) << what << ": " << r.out.toStdString();
        EXPECT_TRUE(r.err.contains(c.stderrPart)) << what << ": " << r.err.toStdString();
    }
    // And the command-line tool.
    const clirun::Result cli = clirun::run({QStringLiteral("--version")});
    EXPECT_EQ(cli.exitCode, 0);
    EXPECT_EQ(cli.out, "corvanel-cli " CORVANEL_VERSION "\n");
}

// Without any display the window explains itself and points to the CLI
// instead of letting Qt abort.
TEST(WindowArguments, NoDesktopIsExplained)
{
    for (const QStringList &args : {QStringList{}, QStringList{"/tmp", "/tmp"}}) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(CORVANEL_BIN_DIR "/corvanel"), args);
        const clirun::Result r = clirun::collect(process, 30000);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.startsWith("corvanel: the window needs a desktop")) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("corvanel-cli compare LEFT RIGHT"));
    }
}

} // namespace
