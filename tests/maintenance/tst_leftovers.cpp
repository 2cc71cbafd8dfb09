// What a killed console leaves under the backup root and in the program folder, and what start-up removes.
#include "maintenance/leftovers.h"
#include "platform/processtable.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestLeftovers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startUpRemovesOnlyLeftovers_data()
    {
        QTest::addColumn<QStringList>("paths"); // under the backup root; "tool/…" in the program folder
        QTest::addColumn<bool>("held");         // the first file is open (its writer is at work)
        QTest::addColumn<QStringList>("left");
        const QString db = u"20130801-0900/garvina.db"_s, part = u"20130801-0901/garvina.db.part"_s;
        QTest::newRow("scratch beside a backup") << QStringList{db, u"20130801-0900/garvina.rehearsal.fbk"_s,
                                                                u"20130801-0900/garvina.rehearsal.db"_s}
                                                 << false << QStringList{db};
        QTest::newRow("scratch in the rehearsal's folders, its lock folder")
            << QStringList{u".garvina-rehearsal/garvina.rehearsal.src"_s,
                           u"tool/rehearsal/garvina.rehearsal.fbk"_s, u"tool/lock-rehearsal/fb_lock_1"_s}
            << false << QStringList();
        QTest::newRow("copy just written, its writer gone") << QStringList{part} << false << QStringList();
        QTest::newRow("copy being written") << QStringList{part} << true << QStringList{part};
        QTest::newRow("folder a killed retention emptied")
            << QStringList{u"20130801-0902/"_s} << false << QStringList();
        const QStringList foreign{u"20130801-0903/notes.txt"_s, u"old/garvina.rehearsal.db"_s,
                                  u"20130801-0904-U/"_s};
        QTest::newRow("someone else's files") << foreign + QStringList{u"20130801-0904-U/x"_s} << false
                                              << foreign + QStringList{u"20130801-0904-U/x"_s};
    }
    void startUpRemovesOnlyLeftovers()
    {
        QFETCH(QStringList, paths);
        QFETCH(bool, held);
        QFETCH(QStringList, left);
        QTemporaryDir dir;
        const QString gs_path = dir.filePath(u"prog/"_s), root = dir.filePath(u"backups/"_s);
        const auto full = [&](const QString &p) {
            return p.startsWith(u"tool/"_s) ? gs_path + p : root + p;
        };
        QFile first;
        for (const QString &p : paths) {
            QVERIFY(QDir().mkpath(QFileInfo(full(p)).path()));
            if (p.endsWith(u'/'))
                continue;
            QFile f(full(p));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("x");
        }
        first.setFileName(full(paths.first()));
        if (held)
            QVERIFY(first.open(QIODevice::ReadOnly));
        removeLeftovers(gs_path, root, LinuxProcessTable());
        for (const QString &p : paths)
            QVERIFY2(QFileInfo::exists(full(p)) == left.contains(p), qPrintable(p));
    }
};

QTEST_GUILESS_MAIN(TestLeftovers)
#include "tst_leftovers.moc"
