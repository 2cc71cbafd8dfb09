#include "engine/syshelpers.h"
#include "platform/toolrunner.h"
#include "support/recordingmessageboxes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {
double cpuSeconds()
{
    const LinuxProcessTable processes;
    return processes.processorSeconds(processes.ownPid());
}
} // namespace

class TestSysHelpers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fLen_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");
        QTest::newRow("empty") << u""_s << 0;
        QTest::newRow("blanks only") << u"     "_s << 0;
        QTest::newRow("blanks around") << u"  ab  "_s << 2;
        QTest::newRow("inner blanks count") << u" a b "_s << 3;
        QTest::newRow("tab is not a blank") << u"\tab"_s << 3;
        QTest::newRow("two chinese characters are six utf-8 bytes") << u"服装"_s << 6;
        QTest::newRow("path") << u" /home/店/ "_s << 10;
    }
    void fLen()
    {
        QFETCH(QString, text);
        QFETCH(int, expected);
        QCOMPARE(f_len(text), std::optional<int>(expected));
    }
    void fLenOfNullIsNull()
    {
        QVERIFY(!f_len(QString()).has_value());
        QCOMPARE(f_len0(QString()), 0);
    }

    void createDirectory()
    {
        QTemporaryDir tmp;
        const QString root = tmp.path() + u'/';
        QString error = u"untouched"_s;

        // Nested levels are made one by one, with or without a trailing "/".
        QVERIFY(f_createdirectory(root + u"a/b/织云阁软件备份"_s, error));
        QVERIFY(QFileInfo(root + u"a/b/织云阁软件备份"_s).isDir());
        QCOMPARE(error, u"untouched"_s);
        // Existing paths, doubled slashes and the root are fine and change nothing.
        QVERIFY(f_createdirectory(root + u"a/b/"_s, error));
        QVERIFY(f_createdirectory(root + u"a//b"_s, error));
        QVERIFY(f_createdirectory(u"/"_s, error));
        QCOMPARE(error, u"untouched"_s);

        QVERIFY(!f_createdirectory(u"backup"_s, error));
        QCOMPARE(error, u"非法路径:backup/"_s);
        QVERIFY(!f_createdirectory(u"D:\\织云阁软件备份\\"_s, error));
        QCOMPARE(error, u"非法路径:D:\\织云阁软件备份\\/"_s);
        QVERIFY(!f_createdirectory(u""_s, error));
        QCOMPARE(error, u"非法路径:/"_s);

        // A file in the way of a level.
        QFile blocker(root + u"file"_s);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(!f_createdirectory(root + u"file/x"_s, error));
        QCOMPARE(error, u"创建目录 "_s + root + u"file 出错!"_s);
    }

    void createDirectoryWithoutPermission()
    {
        if (::geteuid() == 0)
            QSKIP("root may write into any folder; the read-only parent cannot be tested as root");
        QTemporaryDir tmp;
        const QString locked = tmp.path() + u"/locked"_s;
        QVERIFY(QDir().mkpath(locked));
        QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QString error;
        QVERIFY(!f_createdirectory(locked + u"/x/y"_s, error));
        QCOMPARE(error, u"创建目录 "_s + locked + u"/x 出错!"_s);
        QFile::setPermissions(locked,
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    void createDirectoryOnReadOnlyFilesystem()
    {
        // Works as root too: /proc refuses new folders whoever asks.
        QString error;
        QVERIFY(!f_createdirectory(u"/proc/garvina-test/x"_s, error));
        QCOMPARE(error, u"创建目录 /proc/garvina-test 出错!"_s);
    }

    void executeWaitWaitsWithoutBurningCpu()
    {
        test::RecordingMessageBoxes boxes;
        const double before = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        int exitCode = -2;
        QVERIFY(of_executewait(boxes, u"/bin/sh"_s, {u"-c"_s, u"sleep 0.6; exit 3"_s}, false, false, {},
                               &exitCode));
        QVERIFY2(wall.elapsed() >= 550, "returned before the child ended");
        QCOMPARE(exitCode, 3);
        // A busy poll would have used about as much processor time as the child ran.
        QVERIFY2(cpuSeconds() - before < 0.3, "the wait burnt processor time");
        QVERIFY(boxes.shown.isEmpty());
    }

    void executeWaitWithYieldKeepsEventsFlowing()
    {
        test::RecordingMessageBoxes boxes;
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start(50);
        int exitCode = -2;
        QVERIFY(of_executewait(boxes, u"/bin/sh"_s, {u"-c"_s, u"sleep 0.5"_s}, true, false, {}, &exitCode));
        QCOMPARE(exitCode, 0);
        QVERIFY2(ticks >= 3, qPrintable(u"timer ticks during the wait: "_s + QString::number(ticks)));
    }

    void executeWaitPassesEnvironmentAndArguments()
    {
        test::RecordingMessageBoxes boxes;
        QTemporaryDir tmp;
        const QString out = tmp.filePath(u"out file.txt"_s);
        QVERIFY(of_executewait(
            boxes, u"/bin/sh"_s,
            {u"-c"_s, u"printf '%s|%s' \"$GARVINA_X\" \"$1\" > \"$2\""_s, u"sh"_s, u"a b"_s, out}, false,
            false, {u"GARVINA_X=织云"_s}));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(f.readAll()), u"织云|a b"_s);
    }

    void executeWaitReportsStartFailure()
    {
        test::RecordingMessageBoxes boxes;
        QVERIFY(!of_executewait(boxes, u"/nonexistent/dbunload"_s, {}, false, false));
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.last().title, u"警告"_s);
        QCOMPARE(boxes.last().text, u"创建子进程错误，错误码:2"_s); // ENOENT

        QTemporaryDir tmp;
        const QString notExecutable = tmp.filePath(u"tool"_s);
        QFile f(notExecutable);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        // No execute bit: refused even for root.
        QVERIFY(!of_executewait(boxes, notExecutable, {}, false, false));
        QCOMPARE(boxes.last().text, u"创建子进程错误，错误码:13"_s); // EACCES
    }

    void isRunCountsCopiesOfTheSameProgramFile()
    {
        nvo_cst_api32 api;
        QCOMPARE(api.of_isrun(), 1);

        // A second process whose program file has our name: a copy of sleep under that name.
        QTemporaryDir tmp;
        const QString ownName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        const QString twin = tmp.filePath(ownName);
        QVERIFY(QFile::copy(u"/bin/sleep"_s, twin));
        const QString other = tmp.filePath(u"garvina-other"_s);
        QVERIFY(QFile::copy(u"/bin/sleep"_s, other));

        ToolRequest sleeper;
        sleeper.arguments = {u"30"_s};
        sleeper.program = twin;
        auto second = std::make_unique<ToolJob>(sleeper);
        second->start();
        QVERIFY(second->isRunning());
        sleeper.program = other;
        ToolJob renamed(sleeper);
        renamed.start();
        QVERIFY(renamed.isRunning());

        QCOMPARE(api.of_isrun(), 2);
        second.reset(); // killed and reaped
        QCOMPARE(api.of_isrun(), 1);

        // A copy asking for the state (--status, polled by a monitoring system) does not count.
        QVERIFY(QFile::remove(twin) && QFile::copy(u"/bin/sh"_s, twin));
        sleeper.program = twin;
        sleeper.arguments = {u"-c"_s, u"/bin/sleep 30; :"_s, u"--status"_s};
        ToolJob asking(sleeper);
        asking.start();
        QTRY_VERIFY(LinuxProcessTable().commandLine(asking.pid()).contains("--status"));
        QCOMPARE(api.of_isrun(), 1);

        // A copy that ended and is never reaped: its parent turns into a sleep that does not wait.
        sleeper.program = u"/bin/sh"_s;
        sleeper.arguments = {u"-c"_s, u"\"$0\" 0 & exec /bin/sleep 30"_s, twin};
        ToolJob zombieParent(sleeper);
        zombieParent.start();
        const LinuxProcessTable table;
        const auto zombieCount = [&] {
            int n = 0;
            for (const qint64 pid : table.processes().value_or(QList<qint64>{}))
                n += table.shortName(pid) == ownName.left(15) && !table.alive(pid) ? 1 : 0;
            return n;
        };
        QTRY_COMPARE(zombieCount(), 1);
        QCOMPARE(api.of_isrun(), 1);
    }

    void isRunNegativeCodes()
    {
        const LinuxProcessTable missing(u"/nonexistent-proc"_s);
        QCOMPARE(nvo_cst_api32(missing).of_isrun(), -2);
        QTemporaryDir empty;
        const LinuxProcessTable none(empty.path());
        QCOMPARE(nvo_cst_api32(none).of_isrun(), -3);
    }
};

QTEST_GUILESS_MAIN(TestSysHelpers)
#include "tst_syshelpers.moc"
