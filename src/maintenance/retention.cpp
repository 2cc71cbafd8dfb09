#include "retention.h"

#include "config/profilefile.h"
#include "core/settings.h"
#include "maintenance/rehearsal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString DatabaseName = u"garvina.db"_s;

bool newerFirst(const BackupFolder &a, const BackupFolder &b)
{
    if (a.stamp != b.stamp)
        return a.stamp > b.stamp;
    return a.sequence > b.sequence;
}

/// The scratch files a killed rehearsal of an older version left beside garvina.db in \a path.
QStringList scratchLeftIn(const QString &path)
{
    QStringList names;
    for (const QString &file : Rehearsal::scratchFiles(path))
        names.append(QFileInfo(file).fileName());
    return names;
}

bool isRealFolderIn(const QString &root, const QString &path)
{
    const QFileInfo dir(path);
    return !dir.isSymLink() && dir.isDir() && dir.canonicalPath() == QFileInfo(root).canonicalFilePath();
}

/// A real folder directly inside \a root that holds the regular file garvina.db and nothing else but
/// the scratch files a killed rehearsal may have left (regular files too).
bool isOwnFolder(const QString &root, const QString &name, qint64 *bytes = nullptr)
{
    const QString path = root + u'/' + name;
    if (!isRealFolderIn(root, path))
        return false;
    const QStringList entries =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const QStringList scratch = scratchLeftIn(path);
    if (!entries.contains(DatabaseName))
        return false;
    for (const QString &entry : entries) {
        if (entry == DatabaseName)
            continue;
        const QFileInfo file(path + u'/' + entry);
        if (!scratch.contains(entry) || file.isSymLink() || !file.isFile())
            return false;
    }
    const QFileInfo file(path + u'/' + DatabaseName);
    if (file.isSymLink() || !file.isFile())
        return false;
    if (bytes)
        *bytes = file.size();
    return true;
}

QString periodKey(const QDate &d, int rule)
{
    if (rule == 0)
        return d.toString(u"yyyyMMdd"_s);
    if (rule == 1) {
        int year = 0;
        const int week = d.weekNumber(&year);
        return QString::number(year) + u'w' + QString::number(week);
    }
    return d.toString(u"yyyyMM"_s);
}

} // namespace

int RetentionSettings::parseKeep(const QString &value)
{
    bool ok = false;
    const int n = value.trimmed().toInt(&ok);
    return ok && n > 0 ? n : 0;
}

RetentionSettings RetentionSettings::read(const ProfileFile &file)
{
    RetentionSettings s;
    const QString b = u"backup"_s;
    s.keepDaily = parseKeep(readSetting(file, b, u"keep_daily"_s));
    s.keepWeekly = parseKeep(readSetting(file, b, u"keep_weekly"_s));
    s.keepMonthly = parseKeep(readSetting(file, b, u"keep_monthly"_s));
    s.keepSafety = parseKeep(readSetting(file, b, u"keep_safety"_s));
    return s;
}

bool parseBackupFolderName(const QString &name, BackupFolder &folder)
{
    static const QRegularExpression pattern(u"^(\\d{8}-\\d{4})(?:-(10|[1-9]|U|R))?$"_s);
    const QRegularExpressionMatch m = pattern.match(name);
    if (!m.hasMatch())
        return false;
    const QDateTime stamp = QDateTime::fromString(m.captured(1), u"yyyyMMdd-HHmm"_s);
    if (!stamp.isValid())
        return false;
    folder.name = name;
    folder.stamp = stamp;
    const QString suffix = m.captured(2);
    folder.kind = suffix == u"U"_s   ? BackupFolder::BeforeRebuild
                  : suffix == u"R"_s ? BackupFolder::BeforeRestore
                                     : BackupFolder::Dated;
    folder.sequence = folder.kind == BackupFolder::Dated ? suffix.toInt() : 0;
    return true;
}

QList<BackupFolder> listBackupFolders(const QString &root)
{
    QList<BackupFolder> folders;
    const QString clean = QDir::cleanPath(root);
    const QStringList names = QDir(clean).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &name : names) {
        BackupFolder f;
        if (parseBackupFolderName(name, f) && isOwnFolder(clean, name, &f.bytes))
            folders.append(f);
    }
    std::sort(folders.begin(), folders.end(), newerFirst);
    return folders;
}

QStringList removeEmptyBackupFolders(const QString &root)
{
    QStringList removed;
    const QString clean = QDir::cleanPath(root);
    for (const QString &name : QDir(clean).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        BackupFolder parsed;
        const QString path = clean + u'/' + name;
        if (parseBackupFolderName(name, parsed) && isRealFolderIn(clean, path) &&
            QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot) &&
            QDir(clean).rmdir(name))
            removed.append(name);
    }
    return removed;
}

RetentionPlan planRetention(const RetentionInput &input)
{
    RetentionPlan plan;
    QList<BackupFolder> folders = input.folders;
    std::sort(folders.begin(), folders.end(), newerFirst);
    const auto keepAll = [&](const QString &why) {
        for (const BackupFolder &f : folders)
            plan.keep.append(f.name);
        plan.held = why;
        return plan;
    };
    if (!input.backupSucceeded)
        return keepAll(u"备份没有成功,不清理旧备份"_s);
    // Folder stamps have minute precision; a folder of this very minute is not in the future.
    const QDateTime latestAllowed = input.now.addSecs(60);
    for (const BackupFolder &f : folders) {
        if (f.stamp > latestAllowed)
            return keepAll(u"备份目录 "_s + f.name + u" 的时间晚于当前时间,时钟可能被调回,不清理旧备份"_s);
    }

    const RetentionSettings &s = input.settings;
    QSet<QString> kept;
    QList<const BackupFolder *> good;
    QList<const BackupFolder *> bad;
    for (const BackupFolder &f : folders) {
        if (f.kind != BackupFolder::Dated)
            continue;
        (input.failed.contains(f.name) ? bad : good).append(&f);
    }

    const bool datedRulesOn = s.keepDaily > 0 && s.keepWeekly > 0 && s.keepMonthly > 0;
    if (!datedRulesOn) {
        for (const BackupFolder *f : good)
            kept.insert(f->name);
        for (const BackupFolder *f : bad)
            kept.insert(f->name);
    } else {
        const int limits[3] = {s.keepDaily, s.keepWeekly, s.keepMonthly};
        for (int rule = 0; rule < 3; ++rule) {
            QSet<QString> periods;
            for (const BackupFolder *f : good) {
                const QString key = periodKey(f->stamp.date(), rule);
                if (periods.contains(key))
                    continue;
                if (periods.size() >= limits[rule])
                    break;
                periods.insert(key);
                kept.insert(f->name);
            }
        }
        if (!input.lastGood.isEmpty() && !input.failed.contains(input.lastGood))
            kept.insert(input.lastGood);
        for (const BackupFolder *f : good) {
            if (std::count_if(good.begin(), good.end(),
                              [&](const BackupFolder *g) { return kept.contains(g->name); }) >= 2)
                break;
            kept.insert(f->name);
        }
        const qsizetype goodKept = std::count_if(
            good.begin(), good.end(), [&](const BackupFolder *g) { return kept.contains(g->name); });
        if (goodKept < 2) {
            for (const BackupFolder *f : bad)
                kept.insert(f->name);
        }
    }

    // Safety copies: the newest of each kind.
    for (const BackupFolder::Kind kind : {BackupFolder::BeforeRebuild, BackupFolder::BeforeRestore}) {
        int n = 0;
        for (const BackupFolder &f : folders) {
            if (f.kind == kind && (s.keepSafety == 0 || n++ < s.keepSafety))
                kept.insert(f.name);
        }
    }

    const QString rules = u"超出保留规则(每天"_s + QString::number(s.keepDaily) + u",每周"_s +
                          QString::number(s.keepWeekly) + u",每月"_s + QString::number(s.keepMonthly) + u')';
    for (const BackupFolder &f : folders) {
        if (kept.contains(f.name)) {
            plan.keep.append(f.name);
        } else if (f.kind != BackupFolder::Dated) {
            plan.remove.append({f.name, u"安全备份超过"_s + QString::number(s.keepSafety) + u"份"_s});
        } else if (input.failed.contains(f.name)) {
            plan.remove.append({f.name, u"还原演练失败的备份"_s});
        } else {
            plan.remove.append({f.name, rules});
        }
    }
    return plan;
}

QStringList applyRetention(const QString &root, const RetentionPlan &plan, const QString &gs_path,
                           const QDateTime &now)
{
    QStringList deleted;
    if (plan.remove.isEmpty())
        return deleted;
    QFile log(gs_path + maintenanceLogName());
    const bool logOpen = log.open(QIODevice::WriteOnly | QIODevice::Append);
    const QString clean = QDir::cleanPath(root);
    const QString when = now.toString(u"yyyy-MM-dd HH:mm:ss "_s);
    for (const RetentionPlan::Removal &r : plan.remove) {
        const QString path = clean + u'/' + r.name;
        BackupFolder parsed;
        const bool ours = parseBackupFolderName(r.name, parsed) && isOwnFolder(clean, r.name);
        if (ours) {
            for (const QString &scratch : scratchLeftIn(path))
                QFile::remove(path + u'/' + scratch);
        }
        const bool removed = ours && QFile::remove(path + u'/' + DatabaseName) && QDir(clean).rmdir(r.name);
        QString line = when + (removed ? u"删除备份 "_s : u"未能删除备份 "_s) + path + u":"_s + r.reason;
        if (removed)
            deleted.append(r.name);
        if (logOpen)
            log.write(line.toUtf8() + "\r\n");
    }
    return deleted;
}

} // namespace garvina
