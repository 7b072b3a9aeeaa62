#pragma once

#include "platform/desktop/ui.h"

#include <QString>

#include <array>
#include <optional>

// The main window's geometry arithmetic, in twips (1/1440 inch) held as
// single-precision numbers, free of any widget so that it can be checked
// without a window. Pixels come only when a placement is applied.
namespace Form1Layout {

using platform::TwipsRect;

// Everything the layout places.
struct MainPlacements
{
    TwipsRect combo1, combo2;     // folder combos
    TwipsRect image1, image2;     // browse pictures
    TwipsRect listView1, listView2;
    TwipsRect check1, check2, check7; // Compare, Sync Wizard, Exit
    TwipsRect frame1;             // legend

    bool operator==(const MainPlacements &) const = default;
};

// The window's outer size as designed (a client area of 11880 x 7335).
inline constexpr float kDesignedOuterWidth = 12000;
inline constexpr float kDesignedOuterHeight = 7845;
inline constexpr float kDesignedClientWidth = 11880;
inline constexpr float kDesignedClientHeight = 7335;
inline constexpr float kDesignedClientLeft = 3015;
inline constexpr float kDesignedClientTop = 3120;

// The controls as the window is designed, before start-up and the first
// layout adjust them.
MainPlacements DesignedPlacements();

// Places the controls for an outer size W x H. A width or height that would
// come out negative is not applied: that control keeps its value from
// previous, and later steps read the value it kept.
MainPlacements LayOutMainWindow(float outerWidth, float outerHeight, const MainPlacements &previous);

// The four column widths of a result list of the given width, set once at
// start-up; together they are wider than the list.
std::array<float, 4> ColumnWidths(float listWidth);

// A stored "WindowState": 0 normal, 1 minimised, 2 maximised; nothing for a
// text that is absent, not a whole number, outside 16 bits or another state.
std::optional<int> ParseWindowState(const QString &stored);

// A stored "FormHeight" in twips; nothing for a text that is absent, not a
// whole number, outside 16 bits, or no height at all (zero or less).
std::optional<int> ParseFormHeight(const QString &stored);

} // namespace Form1Layout
