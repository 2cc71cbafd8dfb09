#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

class QSystemTrayIcon;

namespace garvina {

/// The mouse messages a tray icon reports, numbered as the Windows tray numbers them.
enum TrayMouseMessage : int
{
    TrayLeftButtonUp = 514,
    TrayLeftButtonDoubleClick = 515,
    TrayRightButtonUp = 517,
};

/// The picture beside a balloon's title.
enum class BalloonIcon
{
    Information,
    Warning,
    Critical
};

/// \brief What the tray icon talks to: the desktop's notification area. The production one is
/// QSystemTrayIcon; tests use a recorder that keeps the balloons.
class TrayBackend : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual bool available() const = 0;
    virtual void setIcon(const QIcon &icon) = 0;
    virtual void setToolTip(const QString &tip) = 0;
    virtual void setVisible(bool visible) = 0;
    virtual void showMessage(const QString &title, const QString &text, int msecs, BalloonIcon icon) = 0;
    /// A balloon with the cause of what it tells, for a backend with room for it (the journal); the
    /// desktop's balloon shows the text alone.
    virtual void showMessageWithCause(const QString &title, const QString &text, int msecs, BalloonIcon icon,
                                      const QString &)
    {
        showMessage(title, text, msecs, icon);
    }

Q_SIGNALS:
    /// A mouse action on the icon, as the tray reports it (a TrayMouseMessage).
    void mouseAction(int message);
};

/// TrayBackend on QSystemTrayIcon.
class SystemTrayBackend final : public TrayBackend
{
    Q_OBJECT
public:
    explicit SystemTrayBackend(QObject *parent = nullptr);
    bool available() const override;
    void setIcon(const QIcon &icon) override;
    void setToolTip(const QString &tip) override;
    void setVisible(bool visible) override;
    void showMessage(const QString &title, const QString &text, int msecs, BalloonIcon icon) override;

private:
    QSystemTrayIcon *m_icon;
};

/// \brief The console's one tray icon: add it, change its picture and tooltip, show balloons, remove it.
///
/// Without a tray every operation is a silent no-op; the console then works through its main window.
/// Texts are cut as the notification record of the Windows edition cut them: tooltip 127, balloon
/// text 255, balloon title 63 bytes (UTF-8, never inside a character).
class u_icontray : public QObject
{
    Q_OBJECT
public:
    /// The fields of the notification record that outlive each operation.
    /// Which parts of notifyicondata an operation sets (uflags), valued as the Windows shell has them.
    static constexpr int nif_message = 1;
    static constexpr int nif_icon = 2;
    static constexpr int nif_tip = 4;
    static constexpr int nif_info = 16;

    /// The longest texts the tray keeps, in UTF-8 bytes.
    static constexpr int TipBytes = 127;
    static constexpr int InfoBytes = 255;
    static constexpr int InfoTitleBytes = 63;
    /// How long a balloon stays, in milliseconds: the one shown with the icon, and every later one.
    /// Ten seconds at least, so that a person can read it; an error stays until it is clicked (0),
    /// where the notification service allows.
    static constexpr int FirstBalloonMsecs = 15000;
    static constexpr int BalloonMsecs = 10000;
    static constexpr int ErrorBalloonMsecs = 0;
    /// A notice goes after its time; a warning (something for the owner to do) and an error stay.
    enum class BalloonKind
    {
        Notice,
        Warning,
        Error
    };

    struct notifyicondata
    {
        QString sztip;
        QString szinfo;
        QString szinfotitle;
        int utimeoutorversion = 0;
        int uflags = 0;
        QString iconName;
    };

    /// Takes ownership of \a backend; with none, a QSystemTrayIcon is used.
    explicit u_icontray(TrayBackend *backend = nullptr, QObject *parent = nullptr);
    ~u_icontray() override;

    void add_icon(const QString &icon_name, const QString &tip_text, QWidget *win);
    void add_icon(const QString &icon_name, const QString &tip_text, QWidget *win,
                  const QString &balloon_title, const QString &balloon_tip);
    void modify_icon(const QString &icon_name);
    void modify_tip(const QString &tip_text);
    /// Shows a balloon; \a cause (why it went wrong) reaches only a backend with room for it.
    void show_balloontip(const QString &tip_title, const QString &tip, BalloonKind kind = BalloonKind::Notice,
                         const QString &cause = QString());
    void del_icon();
    bool trayexists() const { return m_ib_systemtrayexists; }
    notifyicondata notifyicondata_copy() const { return m_lpdata; }

    /// The icon for a file: ".ico" (any case) read from the file; "file,index" the index-th picture
    /// of a file; the program's own icon when nothing loads.
    static QIcon ufp_get_hicon(const QString &a_icon_name);

    /// Cuts \a text so that its UTF-8 form has at most \a maxBytes bytes.
    static QString cutToBytes(const QString &text, int maxBytes);

Q_SIGNALS:
    /// Mouse actions on the icon, for the owner window (a TrayMouseMessage).
    void restore(int lparam);

private:
    TrayBackend *m_backend;
    QPointer<QWidget> m_i_win;
    notifyicondata m_lpdata;
    bool m_ib_systemtrayexists = false;
    bool m_added = false;
};

} // namespace garvina
