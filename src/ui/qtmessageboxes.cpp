#include "qtmessageboxes.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

bool QtMessageBoxes::headless()
{
    const QString platform = QGuiApplication::platformName();
    return !qobject_cast<QApplication *>(QCoreApplication::instance()) || platform == u"offscreen"_s ||
           platform == u"minimal"_s;
}

MsgAnswer QtMessageBoxes::show(const MessageRequest &request)
{
    // Every box also goes to standard error, so that what the console said can be read afterwards.
    const QByteArray line = (request.title + u": "_s + request.text).toUtf8();
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
    if (headless())
        return request.defaultAnswer;

    QMessageBox box;
    configure(box, request);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    const int result = box.exec();
    if (request.buttons == MsgButtons::YesNo)
        return result == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
    return MsgAnswer::Ok;
}

void QtMessageBoxes::configure(QMessageBox &box, const MessageRequest &request)
{
    box.setWindowTitle(request.title);
    box.setTextFormat(Qt::PlainText); // texts carry what servers and files say: never markup
    box.setText(request.text);
    switch (request.icon) {
    case MsgIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MsgIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case MsgIcon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case MsgIcon::StopSign:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    if (request.buttons == MsgButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(request.defaultAnswer == MsgAnswer::Yes ? QMessageBox::Yes : QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
}

} // namespace garvina
