#include "ui/form/formpicture.h"

#include "ui/form/dataform.h"

#include <QPainter>

namespace garvina {

FormPicture::FormPicture(DataForm &form, const QString &name, const QRect &units, const QString &fileName)
    : FormObject(form, name, Kind::Picture, units)
{
    m_fileName = fileName;
    m_pixmap = QPixmap(fileName);
}

bool FormPicture::setFileName(const QString &fileName)
{
    m_fileName = fileName;
    m_pixmap = QPixmap(fileName);
    changed();
    return !m_pixmap.isNull();
}

QRect FormPicture::pixelRect() const
{
    const QRect r = FormObject::pixelRect();
    if (!r.isEmpty())
        return r;
    // No size given: the picture's own, or nothing at all when it could not be read.
    return {r.topLeft(), m_pixmap.isNull() ? QSize() : m_pixmap.deviceIndependentSize().toSize()};
}

void FormPicture::paint(QPainter &painter) const
{
    if (m_pixmap.isNull())
        return;
    painter.drawPixmap(pixelRect(), m_pixmap);
}

} // namespace garvina
