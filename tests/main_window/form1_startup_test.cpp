// Start-up, the stored window settings and the layout of the real window.

#include "windowtest.h"

#include "folders/foldercombos.h"
#include "main_window/mainlayout.h"
#include "main_window/pictures.h"
#include "main_window/resultlistmodel.h"
#include "platform/settings.h"

#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QToolButton>
#include <QTreeView>

using namespace Form1Layout;

namespace {

int px(float twips, qreal dpi)
{
    return platform::TwipsToPixels(twips, dpi);
}

// What the settings file holds on disk, not what a cache remembers.
QString storedOnDisk(const TestSettings &settings, const QString &key)
{
    QFile file(QString::fromStdString(settings.settingsFile()));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("<no file>");
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key.toLatin1() + '='))
            return QString::fromLatin1(line.mid(key.size() + 1)).trimmed();
    }
    return QStringLiteral("<absent>");
}

} // namespace

class StartUpTest : public WindowTest
{
};

TEST_F(StartUpTest, EmptyStoreGivesTheDesignedWindow)
{
    Form1 &form = create();
    const qreal dpiX = form.logicalDpiX();
    const qreal dpiY = form.logicalDpiY();

    EXPECT_EQ(form.windowTitle(), "Corvanel");
    EXPECT_EQ(form.palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(form.windowState(), Qt::WindowNoState);
    EXPECT_EQ(form.size(), QSize(px(11880, dpiX), px(7335, dpiY)));

    for (const char *name : {"Combo1", "Combo2"}) {
        auto *combo = child<QComboBox>(name);
        EXPECT_TRUE(combo->isEditable());
        EXPECT_EQ(combo->currentText(), "");
        EXPECT_EQ(combo->count(), 0);
        EXPECT_EQ(combo->font().family(), "Arial");
        EXPECT_DOUBLE_EQ(combo->font().pointSizeF(), 9.75);
    }
    for (const char *name : {"Image1", "Image2"}) {
        auto *picture = child<QLabel>(name);
        EXPECT_EQ(picture->toolTip(), "Browse to Folder");
        EXPECT_EQ(picture->size(), QSize(px(240, dpiX), px(210, dpiY)));
    }

    const std::array<float, 4> columns = ColumnWidths(5750);
    for (const char *name : {"ListView1", "ListView2"}) {
        auto *list = child<QTreeView>(name);
        ASSERT_NE(list->model(), nullptr);
        EXPECT_EQ(list->model()->rowCount(), 0);
        EXPECT_FALSE(list->rootIsDecorated());
        EXPECT_TRUE(list->uniformRowHeights());
        EXPECT_EQ(list->font().family(), "Arial");
        ASSERT_EQ(list->model()->columnCount(), 4);
        EXPECT_EQ(list->model()->headerData(3, Qt::Horizontal).toString(), "Last Modified");
        // The designed lists are 5750 wide: 4212.5, 1337.5, 1816.67, 2775.
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(list->header()->sectionSize(c), px(columns[c], dpiX)) << name << " column " << c;
    }

    struct Button { const char *name; const char *caption; const char *tip; };
    const Button buttons[] = {
        {"Check1", "Compare", "Compare the two selected folders for matches and differences, show results."},
        {"Check2", "Sync Wizard",
         "This wizard will safely show you the possible file operations (file copy, file overwrite) necessary "
         "to synchronize the two folders."},
        {"Check7", "Exit", ""},
    };
    for (const Button &b : buttons) {
        auto *button = child<QToolButton>(b.name);
        EXPECT_EQ(button->text(), b.caption);
        EXPECT_EQ(button->toolTip(), b.tip);
        EXPECT_TRUE(button->isCheckable());
        EXPECT_FALSE(button->isChecked());
        EXPECT_EQ(button->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
        EXPECT_FALSE(button->icon().isNull());
        EXPECT_TRUE(button->font().bold());
        EXPECT_DOUBLE_EQ(button->font().pointSizeF(), 11.25);
        EXPECT_EQ(button->size(), QSize(px(1455, dpiX), px(1095, dpiY)));
    }

    auto *frame = child<QGroupBox>("Frame1");
    EXPECT_EQ(frame->title(), "Legend");
    EXPECT_EQ(frame->x(), px(4810, dpiX));
    EXPECT_EQ(frame->height(), px(1195, dpiY));
    const char *captions[] = {"This file is newer than its match and needs to be synchronized.",
                              "This file is older than its match and needs to be synchronized.",
                              "This file does not have a match and needs to be synchronized."};
    const float tops[] = {320, 560, 800};
    for (int row = 0; row < 3; ++row) {
        auto *picture = child<QLabel>(("Image" + std::to_string(row + 3)).c_str());
        auto *label = child<QLabel>(("Label" + std::to_string(row + 1)).c_str());
        EXPECT_EQ(label->text(), captions[row]);
        EXPECT_EQ(label->font().pointSizeF(), 9.75);
        EXPECT_TRUE(label->font().bold());
        EXPECT_EQ(picture->y(), px(tops[row], dpiY));
        EXPECT_EQ(label->y(), picture->y());
        EXPECT_EQ(picture->x(), px(360, dpiX));
        EXPECT_EQ(label->x(), px(720, dpiX));
    }
    // The legend shows the very pictures of the lists' status icons.
    EXPECT_EQ(child<QLabel>("Image3")->pixmap().toImage(), StatusPicture(NewerIcon).toImage());
    EXPECT_EQ(child<QLabel>("Image5")->pixmap().toImage(), StatusPicture(NotFoundIcon).toImage());

    // Nothing stored yet; the first layout, at the first show, stores both.
    EXPECT_FALSE(platform::HasSetting(QStringLiteral("WindowState")));
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(storedOnDisk(settings, "WindowState"), "0");
    EXPECT_EQ(storedOnDisk(settings, "FormHeight"),
              QString::number(qRound(platform::PixelsToTwips(form.frameGeometry().height(), dpiY))));
}

TEST_F(StartUpTest, StoredHeightGivesTheOuterHeight)
{
    platform::WriteSetting(QStringLiteral("WindowState"), QStringLiteral("0"));
    platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("7845"));
    Form1 &form = createShown();
    const qreal dpiY = form.logicalDpiY();
    EXPECT_EQ(form.frameGeometry().height(), px(7845, dpiY));
    // The outer width is always the designed one, once the frame is known.
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.frameGeometry().width() == px(12000, form.logicalDpiX()); }));
    EXPECT_EQ(form.frameGeometry().height(), px(7845, dpiY));
    EXPECT_EQ(storedOnDisk(settings, "FormHeight"), "7845");
    EXPECT_EQ(storedOnDisk(settings, "WindowState"), "0");
}

TEST_F(StartUpTest, StoredMaximisedStateOpensMaximisedWithTheHeightKeptForRestoring)
{
    platform::WriteSetting(QStringLiteral("WindowState"), QStringLiteral("2"));
    platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("7845"));
    Form1 &form = create();
    EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);

    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(storedOnDisk(settings, "WindowState"), "2");
    // The stored height belongs to the normal size the window returns to.
    form.showNormal();
    QTest::qWait(20);
    EXPECT_EQ(storedOnDisk(settings, "WindowState"), "0");
    EXPECT_EQ(form.frameGeometry().height(), px(7845, form.logicalDpiY()));
}

TEST_F(StartUpTest, StoredMinimisedStateOpensMinimised)
{
    platform::WriteSetting(QStringLiteral("WindowState"), QStringLiteral("1"));
    Form1 &form = create();
    EXPECT_TRUE(form.windowState() & Qt::WindowMinimized);
    EXPECT_EQ(platform::ReadSetting(QStringLiteral("WindowState")), "1");
}

TEST_F(StartUpTest, UnusableStoredValuesKeepTheDesignedWindow)
{
    const std::pair<const char *, const char *> stored[] = {
        {"", ""}, {"3", "40000"}, {"-1", "-7845"}, {"max", "tall"}, {"2.0", "7845.5"}, {"1e0", "0"},
    };
    for (const auto &[state, height] : stored) {
        platform::WriteSetting(QStringLiteral("WindowState"), QLatin1String(state));
        platform::WriteSetting(QStringLiteral("FormHeight"), QLatin1String(height));
        Form1 &form = create();
        EXPECT_EQ(form.windowState(), Qt::WindowNoState) << state;
        EXPECT_EQ(form.height(), px(7335, form.logicalDpiY())) << height;
        window.reset();
    }
}

TEST_F(StartUpTest, LayoutFollowsTheOuterSizeAndStoresIt)
{
    Form1 &form = createShown();
    const qreal dpiX = form.logicalDpiX();
    const qreal dpiY = form.logicalDpiY();
    QList<int> columnsBefore;
    for (int c = 0; c < 4; ++c)
        columnsBefore << child<QTreeView>("ListView1")->header()->sectionSize(c);

    // Outer 12000 x 7845 twips.
    const QSize frame = form.frameGeometry().size() - form.size();
    form.resize(px(12000, dpiX) - frame.width(), px(7845, dpiY) - frame.height());
    QTest::qWait(10);
    ASSERT_EQ(form.frameGeometry().size(), QSize(px(12000, dpiX), px(7845, dpiY)));

    const MainPlacements &p = form.placements();
    EXPECT_EQ(p, LayOutMainWindow(platform::PixelsToTwips(px(12000, dpiX), dpiX), platform::PixelsToTwips(px(7845, dpiY), dpiY),
                                  DesignedPlacements()));
    if (dpiX == 96 && dpiY == 96) {
        // Pixels of the worked example at 15 twips a pixel.
        EXPECT_EQ(child<QWidget>("ListView1")->geometry(), QRect(8, 32, 383, 373));
        EXPECT_EQ(child<QWidget>("ListView2")->geometry(), QRect(400, 32, 383, 373));
        EXPECT_EQ(child<QWidget>("Check1")->y(), 413);
        EXPECT_EQ(child<QWidget>("Frame1")->geometry(), QRect(321, 405, 460, 80));
        EXPECT_EQ(child<QWidget>("Combo2")->geometry(), QRect(400, 8, 363, 24));
        EXPECT_EQ(child<QWidget>("Image1")->pos(), QPoint(373, 13));
        EXPECT_EQ(child<QWidget>("Image2")->pos(), QPoint(765, 13));
    }
    EXPECT_EQ(storedOnDisk(settings, "WindowState"), "0");
    EXPECT_EQ(storedOnDisk(settings, "FormHeight"), "7845");

    // Narrow: the lists keep their widths, the combos follow those.
    const int listWidth = child<QWidget>("ListView1")->width();
    form.resize(20, form.height());
    QTest::qWait(10);
    EXPECT_EQ(child<QWidget>("ListView1")->width(), listWidth);
    EXPECT_EQ(child<QWidget>("ListView2")->x(), px(form.placements().listView1.width + 250, dpiX));

    // Low: the lists keep their heights, the buttons go above the window.
    const int listHeight = child<QWidget>("ListView1")->height();
    form.resize(px(12000, dpiX), 60);
    QTest::qWait(10);
    EXPECT_EQ(child<QWidget>("ListView1")->height(), listHeight);
    EXPECT_LT(child<QWidget>("Check7")->y(), 0);
    EXPECT_EQ(storedOnDisk(settings, "FormHeight"),
              QString::number(qRound(platform::PixelsToTwips(form.frameGeometry().height(), dpiY))));

    // Resizing never touches the columns.
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(child<QTreeView>("ListView1")->header()->sectionSize(c), columnsBefore[c]);

    form.showMaximized();
    QTest::qWait(20);
    EXPECT_EQ(storedOnDisk(settings, "WindowState"), "2");
}
