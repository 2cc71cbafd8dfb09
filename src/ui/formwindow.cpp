#include "formwindow.h"

#include "ui/dataform.h"

#include <QWidget>
#include <QWindow>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

void addCloseControl(DataForm &form, const QRect &units, const QString &picture)
{
    form.addText(u"t_close"_s, units).setCursorShape(Qt::PointingHandCursor);
    FormPicture &closePicture = form.addPicture(u"p_close"_s, units, picture);
    closePicture.setCursorShape(Qt::PointingHandCursor);
    closePicture.bindVisible([](const DataForm &f) { return f.itemIn(u"name"_s, {u"t_close"_s, u"p_close"_s}); });
}

void moveWindowOnDrag(QWidget *window, DataForm *form)
{
    QObject::connect(form, &DataForm::dragRequested, window, [window] {
        if (QWindow *handle = window->windowHandle())
            handle->startSystemMove();
    });
}

} // namespace garvina
