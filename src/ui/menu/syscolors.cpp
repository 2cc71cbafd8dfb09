#include "ui/menu/syscolors.h"

#include <iterator>

namespace garvina {

namespace {

// Stock desktop colours for the system colour indexes 0..28 (0x00BBGGRR, as GetSysColor answers).
// Index 25 has no colour of its own on Windows either.
constexpr quint32 winRgb(int r, int g, int b)
{
    return quint32(r) | (quint32(g) << 8) | (quint32(b) << 16);
}

constexpr quint32 kSysColors[29] = {
    winRgb(200, 200, 200), // 0 scrollbar
    winRgb(0, 0, 0),       // 1 background (desktop)
    winRgb(153, 180, 209), // 2 active caption
    winRgb(191, 205, 219), // 3 inactive caption
    winRgb(240, 240, 240), // 4 menu
    winRgb(255, 255, 255), // 5 window
    winRgb(100, 100, 100), // 6 window frame
    winRgb(0, 0, 0),       // 7 menu text
    winRgb(0, 0, 0),       // 8 window text
    winRgb(0, 0, 0),       // 9 caption text
    winRgb(180, 180, 180), // 10 active border
    winRgb(244, 247, 252), // 11 inactive border
    winRgb(171, 171, 171), // 12 application workspace
    winRgb(51, 153, 255),  // 13 highlight
    winRgb(255, 255, 255), // 14 highlight text
    winRgb(240, 240, 240), // 15 button face
    winRgb(160, 160, 160), // 16 button shadow
    winRgb(109, 109, 109), // 17 grey text
    winRgb(0, 0, 0),       // 18 button text
    winRgb(67, 78, 84),    // 19 inactive caption text
    winRgb(255, 255, 255), // 20 button highlight
    winRgb(105, 105, 105), // 21 3D dark shadow
    winRgb(227, 227, 227), // 22 3D light
    winRgb(0, 0, 0),       // 23 info text
    winRgb(255, 255, 225), // 24 info background
    0,                     // 25 (none)
    winRgb(0, 102, 204),   // 26 hot light
    winRgb(185, 209, 234), // 27 gradient active caption
    winRgb(215, 228, 242), // 28 gradient inactive caption
};

} // namespace

QColor colorFromWinRgb(quint32 rgb)
{
    return QColor(int(rgb & 0xFF), int((rgb >> 8) & 0xFF), int((rgb >> 16) & 0xFF));
}

quint32 winRgbFromColor(const QColor &color)
{
    return winRgb(color.red(), color.green(), color.blue());
}

quint32 sysColor(int index)
{
    if (index < 0 || index >= int(std::size(kSysColors)))
        return 0;
    return kSysColors[index];
}

QColor sysQColor(int index)
{
    return colorFromWinRgb(sysColor(index));
}

} // namespace garvina
