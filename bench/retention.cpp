// Retention: five years of daily backup folders (small files) pruned in one pass, with the time the
// listing, the plan and the deletions take and the folders kept, checked against the plan.
#include "benchsupport.h"

#include "maintenance/retention.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using namespace garvina::bench;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Prunes five years of daily backup folders in one pass."_s);
    parser.addHelpOption();
    parser.addOption({u"years"_s, u"Years of daily folders (default 5)."_s, u"N"_s, u"5"_s});
    parser.process(app);
    const int years = intOption(parser, u"years"_s, 1);

    QDir().mkpath(benchRoot());
    QTemporaryDir dir(benchRoot() + u"/retention-XXXXXX"_s);
    const QString root = dir.path() + u"/备份"_s;
    const QString gs_path = dir.path() + u"/prog/"_s;
    QDir().mkpath(gs_path);

    const QDateTime now(QDate(2026, 12, 9), QTime(16, 5));
    const int days = years * 365 + years / 4 + 1;
    QElapsedTimer timer;
    timer.start();
    for (int d = 0; d < days; ++d) {
        const QString folder = root + u'/' + now.date().addDays(-d).toString(u"yyyyMMdd"_s) + u"-1600"_s;
        QDir().mkpath(folder);
        QFile f(folder + u"/garvina.db"_s);
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray(4096, 'g')) != 4096) {
            warn(u"cannot write "_s + f.fileName());
            return 1;
        }
    }
    say(u"folders made:       "_s + QString::number(days) + u" in "_s + num(seconds(timer)) + u" s"_s);

    timer.restart();
    RetentionInput in;
    in.folders = listBackupFolders(root);
    const double listed = seconds(timer);
    in.now = now;
    in.lastGood = now.toString(u"yyyyMMdd-1600"_s);
    const RetentionPlan plan = planRetention(in);
    const double planned = seconds(timer);
    const QStringList deleted = applyRetention(root, plan, gs_path, now);
    const double total = seconds(timer);

    say(u"listing:            "_s + num(listed * 1000, 1) + u" ms ("_s + QString::number(in.folders.size()) +
        u" folders)"_s);
    say(u"plan:               "_s + num((planned - listed) * 1000, 1) + u" ms"_s);
    say(u"deletions:          "_s + num((total - planned) * 1000, 1) + u" ms ("_s +
        QString::number(deleted.size()) + u" folders)"_s);
    say(u"one pass in total:  "_s + num(total * 1000, 1) + u" ms"_s);

    QStringList left = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
    QStringList keep = plan.keep;
    keep.sort();
    std::reverse(keep.begin(), keep.end());
    say(u"folders kept:       "_s + QString::number(left.size()) +
        u" (7 days, 4 weeks, 12 months by default)"_s);
    say(u"kept:               "_s + left.join(u' '));
    const bool matches = left == keep && deleted.size() + left.size() == days;
    say(u"kept matches plan:  "_s + (matches ? u"yes"_s : u"NO"_s));
    return matches ? 0 : 1;
}
