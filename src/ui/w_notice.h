#pragma once

#include "platform/notice.h"

#include <QPixmap>
#include <QString>

#include <memory>

class QLabel;

namespace garvina {

/// \brief The notice windows `w_msg` (engine start) and `w_dbunload_msg` (rebuild): one picture
/// at its own size in a borderless window centred on the screen.
class NoticeWindow final : public Notice
{
public:
    explicit NoticeWindow(QString resourcePicture);
    ~NoticeWindow() override;

    void open() override;
    void close() override;
    bool isOpen() const override;

    /// The window while it is open; null otherwise (for tests).
    QLabel *window() const { return m_window.get(); }

    /// `w_msg`: "服务器启动中，请销等".
    static std::unique_ptr<NoticeWindow> w_msg();
    /// `w_dbunload_msg`: "整理优化数据库，请销等".
    static std::unique_ptr<NoticeWindow> w_dbunload_msg();

private:
    QString m_picture;
    std::unique_ptr<QLabel> m_window;
};

} // namespace garvina
