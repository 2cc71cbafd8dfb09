#include "offsite.h"

#include "core/appcontext.h"
#include "core/settings.h"
#include "engine/enginecontrol.h"
#include "engine/fbservice.h"
#include "engine/syshelpers.h"
#include "maintenance/backup.h"
#include "maintenance/backupcare.h"
#include "maintenance/backuphealth.h"
#include "maintenance/dbheader.h"
#include "maintenance/retention.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/growingfileflush.h"
#include "platform/toolrunner.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSet>
#include <QSqlQuery>
#include <QtEndian>

#include <openssl/evp.h>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// An incremental file of the engine begins with this, its format version, level and GUIDs.
constexpr char LevelSignature[] = "NBAK";
constexpr int LevelGuidOffset = 8;
constexpr int LevelPrevGuidOffset = 24;
constexpr int LevelPageSizeOffset = 40;
constexpr int LevelHeaderBytes = 56;
/// The header page's variable part (type, length, data … up to hdr_end), and the backup GUID's type.
constexpr int HeaderDataOffset = 132;
constexpr int HeaderEndOffset = 66;
constexpr quint8 HeaderBackupGuid = 7;

const QString SnapshotTag = u"garvina-offsite"_s;

/// A GUID as the backup history writes it: eight little-endian 16-bit words.
QString guidText(const char *bytes)
{
    QString hex;
    for (int i = 0; i < 8; ++i)
        hex += QString::asprintf("%04X", qFromLittleEndian<quint16>(bytes + 2 * i));
    return u'{' + hex.mid(0, 8) + u'-' + hex.mid(8, 4) + u'-' + hex.mid(12, 4) + u'-' + hex.mid(16, 4) +
           u'-' + hex.mid(20, 12) + u'}';
}

/// The backup GUID in a database file's header page; empty when it has none.
QString databaseBackupGuid(const QByteArray &page)
{
    const int end =
        std::min<int>(qFromLittleEndian<quint16>(page.constData() + HeaderEndOffset), page.size());
    for (int at = HeaderDataOffset; at + 2 <= end;) {
        const auto type = static_cast<quint8>(page[at]);
        const auto length = static_cast<quint8>(page[at + 1]);
        if (type == 0)
            break;
        if (type == HeaderBackupGuid && length == 16 && at + 2 + 16 <= end)
            return guidText(page.constData() + at + 2);
        at += 2 + length;
    }
    return QString();
}

QString timeStamp(const QDateTime &t)
{
    return t.toString(u"yyyy-MM-dd HH:mm:ss"_s);
}

/// Appends one line to the maintenance log, as retention does.
void logMaintenance(const AppContext &ctx, const QString &line)
{
    QFile log(ctx.gs_path + maintenanceLogName());
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write((timeStamp(ctx.clock->now()) + u' ' + line).toUtf8() + "\r\n");
}

/// The last lines a tool wrote, for a reason shown to people.
QString toolReason(const ToolResult &result)
{
    if (result.status != ToolResult::Status::Exited)
        return result.failureText();
    QString text = QString::fromUtf8(result.errorOutput).trimmed();
    if (text.isEmpty())
        text = QString::fromUtf8(result.output).trimmed();
    const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    return lines.mid(std::max<qsizetype>(0, lines.size() - 3)).join(u' ').simplified();
}

/// The night's bound on restic's traffic: a week's level 0 of a gigabyte goes out in about two minutes.
constexpr int BackgroundKiBPerSecond = 8 * 1024;

/// restic on the configured repository: the password from its file, the cache in the off-site
/// folder, an sftp repository reached with the configured key and the folder's own known hosts.
class Restic
{
public:
    Restic(const AppContext &ctx, OffsiteSettings settings) : m_ctx(ctx), m_settings(std::move(settings)) {}

    /// \a background: at idle processor and disk priority on one core, so that the tills' commits
    /// come first (the night's run); a restore someone waits for runs as fast as it can.
    ToolResult run(const QStringList &args, int timeoutMs, const QString &workingDirectory = QString(),
                   bool background = false) const
    {
        ToolRequest request;
        request.program = u"restic"_s;
        if (background) {
            request.arguments = idlePriorityCommand() << u"restic"_s;
            request.program = request.arguments.takeFirst();
            request.extraEnvironment << u"GOMAXPROCS=1"_s;
        }
        request.arguments << u"--repo"_s << m_settings.repository << u"--cache-dir"_s
                          << offsiteFolder(m_ctx.gs_path) + u"cache"_s;
        // The disk's idle class means nothing to most schedulers: the night's reads and writes
        // are bounded instead, so that the tills' commits do not wait behind them.
        if (background)
            request.arguments << u"--limit-upload"_s << QString::number(BackgroundKiBPerSecond)
                              << u"--limit-download"_s << QString::number(BackgroundKiBPerSecond);
        const QString ssh = sftpCommand(m_settings, offsiteFolder(m_ctx.gs_path) + u"known_hosts"_s);
        // restic reads an option's value as one CSV field: quoted whole, its own quotes doubled.
        if (!ssh.isEmpty())
            request.arguments << u"-o"_s
                              << u'"' + QString(u"sftp.command="_s + ssh).replace(u"\""_s, u"\"\""_s) + u'"';
        request.arguments << args;
        request.extraEnvironment << u"RESTIC_PASSWORD_FILE="_s + offsitePasswordFile(m_ctx.gs_path);
        if (!m_settings.s3KeyId.isEmpty())
            request.extraEnvironment << u"AWS_ACCESS_KEY_ID="_s + m_settings.s3KeyId
                                     << u"AWS_SECRET_ACCESS_KEY="_s + m_settings.s3Secret;
        request.removedEnvironment = {u"RESTIC_PASSWORD"_s, u"RESTIC_PASSWORD_COMMAND"_s,
                                      u"RESTIC_REPOSITORY"_s, u"RESTIC_REPOSITORY_FILE"_s};
        request.workingDirectory = workingDirectory;
        request.output = ToolRequest::Output::Separate;
        request.timeoutMs = timeoutMs;
        request.keepEventLoop = true;
        return runTool(request);
    }

private:
    const AppContext &m_ctx;
    OffsiteSettings m_settings;
};

constexpr int ShortStepMs = 5 * 60 * 1000;
constexpr int LongStepMs = 4 * 60 * 60 * 1000;

/// Makes the password file with a random password when there is none; false when it cannot.
bool ensurePasswordFile(const AppContext &ctx)
{
    const QString file = offsitePasswordFile(ctx.gs_path);
    if (QFileInfo(file).size() > 0)
        return true;
    QDir().mkpath(offsiteFolder(ctx.gs_path));
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray password = QByteArray(reinterpret_cast<const char *>(words), sizeof words)
                                    .toBase64(QByteArray::OmitTrailingEquals);
    return ctx.files->replaceFile(file, password, 0600).ok();
}

void writeRecoverySheet(const AppContext &ctx, const OffsiteSettings &settings)
{
    QFile pw(offsitePasswordFile(ctx.gs_path));
    const QString password =
        pw.open(QIODevice::ReadOnly) ? QString::fromUtf8(pw.readAll()).trimmed() : QString();
    const QString sheet =
        u"异地备份恢复说明 (请打印后妥善保管,不要放在服务器旁边)\n\n"_s + u"异地备份位置: "_s +
        settings.repository + u"\n异地备份密码: "_s + password + u"\n建立时间: "_s +
        timeStamp(ctx.clock->now()) +
        u"\n\n恢复步骤:\n"
        "1. 在新的服务器上安装 garvinaserver 和 restic。\n"
        "2. 在配置文件 [offsite] 中设置 repository= 上面的异地备份位置;\n"
        "   把上面的密码写入程序目录下的 offsite/restic.password (权限 0600)。\n"
        "3. 在\"备份列表\"中点击\"从异地备份还原\",或执行\n"
        "   garvinaserver --fetch-offsite <目录>  取回并校验数据库,再用\"数据还原\"还原该文件。\n"
        "4. 没有 garvinaserver 时也可以手工恢复:\n"
        "   restic --repo <位置> snapshots --tag garvina-offsite   (找到最新的 level=1 和它的 level=0)\n"
        "   restic --repo <位置> restore <编号> --target <目录>     (两个都取回)\n"
        "   nbackup -R garvina.db <level=0 的文件> <level=1 的文件>\n"_s;
    ctx.files->replaceFile(recoverySheetFile(ctx.gs_path), sheet.toUtf8(), 0600);
}

/// The repository ready for use: made when it is not there yet (with the recovery sheet). The reason
/// it cannot be used, or an empty text.
QString ensureRepository(const AppContext &ctx, const OffsiteSettings &settings, const Restic &restic)
{
    if (!ensurePasswordFile(ctx))
        return u"无法建立异地备份密码文件 "_s + offsitePasswordFile(ctx.gs_path);
    if (settings.repository.startsWith(u'/')) {
        const QString absent = absentDiskProblem(*ctx.files, settings.repository, BackupState());
        if (!absent.isEmpty())
            return absent;
    }
    const ToolResult config = restic.run({u"cat"_s, u"config"_s}, ShortStepMs, {}, true);
    if (config.succeeded()) {
        if (!QFileInfo::exists(recoverySheetFile(ctx.gs_path)))
            writeRecoverySheet(ctx, settings);
        return QString();
    }
    const QString reason = toolReason(config);
    if (!reason.contains(u"Is there a repository"_s) && !reason.contains(u"does not exist"_s))
        return u"异地备份位置无法使用:"_s + reason;
    const ToolResult init = restic.run({u"init"_s}, ShortStepMs, {}, true);
    if (!init.succeeded())
        return u"无法建立异地备份:"_s + toolReason(init);
    writeRecoverySheet(ctx, settings);
    logMaintenance(ctx, u"已建立异地备份 "_s + settings.repository + u",恢复说明:"_s +
                            recoverySheetFile(ctx.gs_path));
    return QString();
}

/// The GUID of the newest level 0 in the live database's backup history; empty when it has none,
/// nothing when the engine could not be asked.
std::optional<QString> historyLastLevel0(EngineControl &engine)
{
    return throughEngine<QString>(engine, [](Sqlca &sqlca) -> std::optional<QString> {
        QSqlQuery query(sqlca.database());
        if (!query.exec(u"select first 1 rdb$guid from rdb$backup_history where rdb$backup_level = 0 "
                        "order by rdb$backup_id desc"_s))
            return std::nullopt;
        const QString guid = query.next() ? query.value(0).toString().trimmed() : QString();
        query.finish();
        sqlca.rollback();
        return guid;
    });
}

OffsiteLevel levelOf(const LevelHeader &header, const QString &sha, const QDateTime &when)
{
    OffsiteLevel l;
    l.level = header.level;
    l.guid = header.guid;
    l.prevGuid = header.prevGuid;
    l.bytes = header.bytes;
    l.sha256 = sha;
    l.time = when;
    return l;
}

/// Sends \a fileName in \a folder as one snapshot tagged with what its header and checksum say.
/// The reason it failed, or an empty text; the snapshot and the bytes added go into \a level, \a added.
QString sendLevel(const Restic &restic, const QString &folder, const QString &fileName, OffsiteLevel &level,
                  qint64 &added)
{
    const QStringList tags = {SnapshotTag,
                              u"level="_s + QString::number(level.level),
                              u"guid="_s + level.guid,
                              u"prev="_s + level.prevGuid,
                              u"sha256="_s + level.sha256,
                              u"bytes="_s + QString::number(level.bytes),
                              u"taken="_s + level.time.toString(u"yyyyMMddTHHmmss"_s)};
    const ToolResult sent = restic.run(
        {u"backup"_s, u"--json"_s, u"--host"_s, u"garvinaserver"_s, u"--tag"_s, tags.join(u','), fileName},
        std::max(LongStepMs, toolTimeoutForBytes(level.bytes)), folder);
    // Exit code 3: a snapshot was made, but some file could not be read; it is no copy to rely on.
    if (sent.status == ToolResult::Status::Exited && sent.exitCode == 3)
        return u"发送异地备份不完整,有文件没有读到:"_s + toolReason(sent);
    if (!sent.succeeded())
        return u"发送异地备份出错:"_s + toolReason(sent);
    for (const QByteArray &line : sent.output.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value(u"message_type"_s).toString() == u"summary"_s) {
            level.snapshot = o.value(u"snapshot_id"_s).toString();
            added = o.value(u"data_added"_s).toInteger();
        }
    }
    if (level.snapshot.isEmpty())
        return u"发送异地备份出错:restic 没有报告快照"_s;
    return QString();
}

QString tagValue(const QStringList &tags, const QString &name)
{
    for (const QString &tag : tags) {
        if (tag.startsWith(name + u'='))
            return tag.mid(name.size() + 1);
    }
    return QString();
}

/// The snapshots of the off-site stream in the repository, newest first; nothing when it cannot be read.
std::optional<QList<OffsiteSnapshot>> listSnapshots(const Restic &restic, QString &reason, bool background)
{
    const ToolResult listed =
        restic.run({u"snapshots"_s, u"--json"_s, u"--tag"_s, SnapshotTag}, ShortStepMs, {}, background);
    if (!listed.succeeded()) {
        reason = toolReason(listed);
        return std::nullopt;
    }
    QList<OffsiteSnapshot> out;
    for (const QJsonValue &v : QJsonDocument::fromJson(listed.output).array()) {
        const QJsonObject o = v.toObject();
        QStringList tags;
        for (const QJsonValue &t : o.value(u"tags"_s).toArray())
            tags.append(t.toString());
        OffsiteSnapshot s;
        s.id = o.value(u"id"_s).toString();
        s.time = QDateTime::fromString(tagValue(tags, u"taken"_s), u"yyyyMMddTHHmmss"_s);
        if (!s.time.isValid())
            s.time = QDateTime::fromString(o.value(u"time"_s).toString(), Qt::ISODateWithMs).toLocalTime();
        bool ok = false;
        s.level.level = tagValue(tags, u"level"_s).toInt(&ok);
        if (!ok || s.id.isEmpty())
            continue;
        s.level.guid = tagValue(tags, u"guid"_s);
        s.level.prevGuid = tagValue(tags, u"prev"_s);
        s.level.sha256 = tagValue(tags, u"sha256"_s);
        s.level.bytes = tagValue(tags, u"bytes"_s).toLongLong();
        s.level.time = s.time;
        s.level.snapshot = s.id;
        out.append(s);
    }
    std::sort(out.begin(), out.end(),
              [](const OffsiteSnapshot &a, const OffsiteSnapshot &b) { return a.time > b.time; });
    return out;
}

/// The one regular file a snapshot restored into \a folder holds; empty when it is not exactly one.
QString restoredFile(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files.size() == 1 ? files.first() : QString();
}

} // namespace

std::optional<LevelHeader> readLevelHeader(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    LevelHeader h;
    h.bytes = f.size();
    const QByteArray start = f.read(LevelHeaderBytes);
    if (start.size() == LevelHeaderBytes && start.startsWith(LevelSignature)) {
        h.level = qFromLittleEndian<qint16>(start.constData() + 6);
        h.guid = guidText(start.constData() + LevelGuidOffset);
        h.prevGuid = guidText(start.constData() + LevelPrevGuidOffset);
        h.pageSize = static_cast<int>(qFromLittleEndian<quint32>(start.constData() + LevelPageSizeOffset));
        h.sizeFits = h.pageSize >= 1024 && h.bytes >= h.pageSize && h.bytes % h.pageSize == 0;
        return h;
    }
    const std::optional<DbHeader> db = readDbHeader(file);
    if (!db)
        return std::nullopt;
    f.seek(0);
    h.level = 0;
    h.pageSize = db->pageSize;
    h.guid = databaseBackupGuid(f.read(db->pageSize));
    h.sizeFits = checkDatabaseSize(file).isEmpty();
    return h;
}

QString chainProblem(const QList<LevelHeader> &levels)
{
    if (levels.isEmpty())
        return u"异地备份中没有可用的备份!"_s;
    for (qsizetype i = 0; i < levels.size(); ++i) {
        const LevelHeader &l = levels[i];
        const QString which = u"第"_s + QString::number(i + 1) + u"个异地备份文件"_s;
        if (!l.sizeFits)
            return which + u"不完整!"_s;
        if (l.level != int(i) || l.guid.isEmpty())
            return which + u"的级别不对!"_s;
        if (i > 0 && l.prevGuid != levels[i - 1].guid)
            return which + u"与前一级备份不衔接!"_s;
        if (i > 0 && l.pageSize != levels[0].pageSize)
            return which + u"的页大小与全量备份不同!"_s;
    }
    return QString();
}

QString sha256OfFile(const QString &file)
{
    // OpenSSL's digest uses the processor's SHA instructions: a gigabyte in well under a second,
    // against several with a portable implementation, and a restore waits for it.
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        return QString();
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = f.read(chunk.data(), chunk.size());
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        if (EVP_DigestUpdate(digest.get(), chunk.constData(), size_t(n)) != 1)
            return QString();
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.get(), value, &length) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(value), int(length)).toHex());
}

OffsiteSettings OffsiteSettings::read(const AppContext &ctx)
{
    const ProfileFile file = ctx.config();
    const auto value = [&](const QString &key) {
        return readSetting(file, u"offsite"_s, key).trimmed();
    };
    OffsiteSettings s;
    s.repository = value(u"repository"_s);
    s.time = value(u"time"_s);
    s.alarmHours = std::max(0, value(u"alarm_hours"_s).toInt());
    s.baseDays = std::max(1, value(u"base_days"_s).toInt());
    s.sshIdentity = value(u"ssh_identity"_s);
    s.s3KeyId = value(u"s3_access_key_id"_s);
    s.s3Secret = value(u"s3_secret_access_key"_s);
    return s;
}

QString offsiteFolder(const QString &gs_path)
{
    return gs_path + u"offsite/"_s;
}

QString offsitePasswordFile(const QString &gs_path)
{
    return offsiteFolder(gs_path) + u"restic.password"_s;
}

QString recoverySheetFile(const QString &gs_path)
{
    return offsiteFolder(gs_path) + u"异地备份恢复说明.txt"_s;
}

QString sftpCommand(const OffsiteSettings &settings, const QString &knownHosts)
{
    if (settings.sshIdentity.isEmpty() || !settings.repository.startsWith(u"sftp:"_s))
        return QString();
    // "sftp:user@host:/path", or "sftp://user@host:port//path".
    QString rest = settings.repository.mid(5);
    QString port;
    QString host;
    if (rest.startsWith(u"//"_s)) {
        rest = rest.mid(2);
        host = rest.section(u'/', 0, 0);
        if (host.contains(u':')) {
            port = host.section(u':', 1);
            host = host.section(u':', 0, 0);
        }
    } else {
        host = rest.section(u':', 0, 0);
    }
    if (host.isEmpty())
        return QString();
    QStringList command = {u"ssh"_s,
                           u"-i"_s,
                           settings.sshIdentity,
                           u"-o"_s,
                           u"BatchMode=yes"_s,
                           u"-o"_s,
                           u"StrictHostKeyChecking=accept-new"_s,
                           u"-o"_s,
                           u"UserKnownHostsFile="_s + knownHosts,
                           u"-o"_s,
                           u"ConnectTimeout=30"_s,
                           u"-o"_s,
                           u"ServerAliveInterval=30"_s};
    if (!port.isEmpty())
        command << u"-p"_s << port;
    command << host << u"-s"_s << u"sftp"_s;
    // restic splits the command as a shell would: a path with blanks (the program folder's) is quoted.
    for (QString &part : command) {
        if (part.contains(u' ') || part.contains(u'\''))
            part = u'"' + part + u'"';
    }
    return command.join(u' ');
}

bool newBaseDue(const BackupState &state, const QString &repository, int baseDays,
                const QString &historyLastLevel0, const QDateTime &now)
{
    const OffsiteLevel &base = state.offsite.base;
    if (base.isNull() || state.offsite.baseNeeded || base.guid != historyLastLevel0 ||
        state.offsite.repository != repository)
        return true;
    // A base dated after now (the clock was set back) is as good as a week old: its age is unknown.
    return !base.time.isValid() || base.time > now.addSecs(3600) || base.time.daysTo(now) >= baseDays;
}

QStringList offsiteForgetPlan(const QList<OffsiteSnapshot> &snapshots, const RetentionSettings &settings,
                              const QDateTime &now)
{
    RetentionInput in;
    in.settings = settings;
    in.now = now;
    for (const OffsiteSnapshot &s : snapshots) {
        BackupFolder f;
        f.name = s.id;
        f.stamp = s.time;
        in.folders.append(f);
    }
    if (!snapshots.isEmpty())
        in.lastGood = std::max_element(snapshots.begin(), snapshots.end(), [](const auto &a, const auto &b) {
                          return a.time < b.time;
                      })->id;
    const RetentionPlan plan = planRetention(in);
    QSet<QString> kept(plan.keep.begin(), plan.keep.end());
    // A level 1 is no copy without its level 0: a kept one keeps its base.
    QSet<QString> keptBases;
    for (const OffsiteSnapshot &s : snapshots) {
        if (kept.contains(s.id) && s.level.level > 0)
            keptBases.insert(s.level.prevGuid);
    }
    QStringList forget;
    for (const OffsiteSnapshot &s : snapshots) {
        const bool base = s.level.level == 0 && keptBases.contains(s.level.guid);
        if (!kept.contains(s.id) && !base)
            forget.append(s.id);
    }
    return forget;
}

namespace {

OffsiteOutcome offsiteNight(AppContext &ctx, EngineControl &engine, const QString &backupRoot)
{
    OffsiteOutcome out;
    const OffsiteSettings settings = OffsiteSettings::read(ctx);
    const BackupStateStore store(ctx);
    const QDateTime started = ctx.clock->now();
    if (settings.repository.isEmpty()) {
        out.error = u"没有设置异地备份位置!"_s;
        return out;
    }
    if (!engine.work().yields()) {
        out.error = dataWorkRunningText();
        return out;
    }
    store.update([&](BackupState &s) { s.offsite.tried = started; });
    const auto failed = [&](const QString &error) {
        out.error = error;
        store.update([&](BackupState &s) { s.offsite.error = error; });
        f_filewrite_backup_error_to_txt(ctx.gs_path, timeStamp(ctx.clock->now()) + u':' + error);
        return out;
    };
    const Restic restic(ctx, settings);
    const QString unusable = ensureRepository(ctx, settings, restic);
    if (!unusable.isEmpty())
        return failed(unusable);
    // A lock left by a restic that was killed would refuse every later run; only stale ones go.
    restic.run({u"unlock"_s}, ShortStepMs, {}, true);

    const std::optional<QString> history = historyLastLevel0(engine);
    if (!history)
        return failed(u"异地备份时,连接数据库出错!"_s);
    const bool newBase =
        newBaseDue(store.load(), settings.repository, settings.baseDays, *history, ctx.clock->now());

    QElapsedTimer levelTimer;
    levelTimer.start();
    QString folder;
    QString fileName;
    QString staged;
    const auto dropStaged = qScopeGuard([&] {
        if (!staged.isEmpty())
            QFile::remove(staged);
    });
    std::optional<LevelHeader> header;
    WorkSlot::Claim claim;
    if (newBase) {
        // The week's level 0 is a local backup like any other, verified as they are; only it goes
        // into the engine's history, so that the level 1s are taken against it.
        const BackupOutcome local = runBackup(ctx, engine, backupRoot, true);
        if (!local.ok)
            return failed(u"异地备份的全量备份出错:"_s + local.error);
        folder = local.folder;
        fileName = u"garvina.db"_s;
        claim = engine.work().claim(WorkKind::Offsite);
        if (!claim)
            return failed(dataWorkRunningText());
        header = readLevelHeader(folder + u'/' + fileName);
        if (!header || header->level != 0 || header->guid.isEmpty())
            return failed(u"异地备份的全量备份没有备份标识!"_s);
    } else {
        claim = engine.work().claim(WorkKind::Offsite);
        if (!claim)
            return failed(dataWorkRunningText());
        folder = offsiteFolder(ctx.gs_path) + u"outgoing"_s;
        QDir().mkpath(folder);
        fileName = u"garvina-"_s + started.toString(u"yyyyMMdd-HHmmss"_s) + u".nbk"_s;
        staged = folder + u'/' + fileName;
        QFile::remove(staged);
        FbServiceTarget target;
        target.port = ctx.readSetting(u"server"_s, u"dataport"_s).trimmed().toInt();
        target.user = u"DBA"_s;
        target.password = readDbaPassword(ctx.gs_path);
        engine.work().setCopyBeingWritten(true);
        // Written out as it grows, as a local backup is: tens of megabytes left dirty would be
        // flushed by the next commit of the tills, which would wait for all of them.
        GrowingFileFlusher flusher(staged, 1 << 20, 100 << 20);
        const FbResult copy = fbOnlineBackup(target, engineName(), staged, 1);
        flusher.stop();
        engine.work().setCopyBeingWritten(false);
        if (!copy.ok)
            return failed(u"异地备份的增量备份出错:"_s + copy.error);
        header = readLevelHeader(staged);
        const OffsiteLevel base = store.load().offsite.base;
        LevelHeader baseHeader;
        baseHeader.level = 0;
        baseHeader.guid = base.guid;
        baseHeader.sizeFits = true;
        baseHeader.pageSize = header ? header->pageSize : 0;
        if (!header)
            return failed(u"异地备份的增量备份文件无法读取!"_s);
        const QString problem = chainProblem({baseHeader, *header});
        if (!problem.isEmpty())
            return failed(u"异地备份的增量备份:"_s + problem);
    }
    out.levelSeconds = double(levelTimer.nsecsElapsed()) / 1e9;
    const QString path = folder + u'/' + fileName;
    OffsiteLevel level = levelOf(*header, sha256OfFile(path), started);
    if (level.sha256.isEmpty())
        return failed(u"无法读取异地备份文件 "_s + path);
    out.level = level.level;
    out.levelBytes = level.bytes;
    const QString sendError = sendLevel(restic, folder, fileName, level, out.bytesSent);
    if (!sendError.isEmpty())
        return failed(sendError);
    out.snapshot = level.snapshot;
    logMaintenance(ctx, u"异地备份已发送:级别"_s + QString::number(level.level) + u',' +
                            QString::number(level.bytes) + u"字节,新增"_s + QString::number(out.bytesSent) +
                            u"字节,快照"_s + level.snapshot);

    // A seventh of the stored data is read back each night: all of it once a week.
    const int part = ctx.clock->now().date().dayOfWeek();
    const ToolResult check = restic.run(
        {u"check"_s, u"--read-data-subset="_s + QString::number(part) + u"/7"_s}, LongStepMs, {}, true);
    out.checked = check.succeeded();
    store.update([&](BackupState &s) {
        if (level.level == 0) {
            s.offsite.repository = settings.repository;
            s.offsite.base = level;
            s.offsite.baseNeeded = false;
        }
        s.offsite.last = level;
        if (out.checked) {
            s.offsite.checked = ctx.clock->now();
            s.offsite.goodTime = level.time;
            s.offsite.error.clear();
        }
    });
    if (!out.checked)
        return failed(u"检查异地备份出错:"_s + toolReason(check));

    QString reason;
    const std::optional<QList<OffsiteSnapshot>> snapshots = listSnapshots(restic, reason, true);
    if (snapshots) {
        out.forgotten =
            offsiteForgetPlan(*snapshots, RetentionSettings::read(ctx.config()), ctx.clock->now());
        if (!out.forgotten.isEmpty()) {
            const ToolResult forget =
                restic.run(QStringList{u"forget"_s, u"--prune"_s} + out.forgotten, LongStepMs, {}, true);
            logMaintenance(ctx, (forget.succeeded() ? u"异地备份已清理:"_s
                                                    : u"清理异地备份出错:"_s + toolReason(forget) + u" "_s) +
                                    out.forgotten.join(u' '));
        }
    } else {
        logMaintenance(ctx, u"无法列出异地备份:"_s + reason);
    }
    out.ok = true;
    return out;
}

} // namespace

OffsiteOutcome runOffsite(AppContext &ctx, EngineControl &engine, const QString &backupRoot)
{
    QElapsedTimer whole;
    whole.start();
    OffsiteOutcome out = offsiteNight(ctx, engine, backupRoot);
    out.seconds = double(whole.nsecsElapsed()) / 1e9;
    return out;
}

namespace {

/// The end of a fetch: the level files go (their room back before the check reads the database),
/// then the assembled database is validated fully.
OffsiteFetch &validateFetched(const AppContext &ctx, const QString &scratchFolder,
                              const QList<OffsiteSnapshot> &chain, OffsiteFetch &out)
{
    for (const OffsiteSnapshot &s : chain)
        QDir(scratchFolder + u"/level"_s + QString::number(s.level.level)).removeRecursively();
    QElapsedTimer timer;
    timer.start();
    const QString bad = verifyDatabaseWhole(ctx.gs_path, out.database);
    out.validateSeconds = double(timer.nsecsElapsed()) / 1e9;
    if (!bad.isEmpty()) {
        out.error = u"异地备份合成的数据库校验出错:"_s + bad.simplified();
        return out;
    }
    out.ok = true;
    return out;
}

} // namespace

OffsiteFetch fetchOffsiteChain(const AppContext &ctx, const QString &scratchFolder)
{
    OffsiteFetch out;
    const OffsiteSettings settings = OffsiteSettings::read(ctx);
    if (settings.repository.isEmpty()) {
        out.error = u"没有设置异地备份位置!"_s;
        return out;
    }
    if (QFileInfo(offsitePasswordFile(ctx.gs_path)).size() <= 0) {
        out.error = u"没有异地备份密码文件 "_s + offsitePasswordFile(ctx.gs_path);
        return out;
    }
    const Restic restic(ctx, settings);
    QElapsedTimer timer;
    timer.start();
    QString reason;
    const std::optional<QList<OffsiteSnapshot>> snapshots = listSnapshots(restic, reason, false);
    if (!snapshots) {
        out.error = u"异地备份位置无法使用:"_s + reason;
        return out;
    }
    // The newest snapshot whose chain is complete in the repository.
    QList<OffsiteSnapshot> chain;
    for (const OffsiteSnapshot &s : *snapshots) {
        if (s.level.level == 0) {
            chain = {s};
            break;
        }
        const auto base = std::find_if(snapshots->begin(), snapshots->end(), [&](const OffsiteSnapshot &b) {
            return b.level.level == 0 && b.level.guid == s.level.prevGuid;
        });
        if (base != snapshots->end()) {
            chain = {*base, s};
            break;
        }
    }
    if (chain.isEmpty()) {
        out.error = u"异地备份中没有可用的备份!"_s;
        return out;
    }
    QDir(scratchFolder).removeRecursively();
    QDir().mkpath(scratchFolder);
    QStringList files;
    for (const OffsiteSnapshot &s : chain) {
        const QString target = scratchFolder + u"/level"_s + QString::number(s.level.level);
        const ToolResult fetched = restic.run({u"restore"_s, s.id, u"--target"_s, target},
                                              std::max(LongStepMs, toolTimeoutForBytes(s.level.bytes)));
        const QString file = fetched.succeeded() ? restoredFile(target) : QString();
        if (file.isEmpty()) {
            out.error = u"取回异地备份出错:"_s + toolReason(fetched);
            return out;
        }
        if (sha256OfFile(file) != s.level.sha256) {
            out.error = u"取回的异地备份文件校验和不符:"_s + QFileInfo(file).fileName();
            return out;
        }
        const std::optional<LevelHeader> header = readLevelHeader(file);
        if (!header || header->guid != s.level.guid) {
            out.error = u"取回的异地备份文件与记录不符:"_s + QFileInfo(file).fileName();
            return out;
        }
        out.chain.append(*header);
        files.append(file);
    }
    out.takenAt = chain.last().time;
    out.fetchSeconds = double(timer.nsecsElapsed()) / 1e9;
    const QString problem = chainProblem(out.chain);
    if (!problem.isEmpty()) {
        out.error = problem;
        return out;
    }
    timer.restart();
    out.database = scratchFolder + u"/garvina.db"_s;
    // A level 0 alone is a whole database already (a verified local backup): it is the copy.
    if (files.size() == 1) {
        const bool copied = ctx.files->copyFile(files.first(), out.database) == 1;
        out.assembleSeconds = double(timer.nsecsElapsed()) / 1e9;
        if (!copied) {
            out.error = u"合成异地备份出错:无法复制 "_s + files.first();
            return out;
        }
        return validateFetched(ctx, scratchFolder, chain, out);
    }
    ToolRequest request;
    request.program = u"nbackup"_s;
    request.arguments = QStringList{u"-R"_s, out.database} + files;
    request.extraEnvironment = EngineInstance(ctx.gs_path).scratchToolEnvironment(scratchFolder + u"/lock"_s);
    request.removedEnvironment = {u"ISC_PASSWORD"_s};
    request.timeoutMs = toolTimeoutForBytes(out.chain.first().bytes);
    request.keepEventLoop = true;
    const ToolResult assembled = runTool(request);
    QDir(scratchFolder + u"/lock"_s).removeRecursively();
    out.assembleSeconds = double(timer.nsecsElapsed()) / 1e9;
    if (!assembled.succeeded() || !QFileInfo(out.database).isFile()) {
        out.error = u"合成异地备份出错:"_s + toolReason(assembled);
        return out;
    }
    // Pages the engine reserved for a table as the file grew, and has not written yet, are counted
    // by the page inventory but are in no level: on the live file they are zeros past the end of
    // the level 0. The assembled file gets them back as zeros, so that it is as long as it says.
    const std::optional<DbHeader> header = readDbHeader(out.database);
    if (header && header->pagesInUse > 0) {
        QFile file(out.database);
        const qint64 whole = header->pagesInUse * header->pageSize;
        if (file.size() < whole && !file.resize(whole)) {
            out.error = u"合成异地备份出错:无法补齐 "_s + out.database;
            return out;
        }
    }
    return validateFetched(ctx, scratchFolder, chain, out);
}

bool offsiteRehearsalDue(const BackupState &state, const QDateTime &now)
{
    const QDateTime last = state.offsite.rehearsed;
    return state.offsite.goodTime.isValid() && (!last.isValid() || last > now || last.daysTo(now) >= 30);
}

bool offsiteAlarmDue(const BackupState &state, int hours, const QDateTime &watchedSince, bool serviceRunning,
                     const QDateTime &now)
{
    return ageAlarmDue(state.offsite.goodTime.isValid() ? state.offsite.goodTime : watchedSince, hours,
                       serviceRunning, now);
}

QString offsiteAlarmText(int hours)
{
    return u"最近"_s + QString::number(hours) + u"小时内没有成功的异地备份,请检查异地备份位置和网络!"_s;
}

QString lastOffsiteLine(const BackupState &state)
{
    if (!state.offsite.goodTime.isValid())
        return u"<<暂没有成功的异地备份>>"_s;
    return u"上次成功异地备份时间："_s + timeStamp(state.offsite.goodTime);
}

} // namespace garvina
