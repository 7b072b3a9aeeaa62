#pragma once

#include <QIcon>
#include <QImage>
#include <QList>
#include <QPixmap>

#include <cstdint>

// The window's own drawings, painted at first use and kept. The status
// pictures are 16 x 16 and shared by the result lists and the legend.

// The picture of a status icon number (1 newer, 2 older, 4 no match), a
// transparent one of the same size for no icon (0), so that every name of a
// list starts at the same place; a null pixmap for any other number.
QPixmap StatusPicture(std::uint8_t icon);

QIcon ComparePicture();
QIcon SyncWizardPicture();
QIcon ExitPicture();

// The small folder of the browse pictures.
QPixmap BrowsePicture();

// The program's own icon: the windows' icon, and drawn into the icon theme's
// sizes by the build (resources/make_icons.cpp). AppIconImage needs no
// QGuiApplication.
QImage AppIconImage(int size);
const QList<int> &AppIconSizes();
QIcon AppIcon();
