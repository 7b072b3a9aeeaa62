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
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    if (ownTrash)
        std::filesystem::remove_all(trashHome, ignored);
    return result;
}
