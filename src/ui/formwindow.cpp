#include "formwindow.h"

#include "core/appcontext.h"
#include "ui/form/dataform.h"
#include "ui/w_main.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

void addCloseControl(DataForm &form, const QRect &units, const QString &picture)
{
    form.addText(u"t_close"_s, units).setCursorShape(Qt::PointingHandCursor);
    FormPicture &closePicture = form.addPicture(u"p_close"_s, units, picture);
    closePicture.setCursorShape(Qt::PointingHandCursor);
    closePicture.bindVisible([](const DataForm &f) {
        return f.itemIn(u"name"_s, {u"t_close"_s, u"p_close"_s});
    });
}

void addFormButton(DataForm &form, const QString &key, const QRect &units, const QString &caption)
{
    const QStringList hovered{u"rr_"_s + key, u"t_"_s + key};
    FormRoundRect &body = form.addRoundRect(hovered.first(), units);
    body.setFillColor(QColor(19, 179, 253));
    body.setCursorShape(Qt::PointingHandCursor);
    FormText &text = form.addText(hovered.last(), units, caption);
    text.setFont(FormWindow::fontFamily(), 9);
    text.setTextColor(Qt::white);
    text.setAlignment(Qt::AlignCenter);
    text.setCursorShape(Qt::PointingHandCursor);
    text.bindFontWeight([hovered](const DataForm &f) {
        return f.itemIn(u"name"_s, hovered) ? FormWeightBold : FormWeightNormal;
    });
}

void moveWindowOnDrag(QWidget *window, DataForm *form)
{
    QObject::connect(form, &DataForm::dragRequested, window, [window] {
        if (QWindow *handle = window->windowHandle())
            handle->startSystemMove();
    });
}

FormWindow::FormWindow(AppContext &ctx, w_main &mainWindow, EngineControl &engine, FileDialogs &dialogs,
                       const QString &title, const QString &formName, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), m_ctx(ctx), m_main(mainWindow), m_engine(engine),
      m_dialogs(dialogs), m_form(new DataForm(this))
{
    setWindowTitle(title);
    setWindowIcon(mainWindow.windowIcon());
    m_form->setObjectName(formName);
}

FormWindow::~FormWindow() = default;

QRect FormWindow::px(int x, int y, int w, int h)
{
    return {formPixelsToUnitsX(x), formPixelsToUnitsY(y), formPixelsToUnitsX(w), formPixelsToUnitsY(h)};
}

QString FormWindow::fontFamily()
{
    return u"WenQuanYi Micro Hei"_s;
}

void FormWindow::addSkin()
{
    m_form->addPicture(u"p_1"_s, px(0, 0, 0, 0), m_ctx.gs_path + u"skin/setting_bg.jpg"_s);
    FormText &title = m_form->addText(u"t_title"_s, px(10, 2, 300, 21), windowTitle());
    title.setFont(fontFamily(), 10, FormWeightBold);
    title.setTextColor(Qt::white);
}

FormText &FormWindow::addLabel(const QString &name, const QRect &units, const QString &text)
{
    FormText &label = m_form->addText(name, units, text);
    label.setFont(fontFamily(), 9);
    label.setTextColor(QColor(51, 51, 51));
    return label;
}

void FormWindow::finishForm()
{
    DataForm &f = *m_form;
    addCloseControl(f, px(525, 4, 17, 17), m_ctx.gs_path + u"skin/close.jpg"_s);
    f.bringToFront(u"t_close"_s);
    f.bringToFront(u"p_close"_s);

    f.setHoverColumn(u"name"_s);
    connect(m_form, &DataForm::clicked, this, &FormWindow::onFormClicked);
    moveWindowOnDrag(this, m_form);
    m_form->setGeometry(QRect(QPoint(0, 0), m_form->formSize()));
    setFixedSize(m_form->formSize());
}

void FormWindow::showOverMain()
{
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    activateWindow();
    m_main.hide();
}

void FormWindow::onFormClicked(const QString &name)
{
    if (name == u"t_close"_s || name == u"p_close"_s || name == u"rr_cancel"_s || name == u"t_cancel"_s) {
        close();
        return;
    }
    for (const QString &prefix : {u"rr_"_s, u"t_"_s}) {
        if (name.startsWith(prefix)) {
            buttonClicked(name.mid(prefix.size()));
            return;
        }
    }
}

void FormWindow::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    m_main.dw_1()->clearHover();
    m_main.show();
}

} // namespace garvina
