#pragma once

#include "ui/form/formobject.h"

#include <QColor>

namespace garvina {

/// \brief A filled rectangle with rounded corners, the body of a drawn button.
class FormRoundRect final : public FormObject
{
public:
    QColor fillColor() const;
    void setFillColor(const QColor &color);
    void bindFillColor(FormExpr<QColor> color);
    /// Outline colour; invalid (the default) draws none.
    QColor borderColor() const { return m_border; }
    void setBorderColor(const QColor &color);
    /// Corner radius in pixels.
    int radius() const { return m_radius; }
    void setRadius(int pixels);

protected:
    void paint(QPainter &painter) const override;

private:
    friend class DataForm;
    FormRoundRect(DataForm &form, const QString &name, const QRect &units);

    FormBindable<QColor> m_fill{QColor(255, 255, 255)};
    QColor m_border;
    int m_radius = 4;
};

} // namespace garvina
