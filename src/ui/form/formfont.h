#pragma once

#include <QFont>
#include <QString>

namespace garvina {

/// Font weights as a form designer gives them.
enum FormFontWeight : int
{
    FormWeightNormal = 400,
    FormWeightBold = 700,
};

/// \brief Font settings shared by texts, group boxes and fields.
///
/// Sizes are in points as a form designer gives them, drawn at 96 dpi like the pictures of the skin
/// (9 pt is 12 px whatever the desktop's dpi), so that type fits the picture it is drawn on.
struct FormFont
{
    QString family;
    int pointSize = 9;
    bool underline = false;

    QFont toFont(int weight) const;
};

} // namespace garvina
