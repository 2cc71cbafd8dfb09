#include "restore.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "engine/syshelpers.h"
#include "maintenance/crashrecovery.h"
#include "maintenance/schedule.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/messageboxes.h"

#include <QFile>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

RestoreOutcome f_restore(AppContext &ctx, EngineControl &engine, const QString &restore_path,
                         const FreeSpaceSource &freeBytes, const FileCopier &copier)
{
    MessageBoxes &boxes = *ctx.boxes;
    const QString title = u"提示"_s;
    // Its copy and checks keep the event loop going: a scheduled backup waits meanwhile, and a
    // restore asked for during a backup or another restore is refused.
    const WorkSlot::Claim work = engine.work().claim(WorkKind::Restore);
    if (!work) {
        boxes.tell(title, dataWorkRunningText(), MsgIcon::StopSign);
        return RestoreOutcome::Busy;
    }
    const QString ls_file = restore_path.trimmed();
    if (f_len0(ls_file) < 1) {
        boxes.tell(title, u"请选好要还原的数据库文件"_s, MsgIcon::StopSign);
        return RestoreOutcome::NoFileChosen;
    }
    if (!QFileInfo(ls_file).isFile()) {
        boxes.tell(title, u"要还原的数据库文件不存在,请核实"_s, MsgIcon::StopSign);
        return RestoreOutcome::FileMissing;
    }
    if (!f_check_diskspace(ctx.gs_path, 100, freeBytes ? freeBytes : freeSpaceOf(*ctx.files))) {
        boxes.tell(
            u"空间不足提示"_s,
            u"服装软件所在的硬盘剩余空间不足100M,可能会影响服装软件使用,\n\n请整理出更多的硬盘空间,确保软件正常使用"_s,
            MsgIcon::StopSign);
    }
    if (!boxes.ask(title, u"是否确定还原数据库?"_s, MsgIcon::Question))
        return RestoreOutcome::Declined;

    // While the shop still works, bring the chosen file beside the live one and prove it is a
    // database: nothing is stopped or replaced for a file that could not take its place.
    const QString live = ctx.gs_path + u"data/garvina.db"_s;
    const QString incoming = ctx.gs_path + u"data/garvina.db.restore"_s;
    QFile::remove(incoming);
    const int copied = copyWith(*ctx.files, copier, ls_file, incoming);
    if (copied != 1) {
        QFile::remove(incoming);
        boxes.tell(title, copied == -1 ? u"无法读取还原数据库文件"_s : u"写入目标文件出错!"_s,
                   MsgIcon::StopSign);
        return copied == -1 ? RestoreOutcome::ReadError : RestoreOutcome::WriteError;
    }
    if (!verifyDatabaseWhole(ctx.gs_path, incoming).isEmpty()) {
        QFile::remove(incoming);
        boxes.tell(title, u"所选文件不是有效的数据库文件,请核实"_s, MsgIcon::StopSign);
        return RestoreOutcome::NotADatabase;
    }

    // A backup lock nobody holds keeps the shop's latest work in the delta beside the live file:
    // merge it back while the engine runs, so that the safety copy holds it.
    endStaleBackupLock(ctx, &engine);
    engine.f_db_server(u"STOP"_s);
    if (f_findwindows_garvinanet(ctx.gs_path) || fileHeldOpen(live)) {
        // The engine did not stop, or another program has the live file open: whatever it writes
        // would go into a file that no longer has a name.
        QFile::remove(incoming);
        engine.f_db_server(u"START"_s);
        boxes.tell(title, u"操作错误!"_s, MsgIcon::StopSign);
        return RestoreOutcome::EngineDidNotStop;
    }

    // Safety copy of the live file, taken while nothing has it open.
    QString root = ctx.readSetting(u"backup"_s, u"backuppath"_s);
    if (!root.endsWith(u'/'))
        root += u'/';
    const QString ls_backup_path = root + ctx.clock->now().toString(u"yyyyMMdd-HHmm"_s) + u"-R/"_s;
    QString ls_directory_error;
    // A file still locked is not the whole database without its delta: no safety copy is taken of it.
    const bool locked = endStaleBackupLock(ctx, &engine) == StaleLock::Kept;
    const bool safe = !locked && f_createdirectory(ls_backup_path, ls_directory_error, *ctx.files) &&
                      (!QFileInfo::exists(live) ||
                       copyUnderPartialName(*ctx.files, copier, live, ls_backup_path + u"garvina.db"_s) == 1);
    if (!safe && !boxes.ask(title, u"无法保存当前数据库的安全副本,是否仍要还原?"_s, MsgIcon::Question)) {
        QFile::remove(incoming);
        engine.f_db_server(u"START"_s);
        return RestoreOutcome::Declined;
    }

    // Let the owner write the live file, then put the verified copy in its place in one step: the
    // rename replaces the old file atomically, so there is never a moment without a live database.
    if (QFileInfo::exists(live))
        QFile::setPermissions(live, QFile::permissions(live) | QFileDevice::WriteOwner);
    if (!ctx.files->renameAtomically(incoming, live)) {
        QFile::remove(incoming);
        engine.f_db_server(u"START"_s);
        boxes.tell(title, u"写入目标文件出错!"_s, MsgIcon::StopSign);
        return RestoreOutcome::WriteError;
    }
    ctx.files->sync(ctx.gs_path + u"data"_s);
    engine.f_db_server(u"START"_s);
    boxes.tell(title, u"还原数据库成功!"_s, MsgIcon::Information);
    return RestoreOutcome::Restored;
}

} // namespace garvina
