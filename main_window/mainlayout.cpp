#include "main_window/mainlayout.h"

#include <cmath>

namespace Form1Layout {
namespace {

// Fixed parts of the design.
constexpr float kComboLeft = 120, kComboTop = 120, kComboHeight = 360;
constexpr float kListLeft = 120, kListTop = 480;
constexpr float kButtonWidth = 1455, kButtonHeight = 1095;
constexpr float kCompareLeft = 120, kSyncWizardLeft = 1680, kExitLeft = 3240;
constexpr float kBrowseWidth = 240, kBrowseHeight = 210;

// A size that the window would reject leaves the old one in place.
void setSize(float &property, float value)
{
    if (value >= 0)
        property = value;
}

std::optional<int> parseShort(const QString &stored)
{
    bool ok = false;
    const short value = stored.trimmed().toShort(&ok);
    if (!ok)
        return std::nullopt;
    return int(value);
}

} // namespace

MainPlacements DesignedPlacements()
{
    MainPlacements p;
    p.combo1 = {kComboLeft, kComboTop, 0, kComboHeight};
    p.combo2 = {0, kComboTop, 0, kComboHeight};
    p.image1 = {0, 0, kBrowseWidth, kBrowseHeight};
    p.image2 = {0, 0, kBrowseWidth, kBrowseHeight};
    p.listView1 = {kListLeft, kListTop, 0, 0};
    p.listView2 = {0, kListTop, 0, 0};
    p.check1 = {kCompareLeft, 0, kButtonWidth, kButtonHeight};
    p.check2 = {kSyncWizardLeft, 0, kButtonWidth, kButtonHeight};
    p.check7 = {kExitLeft, 0, kButtonWidth, kButtonHeight};
    p.frame1 = {kExitLeft + 1570, 0, 0, kButtonHeight + 100};
    // The designed window carries the placements of its own size.
    return LayOutMainWindow(kDesignedOuterWidth, kDesignedOuterHeight, p);
}

MainPlacements LayOutMainWindow(float W, float H, const MainPlacements &previous)
{
    MainPlacements p = previous;
    setSize(p.listView1.width, W / 2 - 250);
    setSize(p.listView1.height, H - 2170 - 75);
    setSize(p.listView2.width, W / 2 - 250);
    setSize(p.listView2.height, H - 2245);
    p.check1.top = H - 1250 - 400;
    p.check2.top = H - 1650;
    p.check7.top = H - 1650;
    p.listView2.left = p.listView1.width + 250;
    p.frame1.top = p.check7.top - 127;
    setSize(p.frame1.width, W - 5100);
    setSize(p.combo1.width, p.listView1.width - 300);
    setSize(p.combo2.width, p.listView2.width - 300);
    p.combo2.left = p.listView2.left;
    // Measured from the combos' widths, not their right edges, as designed.
    p.image1.left = p.combo1.width + 150;
    p.image1.top = p.combo1.top + 75;
    p.image2.left = p.combo2.width + p.combo1.width + 570;
    p.image2.top = p.combo2.top + 75;
    return p;
}

std::array<float, 4> ColumnWidths(float listWidth)
{
    return {listWidth * 3 / 4 - 100, listWidth * 1 / 4 - 100, listWidth * 1 / 3 - 100, listWidth * 1 / 2 - 100};
}

std::optional<int> ParseWindowState(const QString &stored)
{
    const std::optional<int> state = parseShort(stored);
    if (!state || *state < 0 || *state > 2)
        return std::nullopt;
    return state;
}

std::optional<int> ParseFormHeight(const QString &stored)
{
    const std::optional<int> height = parseShort(stored);
    if (!height || *height <= 0)
        return std::nullopt;
    return height;
}

} // namespace Form1Layout
