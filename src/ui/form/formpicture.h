#pragma once

#include "ui/form/formobject.h"

#include <QPixmap>

namespace garvina {

/// \brief A picture from a file, drawn at its own size unless the object was given one.
///
/// A file that cannot be read leaves the picture empty: nothing is drawn, and with no size given the
/// object covers nothing.
class FormPicture final : public FormObject
{
public:
    QString fileName() const { return m_fileName; }
    /// Loads the picture; false when the file cannot be read.
    bool setFileName(const QString &fileName);
    bool isLoaded() const { return !m_pixmap.isNull(); }
    QPixmap pixmap() const { return m_pixmap; }

    QRect pixelRect() const override;

protected:
    void paint(QPainter &painter) const override;

private:
    friend class DataForm;
    FormPicture(DataForm &form, const QString &name, const QRect &units, const QString &fileName);

    QString m_fileName;
    QPixmap m_pixmap;
};

} // namespace garvina
