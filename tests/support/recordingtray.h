#pragma once

#include "ui/u_icontray.h"

#include <QList>

namespace garvina::test {

/// A tray that is (or is not) there and keeps what it was told.
class RecordingTray final : public TrayBackend
{
public:
    struct Balloon
    {
        QString title;
        QString text;
        int msecs;
        BalloonIcon icon;
    };

    explicit RecordingTray(bool trayAvailable = true) : m_available(trayAvailable) {}

    bool available() const override { return m_available; }
    void setIcon(const QIcon &icon) override
    {
        this->icon = icon;
        ++iconChanges;
    }
    void setToolTip(const QString &tip) override { toolTip = tip; }
    void setVisible(bool v) override { visible = v; }
    void showMessage(const QString &title, const QString &text, int msecs, BalloonIcon icon) override
    {
        balloons.append({title, text, msecs, icon});
    }

    /// Pretends the user did something with the mouse on the icon.
    void click(int message) { Q_EMIT mouseAction(message); }

    QIcon icon;
    int iconChanges = 0;
    QString toolTip;
    bool visible = false;
    QList<Balloon> balloons;

private:
    bool m_available;
};

} // namespace garvina::test
