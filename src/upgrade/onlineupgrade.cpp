#include "onlineupgrade.h"

#include "core/appcontext.h"
#include "engine/syshelpers.h"
#include "engine/workslot.h"
#include "platform/messageboxes.h"
#include "platform/processlauncher.h"
#include "platform/toolrunner.h"
#include "upgrade/httpfetch.h"
#include "upgrade/release.h"
#include "upgrade/upgradeserver.h"

#include <QBuffer>
#include <QCoreApplication>
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

/// The body of \a url, or an empty array when the fetch failed.
QByteArray fetch(const QUrl &url, qint64 maxBytes, int timeoutMs)
{
    QByteArray body;
    QBuffer sink(&body);
    sink.open(QIODevice::WriteOnly);
    if (url.isEmpty() || !httpGet(url, sink, {maxBytes, timeoutMs, 0}).ok)
        return {};
    return body;
}

/// Calls \a handOver now, or once the work on the database (a backup, a restore, a rebuild) ended:
/// the console's end would cut it off.
void handOverWhenIdle(WorkSlot *work, const std::function<void()> &handOver)
{
    if (!work || work->yields()) {
        handOver();
        return;
    }
    QObject::connect(
        work, &WorkSlot::changed, work, [work, handOver]() { handOverWhenIdle(work, handOver); },
        Qt::SingleShotConnection);
}

} // namespace

void f_online_upgrade(AppContext &ctx, const std::function<void()> &endWithoutCloseHook, int timeoutMs,
                      const QByteArray &publicKey, WorkSlot *work)
{
    if (s_checking)
        return;
    s_checking = true;
    struct Reset
    {
        bool keep = false;
        ~Reset()
        {
            if (!keep)
                s_checking = false;
        }
    } reset;

    if (publicKey.isEmpty()) {
        ctx.boxes->tell(QString(), noReleaseKeyText(), MsgIcon::StopSign);
        return;
    }
    const QString upgradeProgram = ctx.gs_path + u"upgrade"_s;
    // Installed from the package, the program files are links the package manager owns.
    if (QFileInfo(upgradeProgram).isSymLink() || QFileInfo(ctx.gs_path + u"garvinaserver"_s).isSymLink()) {
        ctx.boxes->tell(QString(), u"请使用系统的软件包管理器升级!"_s, MsgIcon::StopSign);
        return;
    }
    if (!QFileInfo(upgradeProgram).isFile()) {
        ctx.boxes->tell(QString(), u"本地缺少在线升级下载文件"_s, MsgIcon::StopSign);
        return;
    }
    if (!QFileInfo(ctx.gs_path + u"rar"_s).isFile()) {
        ctx.boxes->tell(QString(), u"本地缺少在线升级的解压文件"_s, MsgIcon::StopSign);
        return;
    }

    // A failed fetch leaves is_msg empty, and the length test below reports it.
    const QString server = readUpgradeServerSetting(ctx.config());
    // No server at all is a setting to make, not a read that failed.
    if (server.isEmpty()) {
        ctx.boxes->tell(u"提示"_s, u"没有设置升级服务器地址!"_s, MsgIcon::StopSign);
        return;
    }
    const QUrl reginfoonserver = upgradeServerUrl(server, upgradeVersionPath());
    n_cst_internetresult iir_msgbox;
    const QByteArray body = fetch(reginfoonserver, kVersionFileMaxBytes, timeoutMs);
    if (!body.isEmpty())
        iir_msgbox.internetdata(body);

    // Ten bytes that are not numbers a.b.c are no version, whatever they sort like.
    const QString offered = trimBlanks(iir_msgbox.is_msg);
    const auto version = ReleaseVersion::parse(offered);
    if (f_len0(iir_msgbox.is_msg) != 10 || !version) {
        ctx.boxes->tell(u"提示"_s, u"读取远程服务器软件版本号出错!"_s, MsgIcon::StopSign);
        return;
    }
    const auto own = ReleaseVersion::parse(gs_softver());
    if (own && version->compare(*own) <= 0) {
        ctx.boxes->tell(u"提示"_s, u"当前已是最新版本,无须升级!"_s, MsgIcon::Information);
        return;
    }
    // Only a version the publisher signed is offered: the manifest beside the version file must
    // verify and name the same version.
    QString why;
    const auto manifest = verifyReleaseManifest(
        fetch(upgradeServerUrl(server, upgradeManifestPath()), kManifestMaxBytes, timeoutMs), publicKey, why);
    if (!manifest || manifest->version != offered) {
        ctx.boxes->tell(u"提示"_s, u"升级文件的签名无效,不能升级!"_s, MsgIcon::StopSign);
        return;
    }
    if (!ctx.boxes->ask(u"升级提示"_s, u"发现最新版本:"_s + iir_msgbox.is_msg + u" 是否需要升级?"_s,
                        MsgIcon::Question))
        return;

    // The package is fetched and checked while the console keeps serving the tills; only a package
    // that passed is handed over, and the console ends only then.
    ToolRequest request;
    request.program = upgradeProgram;
    request.arguments = {u"download"_s};
    request.workingDirectory = ctx.gs_path;
    request.output = ToolRequest::Output::Separate;
    request.timeoutMs = kDownloadJobTimeoutMs;
    auto *job = new ToolJob(request, QCoreApplication::instance());
    QObject::connect(
        job, &ToolJob::finished, job,
        [&ctx, job, upgradeProgram, endWithoutCloseHook, work](const ToolResult &result) {
            job->deleteLater();
            if (result.status == ToolResult::Status::NotStarted) {
                s_checking = false;
                ctx.boxes->tell(u"提示"_s, u"无法启动在线升级程序,升级已取消!"_s, MsgIcon::StopSign);
                return;
            }
            if (!result.succeeded()) {
                s_checking = false;
                const QString reason =
                    QString::fromUtf8(result.errorOutput).trimmed().remove(u"upgrade: 在线升级失败: "_s);
                ctx.boxes->tell(u"提示"_s,
                                u"下载升级文件出错,升级已取消!\n"_s +
                                    (reason.isEmpty() ? result.failureText() : reason),
                                MsgIcon::StopSign);
                return;
            }
            // Until the hand-over, a second check would fetch the package again over the staged one.
            handOverWhenIdle(work, [&ctx, upgradeProgram, endWithoutCloseHook]() {
                s_checking = false;
                if (ctx.launcher->startDetached(upgradeProgram, {u"upgrade1"_s}, ctx.gs_path) == 0) {
                    // Ending now would leave the shop without its console and nobody upgrading it.
                    ctx.boxes->tell(u"提示"_s, u"无法启动在线升级程序,升级已取消!"_s, MsgIcon::StopSign);
                    return;
                }
                if (endWithoutCloseHook)
                    endWithoutCloseHook();
            });
        });
    reset.keep = true;
    job->start();
}

} // namespace garvina
