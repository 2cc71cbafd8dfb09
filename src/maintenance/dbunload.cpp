#include "dbunload.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "engine/syshelpers.h"
#include "maintenance/backup.h"
#include "maintenance/crashrecovery.h"
#include "maintenance/filecopy.h"
#include "maintenance/schedule.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/messageboxes.h"
#include "platform/notice.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

bool rebuildDue(const QString &day, const QString &lastDate, const QDate &today)
{
    const QString todayText = today.toString(u"yyyy-MM-dd"_s);
    if (day == u"1"_s)
        return lastDate.left(7) != todayText.left(7);
    if (day == u"2"_s) {
        // Qt counts Monday 1 … Sunday 7: the week runs from its Monday to its Sunday.
        const int d = today.dayOfWeek();
        const QString weekStart = today.addDays(1 - d).toString(u"yyyy-MM-dd"_s);
        const QString weekEnd = today.addDays(7 - d).toString(u"yyyy-MM-dd"_s);
        return lastDate < weekStart || lastDate > weekEnd;
    }
    if (day == u"3"_s)
        return lastDate != todayText;
    return false;
}

void f_dbunload(AppContext &ctx, Notice &w_dbunload_msg, const RebuildTools &tools)
{
    const QString day = ctx.readSetting(u"dbunload"_s, u"dbunload_day"_s);
    QString last = ctx.readSetting(u"dbunload"_s, u"dbunload_date"_s);
    if (f_len0(last) == 0)
        last = u"2013-01-01"_s;
    const QDate today = ctx.clock->now().date();
    if (!rebuildDue(day, last, today))
        return;
    if (f_executewait(ctx, w_dbunload_msg, tools))
        ctx.writeConfig(u"dbunload"_s, u"dbunload_date"_s, today.toString(u"yyyy-MM-dd"_s));
}

namespace {

/// \brief Runs gbak on the instance (embedded: no server, no password) and waits; true when it
/// succeeded. A gbak that hangs is ended after a bound that grows with the live file (see
/// toolTimeoutForBytes): a rebuild that never ends would keep the engine stopped for good.
bool runGbak(AppContext &ctx, const RebuildTools &tools, const QStringList &arguments)
{
    int exitCode = -1;
    QString program = tools.gbak;
    if (!program.contains(u'/')) {
        for (const QString &dir : {u"/usr/bin/"_s, u"/usr/local/bin/"_s, u"/bin/"_s}) {
            if (QFileInfo(dir + program).isExecutable()) {
                program = dir + program;
                break;
            }
        }
    }
    const qint64 liveBytes = QFileInfo(ctx.gs_path + u"data/garvina.db"_s).size();
    if (!of_executewait(*ctx.boxes, program, arguments, false, false,
                        EngineInstance(ctx.gs_path).toolEnvironment(), &exitCode,
                        toolTimeoutForBytes(liveBytes)))
        return false;
    return exitCode == 0;
}

} // namespace

bool f_executewait(AppContext &ctx, Notice &w_dbunload_msg, const RebuildTools &tools)
{
    w_dbunload_msg.open();
    struct CloseNotice
    {
        Notice &notice;
        ~CloseNotice()
        {
            if (notice.isOpen())
                notice.close();
        }
    } closeNotice{w_dbunload_msg};

    // The engine keeps the file open while it runs: a rebuild beside it could only lose work.
    if (f_findwindows_garvinanet(ctx.gs_path))
        return false;

    // A file left in backup mode holds the latest work in its delta; merge it back first, and never
    // copy or rebuild a file still locked.
    if (endStaleBackupLock(ctx, nullptr) == StaleLock::Kept)
        return false;

    const QString folder = backupRootOf(ctx) + ctx.clock->now().toString(u"yyyyMMdd-HHmm"_s) + u"-U/"_s;
    QString error;
    if (!f_createdirectory(folder, error, *ctx.files))
        return false;
    const QString live = ctx.gs_path + u"data/garvina.db"_s;
    if (copyUnderPartialName(*ctx.files, tools.copier, live, folder + u"garvina.db"_s) != 1)
        return false;

    // Unload into a backup file and reload it into a new database beside the live one.
    const QString unloaded = ctx.gs_path + u"data/garvina.rebuild.fbk"_s;
    const QString rebuilt = ctx.gs_path + u"data/garvina.rebuild.db"_s;
    QFile::remove(unloaded);
    QFile::remove(rebuilt); // gbak refuses to create over an existing file
    const auto cleanUp = [&] {
        QFile::remove(unloaded);
        QFile::remove(rebuilt);
    };
    if (!runGbak(ctx, tools, {u"-b"_s, u"-g"_s, u"-user"_s, u"DBA"_s, live, unloaded}) ||
        !runGbak(ctx, tools, {u"-c"_s, u"-user"_s, u"DBA"_s, unloaded, rebuilt}) ||
        !verifyDatabaseWhole(ctx.gs_path, rebuilt).isEmpty() || !ctx.files->sync(rebuilt)) {
        cleanUp();
        return false;
    }
    if (fileHeldOpen(live)) {
        // Someone opened the live file meanwhile: its writes would be lost with the replaced file.
        cleanUp();
        ctx.boxes->tell(u"提示"_s, u"操作错误!"_s, MsgIcon::StopSign);
        return false;
    }
    if (!ctx.files->renameAtomically(rebuilt, live)) {
        cleanUp();
        return false;
    }
    ctx.files->sync(ctx.gs_path + u"data"_s);
    QFile::remove(unloaded);
    return true;
}

} // namespace garvina
