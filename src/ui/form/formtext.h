#pragma once

#include "ui/form/formfont.h"
#include "ui/form/formobject.h"

#include <QColor>

namespace garvina {

/// \brief A text: a caption, a label, a filled box or a transparent hotspot.
class FormText final : public FormObject
{
public:
    QString text() const;
    void setText(const QString &text);
    void bindText(FormExpr<QString> text);

    /// Type face (empty for the application's), size in points and weight (400 normal, 700 bold).
    void setFont(const QString &family, int pointSize, int weight = 400);
    void setUnderline(bool underline);
    /// The font as drawn now, with the evaluated weight.
    QFont font() const;

    int fontWeight() const;
    void setFontWeight(int weight);
    void bindFontWeight(FormExpr<int> weight);

    QColor textColor() const;
    void setTextColor(const QColor &color);
    void bindTextColor(FormExpr<QColor> color);

    /// The fill behind the text; an invalid colour (the default) leaves the text transparent.
    QColor backgroundColor() const;
    void setBackgroundColor(const QColor &color);
    void bindBackgroundColor(FormExpr<QColor> color);
    bool isTransparent() const { return !backgroundColor().isValid(); }

    /// Left and vertically centred unless set.
    Qt::Alignment alignment() const { return m_alignment; }
    void setAlignment(Qt::Alignment alignment);
    void setWordWrap(bool wrap);

protected:
    void paint(QPainter &painter) const override;

private:
    friend class DataForm;
    FormText(DataForm &form, const QString &name, const QRect &units, const QString &text);

    FormBindable<QString> m_text;
    FormFont m_font;
    FormBindable<int> m_weight{400};
    FormBindable<QColor> m_color{QColor(0, 0, 0)};
    FormBindable<QColor> m_background;
    Qt::Alignment m_alignment = Qt::AlignLeft | Qt::AlignVCenter;
    bool m_wordWrap = false;
};

} // namespace garvina
