#include "wizard/wizardlayout.h"

namespace {

void setSize(float &size, float value)
{
    if (value >= 0)
        size = value;
}

} // namespace

std::array<float, 3> ColumnWidths(float listWidth)
{
    return {listWidth * 2 / 5 - 100, listWidth * 1 / 5 - 100, listWidth * 2 / 5 - 100};
}

WizardPlacement LoadedPlacement()
{
    WizardPlacement p;
    p.list = {120, 120, 7695, 2775};
    p.ok = {120, 3960, 1455, 1095};
    p.cancel = {1680, 3960, 1455, 1095};
    p.runSource = {3240, 3960, 1455, 1095};
    p.runDestination = {4800, 3960, 1455, 1095};
    p.frame = {7920, 3960, 3615, 975};
    p.label = {240, 270, 3165, 615};

    // The instruction frame sits against Run Destination.
    p.frame.height = p.runDestination.height + 100;
    p.frame.left = p.runDestination.left + 1570;
    p.frame.top = p.runDestination.top - 100;
    p.columns = ColumnWidths(p.list.width);
    p.label.height = 700;
    return p;
}

WizardPlacement LayoutWizard(float width, float height, const WizardPlacement &current)
{
    WizardPlacement p = current;
    setSize(p.list.width, width - 400);
    setSize(p.list.height, height - 1900);

    const float buttonTop = height - 1670;
    p.cancel.top = buttonTop;
    p.ok.top = buttonTop;
    p.runSource.top = buttonTop;
    p.runDestination.top = buttonTop;

    const std::array<float, 3> columns = ColumnWidths(p.list.width);
    for (std::size_t i = 0; i < columns.size(); ++i)
        setSize(p.columns[i], columns[i]);

    p.frame.top = p.runDestination.top - 127;
    setSize(p.frame.width, width - 6660);
    setSize(p.label.width, p.frame.width - 400);
    return p;
}
