#pragma once

#include "ui/form/formfont.h"
#include "ui/form/formobject.h"

#include <QColor>

namespace garvina {

/// \brief A frame with a title in its top edge, drawn behind the fields it groups.
class FormGroupBox final : public FormObject
{
public:
    QString title() const { return m_title; }
    void setTitle(const QString &title);
    void setFont(const QString &family, int pointSize, int weight = 400);

    QColor textColor() const;
    void setTextColor(const QColor &color);
    void bindTextColor(FormExpr<QColor> color);
    QColor frameColor() const { return m_frameColor; }
    void setFrameColor(const QColor &color);

protected:
    void paint(QPainter &painter) const override;

private:
    friend class DataForm;
    FormGroupBox(DataForm &form, const QString &name, const QRect &units, const QString &title);

    QString m_title;
    FormFont m_font;
    int m_weight = 400;
    FormBindable<QColor> m_color{QColor(0, 0, 0)};
    QColor m_frameColor{160, 160, 160};
};

} // namespace garvina
