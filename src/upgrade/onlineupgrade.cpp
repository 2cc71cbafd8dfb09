#include "onlineupgrade.h"

#include "app/appcontext.h"
#include "engine/syshelpers.h"
#include "platform/messageboxes.h"
#include "platform/processlauncher.h"
#include "upgrade/httpfetch.h"
#include "upgrade/upgradeserver.h"

#include <QBuffer>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

int n_cst_internetresult::internetdata(const QByteArray &data)
{
    is_msg = QString::fromUtf8(data);
    return static_cast<int>(is_msg.toUtf8().size());
}

namespace {

/// Leading and trailing blanks (character 32) removed, the same blanks f_len ignores.
QString trimBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u' ')
        ++begin;
    while (end > begin && text.at(end - 1) == u' ')
        --end;
    return text.mid(begin, end - begin);
}

/// True while a check is under way; the wait for the server runs a local event loop in which a
/// timer could call the check again.
bool s_checking = false;

} // namespace

void f_online_upgrade(AppContext &ctx, const std::function<void()> &endWithoutCloseHook, int timeoutMs)
{
    if (s_checking)
        return;
    s_checking = true;
    struct Reset
    {
        ~Reset() { s_checking = false; }
    } reset;

    const QString upgradeProgram = ctx.gs_path + u"upgrade"_s;
    if (!QFileInfo(upgradeProgram).isFile()) {
        ctx.boxes->tell(QString(), u"本地缺少在线升级下载文件"_s, MsgIcon::StopSign);
        return;
    }
    if (!QFileInfo(ctx.gs_path + u"rar"_s).isFile()) {
        ctx.boxes->tell(QString(), u"本地缺少在线升级的解压文件"_s, MsgIcon::StopSign);
        return;
    }

    // A failed fetch leaves is_msg empty, and the length test below reports it.
    const QUrl reginfoonserver = upgradeServerUrl(readUpgradeServerSetting(ctx.config()), upgradeVersionPath());
    n_cst_internetresult iir_msgbox;
    if (!reginfoonserver.isEmpty()) {
        QByteArray body;
        QBuffer sink(&body);
        sink.open(QIODevice::WriteOnly);
        const HttpFetchLimits limits{kVersionFileMaxBytes, timeoutMs, 0};
        if (httpGet(reginfoonserver, sink, limits).ok)
            iir_msgbox.internetdata(body);
    }

    if (f_len0(iir_msgbox.is_msg) != 10) {
        ctx.boxes->tell(u"提示"_s, u"读取远程服务器软件版本号出错!"_s, MsgIcon::StopSign);
        return;
    }
    // Both texts have the shape "4.5.130829": compared as text they order like version numbers.
    if (QString::compare(trimBlanks(iir_msgbox.is_msg), gs_softver()) <= 0) {
        ctx.boxes->tell(u"提示"_s, u"当前已是最新版本,无须升级!"_s, MsgIcon::Information);
        return;
    }
    if (!ctx.boxes->ask(u"升级提示"_s, u"发现最新版本:"_s + iir_msgbox.is_msg + u" 是否需要升级?"_s,
                        MsgIcon::Question))
        return;

    if (ctx.launcher->startDetached(upgradeProgram, {u"upgrade1"_s}, ctx.gs_path) == 0) {
        // Ending now would leave the shop without its console and nobody upgrading it.
        ctx.boxes->tell(u"提示"_s, u"无法启动在线升级程序,升级已取消!"_s, MsgIcon::StopSign);
        return;
    }
    if (endWithoutCloseHook)
        endWithoutCloseHook();
}

} // namespace garvina
