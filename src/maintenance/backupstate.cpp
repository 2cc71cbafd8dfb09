#include "backupstate.h"

#include "core/appcontext.h"
#include "maintenance/backup.h"
#include "platform/clock.h"
#include "platform/filesystem.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

QString clean(const QString &path)
{
    return path.isEmpty() ? path : QDir::cleanPath(path);
}

QString timeText(const QDateTime &t)
{
    return t.isValid() ? t.toString(Qt::ISODate) : QString();
}

QDateTime timeFrom(const QJsonValue &v)
{
    return QDateTime::fromString(v.toString(), Qt::ISODate);
}

QStringList listFrom(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &item : v.toArray())
        out.append(item.toString());
    return out;
}

QJsonObject levelObject(const OffsiteLevel &l)
{
    return QJsonObject{{u"level"_s, l.level},      {u"guid"_s, l.guid},     {u"prev"_s, l.prevGuid},
                       {u"bytes"_s, l.bytes},      {u"sha256"_s, l.sha256}, {u"time"_s, timeText(l.time)},
                       {u"snapshot"_s, l.snapshot}};
}

OffsiteLevel levelFrom(const QJsonValue &v)
{
    const QJsonObject o = v.toObject();
    OffsiteLevel l;
    l.level = o.value(u"level"_s).toInt(-1);
    l.guid = o.value(u"guid"_s).toString();
    l.prevGuid = o.value(u"prev"_s).toString();
    l.bytes = o.value(u"bytes"_s).toInteger();
    l.sha256 = o.value(u"sha256"_s).toString();
    l.time = timeFrom(o.value(u"time"_s));
    l.snapshot = o.value(u"snapshot"_s).toString();
    return l;
}

} // namespace

bool BackupState::isFailed(const QString &folder) const
{
    return failedFolders.contains(clean(folder));
}

bool BackupState::isRehearsed(const QString &folder) const
{
    return rehearsedFolders.contains(clean(folder));
}

QDateTime BackupState::goodSince() const
{
    return lastGoodFolder.isEmpty() || isFailed(lastGoodFolder) ? QDateTime() : lastGoodTime;
}

BackupState loadBackupState(const QString &gs_path)
{
    BackupState s;
    QFile f(gs_path + backupStateFileName());
    if (!f.open(QIODevice::ReadOnly))
        return s;
    const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    const QJsonObject good = o.value(u"lastGood"_s).toObject();
    s.lastGoodTime = timeFrom(good.value(u"time"_s));
    s.lastGoodFolder = good.value(u"folder"_s).toString();
    s.lastGoodRoot = good.value(u"root"_s).toString();
    s.lastGoodMount = good.value(u"mount"_s).toString();
    const QJsonObject r = o.value(u"lastRehearsal"_s).toObject();
    s.lastRehearsal.ok = r.value(u"ok"_s).toBool();
    s.lastRehearsal.backupFolder = r.value(u"folder"_s).toString();
    s.lastRehearsal.startTime = timeFrom(r.value(u"start"_s));
    s.lastRehearsal.durationMs = r.value(u"durationMs"_s).toInteger();
    s.lastRehearsal.tables = r.value(u"tables"_s).toInt();
    s.lastRehearsal.rows = r.value(u"rows"_s).toInteger();
    s.lastRehearsal.error = r.value(u"error"_s).toString();
    s.lastRehearsal.notRun = r.value(u"notRun"_s).toBool();
    s.rehearsedFolders = listFrom(o.value(u"rehearsed"_s));
    s.failedFolders = listFrom(o.value(u"failed"_s));
    const QJsonObject off = o.value(u"offsite"_s).toObject();
    s.offsite.repository = off.value(u"repository"_s).toString();
    s.offsite.base = levelFrom(off.value(u"base"_s));
    s.offsite.last = levelFrom(off.value(u"last"_s));
    s.offsite.goodTime = timeFrom(off.value(u"good"_s));
    s.offsite.tried = timeFrom(off.value(u"tried"_s));
    s.offsite.checked = timeFrom(off.value(u"checked"_s));
    s.offsite.rehearsed = timeFrom(off.value(u"rehearsed"_s));
    s.offsite.baseNeeded = off.value(u"baseNeeded"_s).toBool();
    s.offsite.error = off.value(u"error"_s).toString();
    return s;
}

bool saveBackupState(const FileSystem &files, const QString &gs_path, const BackupState &s)
{
    QJsonObject o;
    o.insert(u"lastGood"_s, QJsonObject{{u"time"_s, timeText(s.lastGoodTime)},
                                        {u"folder"_s, s.lastGoodFolder},
                                        {u"root"_s, s.lastGoodRoot},
                                        {u"mount"_s, s.lastGoodMount}});
    const RehearsalRecord &r = s.lastRehearsal;
    o.insert(u"lastRehearsal"_s, QJsonObject{{u"ok"_s, r.ok},
                                             {u"folder"_s, r.backupFolder},
                                             {u"start"_s, timeText(r.startTime)},
                                             {u"durationMs"_s, r.durationMs},
                                             {u"tables"_s, r.tables},
                                             {u"rows"_s, r.rows},
                                             {u"error"_s, r.error},
                                             {u"notRun"_s, r.notRun}});
    o.insert(u"rehearsed"_s, QJsonArray::fromStringList(s.rehearsedFolders));
    o.insert(u"failed"_s, QJsonArray::fromStringList(s.failedFolders));
    const OffsiteRecord &off = s.offsite;
    o.insert(u"offsite"_s, QJsonObject{{u"repository"_s, off.repository},
                                       {u"base"_s, levelObject(off.base)},
                                       {u"last"_s, levelObject(off.last)},
                                       {u"good"_s, timeText(off.goodTime)},
                                       {u"tried"_s, timeText(off.tried)},
                                       {u"checked"_s, timeText(off.checked)},
                                       {u"rehearsed"_s, timeText(off.rehearsed)},
                                       {u"baseNeeded"_s, off.baseNeeded},
                                       {u"error"_s, off.error}});
    return files.replaceFile(gs_path + backupStateFileName(), QJsonDocument(o).toJson()).ok();
}

void recordGoodBackup(BackupState &state, const QString &root, const QString &folder, const QDateTime &when,
                      const QString &mountPoint)
{
    state.lastGoodTime = when;
    state.lastGoodFolder = clean(folder);
    state.lastGoodRoot = clean(root);
    state.lastGoodMount = mountPoint;
}

void recordRehearsal(BackupState &state, const RehearsalRecord &record)
{
    RehearsalRecord r = record;
    r.backupFolder = clean(r.backupFolder);
    state.lastRehearsal = r;
    if (r.backupFolder.isEmpty() || r.notRun)
        return;
    if (r.ok) {
        if (!state.isFailed(r.backupFolder) && !state.isRehearsed(r.backupFolder))
            state.rehearsedFolders.append(r.backupFolder);
    } else {
        state.rehearsedFolders.removeAll(r.backupFolder);
        if (!state.isFailed(r.backupFolder))
            state.failedFolders.append(r.backupFolder);
    }
}

QString BackupStateStore::saveErrorText()
{
    return u"保存备份状态文件出错!"_s;
}

BackupState BackupStateStore::load() const
{
    return loadBackupState(m_ctx.gs_path);
}

bool BackupStateStore::update(const std::function<void(BackupState &)> &change) const
{
    BackupState state = loadBackupState(m_ctx.gs_path);
    change(state);
    if (saveBackupState(*m_ctx.files, m_ctx.gs_path, state))
        return true;
    f_filewrite_backup_error_to_txt(m_ctx.gs_path, m_ctx.clock->now().toString(u"yyyy-MM-dd HH:mm:ss"_s) +
                                                       u':' + saveErrorText() + u' ' + m_ctx.gs_path +
                                                       backupStateFileName());
    return false;
}

} // namespace garvina
