#include "formwindow.h"

#include "ui/form/dataform.h"

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

void addFormButton(DataForm &form, const QString &key, const QRect &units, const QString &caption)
{
    const QStringList hovered{u"rr_"_s + key, u"t_"_s + key};
    FormRoundRect &body = form.addRoundRect(hovered.first(), units);
    body.setFillColor(QColor(19, 179, 253));
    body.setCursorShape(Qt::PointingHandCursor);
    FormText &text = form.addText(hovered.last(), units, caption);
    text.setFont(u"WenQuanYi Micro Hei"_s, 9);
    text.setTextColor(Qt::white);
    text.setAlignment(Qt::AlignCenter);
    text.setCursorShape(Qt::PointingHandCursor);
    text.bindFontWeight([hovered](const DataForm &f) { return f.itemIn(u"name"_s, hovered) ? 700 : 400; });
}

void moveWindowOnDrag(QWidget *window, DataForm *form)
{
    QObject::connect(form, &DataForm::dragRequested, window, [window] {
        if (QWindow *handle = window->windowHandle())
            handle->startSystemMove();
    });
}

} // namespace garvina
