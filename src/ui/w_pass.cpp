#include "w_pass.h"

#include "core/appcontext.h"
#include "engine/syshelpers.h"
#include "platform/messageboxes.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// Removes leading and trailing blanks (character 32 only, as f_len counts them).
QString trimBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

w_pass::w_pass(AppContext &ctx, QWidget *parent)
    : QDialog(parent,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_ctx(ctx)
{
    setWindowTitle(u"请输入密码"_s);
    setModal(true);

    st_1 = new QLabel(u"请输入密码："_s, this);
    sle_1 = new QLineEdit(this);
    sle_1->setEchoMode(QLineEdit::Password);
    // Asterisks, whatever the style's own mask character is.
    sle_1->setStyleSheet(u"lineedit-password-character: 42;"_s);
    st_1->setBuddy(sle_1);
    cb_1 = new QPushButton(u"确  定"_s, this);
    cb_2 = new QPushButton(u"取 消"_s, this);
    // Enter in the field is OK: the default button takes it.
    cb_1->setDefault(true);

    auto *field = new QHBoxLayout;
    field->addWidget(st_1);
    field->addWidget(sle_1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cb_1);
    buttons->addSpacing(16);
    buttons->addWidget(cb_2);
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 14);
    layout->addLayout(field);
    layout->addStretch(1);
    layout->addLayout(buttons);

    // About 309 x 149 with the window frame and title bar.
    setFixedSize(301, 118);
    setTabOrder(sle_1, cb_1);
    setTabOrder(cb_1, cb_2);
    sle_1->setFocus();

    connect(cb_1, &QPushButton::clicked, this, &w_pass::cb_1_clicked);
    connect(cb_2, &QPushButton::clicked, this, &w_pass::cb_2_clicked);

    is_password = m_ctx.readConfig(u"system"_s, u"password"_s, QString());
}

w_pass::~w_pass() = default;

int w_pass::exec()
{
    if (f_len0(is_password) == 0) {
        m_answer = u"true"_s;
        setResult(QDialog::Accepted);
        return QDialog::Accepted;
    }
    return QDialog::exec();
}

QString w_pass::prompt(AppContext &ctx, QWidget *parent)
{
    w_pass dialog(ctx, parent);
    dialog.exec();
    return dialog.answer();
}

bool w_pass::ask(AppContext &ctx, QWidget *parent)
{
    return prompt(ctx, parent) == u"true"_s;
}

void w_pass::showEvent(QShowEvent *event)
{
    if (!m_centred) {
        m_centred = true;
        QScreen *screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QDialog::showEvent(event);
}

void w_pass::cb_1_clicked()
{
    if (trimBlanks(sle_1->text()) == is_password) {
        m_answer = u"true"_s;
        accept();
        return;
    }
    sle_1->setFocus();
    sle_1->selectAll();
    if (m_ctx.boxes)
        m_ctx.boxes->tell(u"提示"_s, u"输入密码错误,请重输!"_s, MsgIcon::StopSign);
}

void w_pass::cb_2_clicked()
{
    m_answer.clear();
    reject();
}

} // namespace garvina
