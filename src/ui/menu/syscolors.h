#pragma once

#include <QColor>

namespace garvina {

/// A colour as Windows stores it (0x00BBGGRR) turned into a QColor; the top byte is ignored.
QColor colorFromWinRgb(quint32 rgb);
/// The Windows value (0x00BBGGRR) of \a color.
quint32 winRgbFromColor(const QColor &color);

/// \brief Stand-in for GetSysColor: the colour (0x00BBGGRR) of system colour index \a index.
///
/// The table holds the desktop's stock colours for the indexes 0 to 28; an index the table does not
/// name (25, or anything outside 0..28) gives 0, as GetSysColor does.
quint32 sysColor(int index);

/// The system colour indexes the menus draw with (the GetSysColor numbering).
enum SysColorIndex : int
{
    SysMenu = 4,
    SysMenuText = 7,
    SysHighlight = 13,
    SysHighlightText = 14,
    SysBtnShadow = 16,
    SysGrayText = 17,
    SysBtnHighlight = 20,
    SysDkShadow = 21,
    SysLight = 22,
};

/// sysColor() of \a index as a QColor.
QColor sysQColor(int index);

} // namespace garvina
