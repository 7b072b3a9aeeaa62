#pragma once

#include "platform/desktop/ui.h"

#include <array>

// The Sync Wizard's geometry in twips (1/1440 inch), held as single-precision
// numbers as the window was drawn up; converted to pixels only when
// applied. Pure arithmetic, so every placement can be checked exactly.

using platform::TwipsRect;

struct WizardPlacement
{
    TwipsRect list;           // ListView1
    TwipsRect ok;             // Check2
    TwipsRect cancel;         // Check1
    TwipsRect runSource;      // Check4
    TwipsRect runDestination; // Check5
    TwipsRect frame;          // Frame1
    TwipsRect label;          // Label1, relative to the frame
    std::array<float, 3> columns{}; // Source, Action, Destination
};

// The window's client size as drawn up, before it takes the main window's place.
inline constexpr float kWizardDesignWidth = 11805;
inline constexpr float kWizardDesignHeight = 5160;

// The controls as the window is loaded: their drawn-up positions, then the
// instruction frame placed against Run Destination, the columns sized from
// the list's width and the instruction's height set, as the list is filled.
WizardPlacement LoadedPlacement();

// Column widths for a list width: two fifths, one fifth, two fifths, each
// less 100.
std::array<float, 3> ColumnWidths(float listWidth);

// The placement after a resize to the outer size width x height. Each step
// that would give a negative width or height is skipped (that size keeps its
// value) and the following steps still run; tops may go negative.
WizardPlacement LayoutWizard(float width, float height, const WizardPlacement &current);
