// One main for every test program: the offscreen platform unless another is
// asked for, and a QApplication for the widgets.

#include <QApplication>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

int main(int argc, char *argv[])
{
    // Test discovery runs this program without the test's environment.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QStandardPaths::setTestModeEnabled(true);
    // Tests that read their trees as another user need files others may
    // read, whatever the mask of the shell that runs them (077 is common).
    ::umask(022);
    // Files a sync replaces go to the Trash: a test's own, never the user's.
    // The programs the tests start inherit it.
    char trashHome[] = "/tmp/corvanel-data-XXXXXX";
    const bool ownTrash = ::mkdtemp(trashHome) != nullptr;
    if (ownTrash)
        setenv("XDG_DATA_HOME", trashHome, 1);
    // So are the records of the temporaries a run makes: a killed run's,
    // cleared by the next run anywhere, must not reach into another test
    // program's trees while it looks at them.
    char stateHome[] = "/tmp/corvanel-state-XXXXXX";
    const bool ownState = ::mkdtemp(stateHome) != nullptr;
    if (ownState)
        setenv("XDG_STATE_HOME", stateHome, 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    if (ownTrash)
        std::filesystem::remove_all(trashHome, ignored);
    if (ownState)
        std::filesystem::remove_all(stateHome, ignored);
    return result;
}
