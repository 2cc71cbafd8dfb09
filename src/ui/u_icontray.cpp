#include "u_icontray.h"

#include "ui/guiresources.h"

#include <QApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QSystemTrayIcon>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

SystemTrayBackend::SystemTrayBackend(QObject *parent) : TrayBackend(parent), m_icon(new QSystemTrayIcon(this))
{
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        switch (reason) {
        case QSystemTrayIcon::Trigger:
            Q_EMIT mouseAction(TrayLeftButtonUp);
            break;
        case QSystemTrayIcon::DoubleClick:
            Q_EMIT mouseAction(TrayLeftButtonDoubleClick);
            break;
        case QSystemTrayIcon::Context:
            Q_EMIT mouseAction(TrayRightButtonUp);
            break;
        default:
            break;
        }
    });
}

bool SystemTrayBackend::available() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}
void SystemTrayBackend::setIcon(const QIcon &icon)
{
    m_icon->setIcon(icon);
}
void SystemTrayBackend::setToolTip(const QString &tip)
{
    m_icon->setToolTip(tip);
}
void SystemTrayBackend::setVisible(bool visible)
{
    m_icon->setVisible(visible);
}
void SystemTrayBackend::showMessage(const QString &title, const QString &text, int msecs, BalloonIcon icon)
{
    const QSystemTrayIcon::MessageIcon picture = icon == BalloonIcon::Critical ? QSystemTrayIcon::Critical
                                                 : icon == BalloonIcon::Warning
                                                     ? QSystemTrayIcon::Warning
                                                     : QSystemTrayIcon::Information;
    m_icon->showMessage(title, text, picture, msecs);
}

u_icontray::u_icontray(TrayBackend *backend, QObject *parent)
    : QObject(parent), m_backend(backend ? backend : new SystemTrayBackend)
{
    m_backend->setParent(this);
    m_ib_systemtrayexists = m_backend->available();
    connect(m_backend, &TrayBackend::mouseAction, this, &u_icontray::restore);
}

u_icontray::~u_icontray()
{
    del_icon();
}

QString u_icontray::cutToBytes(const QString &text, int maxBytes)
{
    QString out;
    int bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        // A surrogate pair is one character of four bytes.
        const bool pair =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const QString ch = pair ? text.mid(i, 2) : text.mid(i, 1);
        const int n = static_cast<int>(ch.toUtf8().size());
        if (bytes + n > maxBytes)
            break;
        bytes += n;
        out += ch;
        if (pair)
            ++i;
    }
    return out;
}

QIcon u_icontray::ufp_get_hicon(const QString &a_icon_name)
{
    QIcon icon;
    if (!a_icon_name.isEmpty()) {
        const QString ending = a_icon_name.right(4).toLower();
        if (ending == u".ico"_s || ending == u".cur"_s || ending == u".ani"_s) {
            if (QFileInfo(a_icon_name).isFile()) {
                QImageReader reader(a_icon_name);
                if (reader.canRead())
                    icon = QIcon(a_icon_name);
            }
        } else {
            QString file = a_icon_name;
            int index = 0;
            const qsizetype comma = a_icon_name.indexOf(u',');
            if (comma >= 0) {
                index = a_icon_name.mid(comma + 1).trimmed().toInt();
                file = a_icon_name.left(comma);
            }
            // Only icon files hold numbered icons here; any other picture is no icon source.
            QImageReader reader(file);
            if (reader.canRead() && reader.format() == "ico" && (index == 0 || reader.jumpToImage(index))) {
                const QImage image = reader.read();
                if (!image.isNull())
                    icon = QIcon(QPixmap::fromImage(image));
            }
        }
    }
    if (icon.isNull() || icon.availableSizes().isEmpty()) {
        initGuiResources();
        icon = QIcon(u":/icons/garvinaserver.png"_s);
    }
    return icon;
}

void u_icontray::add_icon(const QString &icon_name, const QString &tip_text, QWidget *win)
{
    if (!m_ib_systemtrayexists)
        return;
    m_i_win = win;
    m_lpdata.sztip = cutToBytes(tip_text, TipBytes);
    m_lpdata.uflags = nif_message | nif_icon | nif_tip;
    m_lpdata.iconName = icon_name;
    m_backend->setIcon(ufp_get_hicon(icon_name));
    m_backend->setToolTip(m_lpdata.sztip);
    m_backend->setVisible(true);
    m_added = true;
}

void u_icontray::add_icon(const QString &icon_name, const QString &tip_text, QWidget *win,
                          const QString &balloon_title, const QString &balloon_tip)
{
    if (!m_ib_systemtrayexists)
        return;
    add_icon(icon_name, tip_text, win);
    m_lpdata.uflags = nif_message | nif_icon | nif_tip | nif_info;
    m_lpdata.szinfo = cutToBytes(balloon_tip, InfoBytes);
    m_lpdata.szinfotitle = cutToBytes(balloon_title, InfoTitleBytes);
    m_lpdata.utimeoutorversion = FirstBalloonMsecs;
    m_backend->showMessage(m_lpdata.szinfotitle, m_lpdata.szinfo, m_lpdata.utimeoutorversion,
                           BalloonIcon::Information);
}

void u_icontray::modify_icon(const QString &icon_name)
{
    if (!m_ib_systemtrayexists)
        return;
    m_lpdata.uflags = nif_icon;
    m_lpdata.iconName = icon_name;
    m_backend->setIcon(ufp_get_hicon(icon_name));
}

void u_icontray::modify_tip(const QString &tip_text)
{
    if (!m_ib_systemtrayexists)
        return;
    m_lpdata.uflags = nif_tip;
    m_lpdata.sztip = cutToBytes(tip_text, TipBytes);
    m_backend->setToolTip(m_lpdata.sztip);
}

void u_icontray::show_balloontip(const QString &tip_title, const QString &tip, BalloonKind kind,
                                 const QString &cause)
{
    if (!m_ib_systemtrayexists)
        return;
    m_lpdata.uflags = nif_message | nif_icon | nif_tip | nif_info;
    m_lpdata.szinfo = cutToBytes(tip, InfoBytes);
    m_lpdata.szinfotitle = cutToBytes(tip_title, InfoTitleBytes);
    m_lpdata.utimeoutorversion = kind == BalloonKind::Notice ? BalloonMsecs : ErrorBalloonMsecs;
    const BalloonIcon icon = kind == BalloonKind::Error     ? BalloonIcon::Critical
                             : kind == BalloonKind::Warning ? BalloonIcon::Warning
                                                            : BalloonIcon::Information;
    if (cause.isEmpty())
        m_backend->showMessage(m_lpdata.szinfotitle, m_lpdata.szinfo, m_lpdata.utimeoutorversion, icon);
    else
        m_backend->showMessageWithCause(m_lpdata.szinfotitle, m_lpdata.szinfo, m_lpdata.utimeoutorversion,
                                        icon, cause);
}

void u_icontray::del_icon()
{
    if (!m_ib_systemtrayexists || !m_added)
        return;
    m_backend->setVisible(false);
    m_added = false;
}

} // namespace garvina
