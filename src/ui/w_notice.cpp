#include "w_notice.h"

#include "ui/guiresources.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

NoticeWindow::NoticeWindow(QString resourcePicture) : m_picture(std::move(resourcePicture)) {}

NoticeWindow::~NoticeWindow() = default;

std::unique_ptr<NoticeWindow> NoticeWindow::w_msg()
{
    return std::make_unique<NoticeWindow>(u":/notice/startmsg.jpg"_s);
}

std::unique_ptr<NoticeWindow> NoticeWindow::w_dbunload_msg()
{
    return std::make_unique<NoticeWindow>(u":/notice/dbunload.jpg"_s);
}

void NoticeWindow::open()
{
    if (m_window)
        return;
    initGuiResources();
    m_window = std::make_unique<QLabel>();
    m_window->setWindowFlags(Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnTopHint);
    m_window->setObjectName(u"p_1"_s);
    m_window->setPixmap(QPixmap(m_picture));
    m_window->setFixedSize(252, 53);
    m_window->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_window->setWindowIcon(QApplication::windowIcon());
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        m_window->move(screen->availableGeometry().center() - m_window->rect().center());
    m_window->show();
    // The caller blocks the thread right after this: paint the picture now, not at the next idle.
    m_window->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void NoticeWindow::close()
{
    if (m_window) {
        m_window->hide();
        m_window.reset();
    }
}

bool NoticeWindow::isOpen() const
{
    return m_window != nullptr;
}

} // namespace garvina
