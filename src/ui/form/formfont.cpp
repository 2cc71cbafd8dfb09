#include "ui/form/formfont.h"

#include <algorithm>

namespace garvina {

QFont FormFont::toFont(int weight) const
{
    QFont font;
    if (!family.isEmpty())
        font.setFamily(family);
    font.setPixelSize(std::max(1, qRound(pointSize * 96.0 / 72.0)));
    font.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 1, 1000)));
    font.setUnderline(underline);
    return font;
}

} // namespace garvina
