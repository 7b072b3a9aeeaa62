#include "main_window/mainlayout.h"

#include <gtest/gtest.h>

using namespace Form1Layout;

namespace {

MainPlacements layOut(float W, float H)
{
    return LayOutMainWindow(W, H, DesignedPlacements());
}

} // namespace

TEST(MainLayout, DesignedWindowPlacesEveryControl)
{
    const MainPlacements p = layOut(12000, 7845);
    EXPECT_EQ(p.listView1, (TwipsRect{120, 480, 5750, 5600}));
    EXPECT_EQ(p.listView2, (TwipsRect{6000, 480, 5750, 5600}));
    for (const TwipsRect &button : {p.check1, p.check2, p.check7}) {
        EXPECT_EQ(button.top, 6195);
        EXPECT_EQ(button.width, 1455);
        EXPECT_EQ(button.height, 1095);
    }
    EXPECT_EQ(p.check1.left, 120);
    EXPECT_EQ(p.check2.left, 1680);
    EXPECT_EQ(p.check7.left, 3240);
    EXPECT_EQ(p.frame1.top, 6068);
    EXPECT_EQ(p.frame1.width, 6900);
    EXPECT_EQ(p.combo1, (TwipsRect{120, 120, 5450, 360}));
    EXPECT_EQ(p.combo2, (TwipsRect{6000, 120, 5450, 360}));
    EXPECT_EQ(p.image1.left, 5600);
    EXPECT_EQ(p.image1.top, 195);
    EXPECT_EQ(p.image2.left, 11470);
    EXPECT_EQ(p.image2.top, 195);
    // The designed window is this very layout.
    EXPECT_EQ(DesignedPlacements(), p);
}

TEST(MainLayout, NarrowWindowKeepsListWidthsAndPlacesFromThem)
{
    const MainPlacements before = layOut(9000, 7845);
    const MainPlacements p = LayOutMainWindow(400, 7845, before);
    EXPECT_EQ(p.listView1.width, before.listView1.width);
    EXPECT_EQ(p.listView2.width, before.listView2.width);
    EXPECT_EQ(p.listView2.left, before.listView1.width + 250);
    EXPECT_EQ(p.combo1.width, before.listView1.width - 300);
    EXPECT_EQ(p.image2.left, 2 * (before.listView1.width - 300) + 570);
    // W - 5100 is negative too: the legend keeps its width.
    EXPECT_EQ(p.frame1.width, before.frame1.width);
    // Heights still follow the window.
    EXPECT_EQ(p.listView1.height, 5600);
}

TEST(MainLayout, LowWindowKeepsListHeightsButMovesTheButtons)
{
    const MainPlacements before = layOut(12000, 7845);
    const MainPlacements p = LayOutMainWindow(12000, 1000, before);
    EXPECT_EQ(p.listView1.height, 5600);
    EXPECT_EQ(p.listView2.height, 5600);
    EXPECT_EQ(p.check1.top, -650);
    EXPECT_EQ(p.check7.top, -650);
    EXPECT_EQ(p.frame1.top, -777);
    // Exactly 2245 high gives lists of height 0, which is allowed.
    EXPECT_EQ(LayOutMainWindow(12000, 2245, before).listView1.height, 0);
}

TEST(MainLayout, TinyListsKeepTheirComboWidths)
{
    MainPlacements before = layOut(12000, 7845);
    before.listView1.width = 200; // narrower than a combo can follow
    const MainPlacements p = LayOutMainWindow(100, 7845, before);
    EXPECT_EQ(p.combo1.width, before.combo1.width);
    EXPECT_EQ(p.image1.left, before.combo1.width + 150);
}

TEST(MainLayout, ColumnWidthsFromTheListWidth)
{
    const std::array<float, 4> widths = ColumnWidths(5750);
    EXPECT_FLOAT_EQ(widths[0], 4212.5f);
    EXPECT_FLOAT_EQ(widths[1], 1337.5f);
    EXPECT_NEAR(widths[2], 1816.67f, 0.01f);
    EXPECT_FLOAT_EQ(widths[3], 2775.f);
}

TEST(MainLayout, StoredWindowValuesThatCannotBeUsedAreRefused)
{
    EXPECT_EQ(ParseWindowState(QStringLiteral("0")), 0);
    EXPECT_EQ(ParseWindowState(QStringLiteral("2")), 2);
    EXPECT_EQ(ParseWindowState(QStringLiteral(" 1 ")), 1);
    for (const char *bad : {"", "3", "-1", "x", "1.5", "2x", "99999"})
        EXPECT_FALSE(ParseWindowState(QString::fromLatin1(bad))) << bad;

    EXPECT_EQ(ParseFormHeight(QStringLiteral("7845")), 7845);
    EXPECT_EQ(ParseFormHeight(QStringLiteral("32767")), 32767);
    for (const char *bad : {"", "32768", "-5", "0", "tall", "7845.5", "1e4"})
        EXPECT_FALSE(ParseFormHeight(QString::fromLatin1(bad))) << bad;
}
