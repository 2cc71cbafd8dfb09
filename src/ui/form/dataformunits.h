#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QtGlobal>

namespace garvina {

// Form layouts are given in form units, the measure the skins were laid out in: on a 96-dpi screen
// one pixel is 32/7 units across and 4 units down. Each value is rounded on its own, so a 2761 x 1664
// unit background is 604 x 416 pixels wherever it sits.

inline int formUnitsToPixelsX(int units)
{
    return qRound(units * 7.0 / 32.0);
}
inline int formUnitsToPixelsY(int units)
{
    return qRound(units / 4.0);
}
inline int formPixelsToUnitsX(int pixels)
{
    return qRound(pixels * 32.0 / 7.0);
}
inline int formPixelsToUnitsY(int pixels)
{
    return pixels * 4;
}

inline QPoint formUnitsToPixels(const QPoint &units)
{
    return {formUnitsToPixelsX(units.x()), formUnitsToPixelsY(units.y())};
}
inline QSize formUnitsToPixels(const QSize &units)
{
    return {formUnitsToPixelsX(units.width()), formUnitsToPixelsY(units.height())};
}
inline QRect formUnitsToPixels(const QRect &units)
{
    return {formUnitsToPixels(units.topLeft()), formUnitsToPixels(units.size())};
}

} // namespace garvina
