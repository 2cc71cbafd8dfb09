#include "platform/endrequest.h"
#include "platform/toolrunner.h"
#include "platform/unixsignals.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cerrno>

using namespace garvina;
using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(garvina::ToolRequest)
Q_DECLARE_METATYPE(garvina::ToolResult)
Q_DECLARE_METATYPE(garvina::ToolResult::Status)

namespace {

enum class Mode
{
    Blocking,
    Yielding,
    Job
};

ToolRequest shell(const QString &script)
{
    ToolRequest r;
    r.program = u"sh"_s;
    r.arguments = {u"-c"_s, script};
    return r;
}

ToolResult runIn(Mode mode, ToolRequest request, bool cancelAtOnce = false)
{
    if (mode != Mode::Job) {
        request.keepEventLoop = mode == Mode::Yielding;
        return runTool(request);
    }
    ToolJob job(request);
    QSignalSpy spy(&job, &ToolJob::finished);
    job.start();
    if (cancelAtOnce)
        QTimer::singleShot(100, &job, &ToolJob::cancel);
    if (!spy.wait(30000))
        return ToolResult();
    return spy.first().first().value<ToolResult>();
}

} // namespace

class TstToolRunner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<ToolResult>(); }

    void run_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<ToolRequest>("request");
        QTest::addColumn<ToolResult::Status>("status");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("errorOutput");

        const QByteArray big(1 << 20, 'x');
        struct Case
        {
            const char *name;
            ToolRequest request;
            ToolResult::Status status;
            int exitCode;
            QByteArray output;
            QByteArray errorOutput;
        };
        ToolRequest separate = shell(u"echo out; echo err >&2; exit 3"_s);
        separate.output = ToolRequest::Output::Separate;
        ToolRequest stdinSmall = shell(u"cat"_s);
        stdinSmall.input = QByteArray("abc\n");
        ToolRequest stdinBig = shell(u"wc -c"_s);
        stdinBig.input = big;
        ToolRequest bigOut = shell(u"head -c 1048576 /dev/zero | tr '\\0' x"_s);
        ToolRequest env = shell(u"echo \"$FIREBIRD|$GARVINA_GONE\""_s);
        env.extraEnvironment = {u"FIREBIRD=/tmp/tool/"_s};
        env.removedEnvironment = {u"GARVINA_GONE"_s};
        qputenv("GARVINA_GONE", "still here");
        ToolRequest folder = shell(u"pwd"_s);
        folder.workingDirectory = u"/tmp"_s;
        ToolRequest slow = shell(u"echo started; exec sleep 300"_s);
        slow.timeoutMs = 300;
        ToolRequest stubborn = shell(u"trap '' TERM; echo started; sleep 300"_s);
        stubborn.timeoutMs = 300;
        stubborn.graceMs = 300;
        ToolRequest missing;
        missing.program = u"/nonexistent/garvina-tool"_s;

        const Case cases[] = {
            {"exit code, merged output", shell(u"echo out; echo err >&2; exit 3"_s),
             ToolResult::Status::Exited, 3, "out\nerr\n", ""},
            {"separate output", separate, ToolResult::Status::Exited, 3, "out\n", "err\n"},
            {"standard input", stdinSmall, ToolResult::Status::Exited, 0, "abc\n", ""},
            {"standard input larger than a pipe", stdinBig, ToolResult::Status::Exited, 0, "1048576\n", ""},
            {"output larger than a pipe", bigOut, ToolResult::Status::Exited, 0, big, ""},
            {"environment", env, ToolResult::Status::Exited, 0, "/tmp/tool/|\n", ""},
            {"working folder", folder, ToolResult::Status::Exited, 0, "/tmp\n", ""},
            {"killed by a signal", shell(u"kill -KILL $$"_s), ToolResult::Status::Signalled, -1, "", ""},
            {"bound runs out: terminated", slow, ToolResult::Status::TimedOut, -1, "started\n", ""},
            {"bound runs out, SIGTERM ignored: killed", stubborn, ToolResult::Status::TimedOut, -1,
             "started\n", ""},
            {"cannot start", missing, ToolResult::Status::NotStarted, -1, "", ""},
        };
        for (const Mode mode : {Mode::Blocking, Mode::Yielding, Mode::Job}) {
            const char *modeName = mode == Mode::Blocking   ? "blocking"
                                   : mode == Mode::Yielding ? "yielding"
                                                            : "job";
            for (const Case &c : cases) {
                QTest::addRow("%s: %s", modeName, c.name)
                    << int(mode) << c.request << c.status << c.exitCode << c.output << c.errorOutput;
            }
        }
    }

    void run()
    {
        QFETCH(int, mode);
        QFETCH(ToolRequest, request);
        QFETCH(ToolResult::Status, status);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, errorOutput);

        const ToolResult result = runIn(Mode(mode), request);
        QCOMPARE(result.status, status);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.output, output);
        QCOMPARE(result.errorOutput, errorOutput);
        QCOMPARE(result.startError, status == ToolResult::Status::NotStarted ? ENOENT : 0);
        QCOMPARE(result.failureText().isEmpty(), status != ToolResult::Status::NotStarted);
    }

    void eventLoop_data()
    {
        QTest::addColumn<bool>("keepEventLoop");
        QTest::newRow("yielding wait runs timers") << true;
        QTest::newRow("blocking wait does not") << false;
    }

    void eventLoop()
    {
        QFETCH(bool, keepEventLoop);
        bool fired = false;
        QTimer::singleShot(20, this, [&] { fired = true; });
        ToolRequest request = shell(u"sleep 0.5"_s);
        request.keepEventLoop = keepEventLoop;
        QVERIFY(runTool(request).succeeded());
        QCOMPARE(fired, keepEventLoop);
        QTRY_VERIFY(fired); // drained here when the wait did not run it
    }

    void cancelEndsTheChild()
    {
        ToolRequest request = shell(u"trap '' TERM; sleep 300"_s);
        request.graceMs = 200;
        const ToolResult result = runIn(Mode::Job, request, true);
        QCOMPARE(result.status, ToolResult::Status::Cancelled);
    }

    /// A SIGTERM to the console ends the tool it waits for, whatever the wait, and starts no other
    /// until the orderly end takes the request up.
    void endRequestEndsTheChild_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("blocking wait") << int(Mode::Blocking);
        QTest::newRow("yielding wait") << int(Mode::Yielding);
    }
    void endRequestEndsTheChild()
    {
        QFETCH(int, mode);
        UnixSignals handlers;
        const QString self = QString::number(QCoreApplication::applicationPid());
        QVERIFY(QProcess::startDetached(u"sh"_s, {u"-c"_s, u"sleep 0.3; kill -TERM "_s + self}));
        ToolRequest stubborn = shell(u"trap '' TERM; sleep 300"_s);
        stubborn.graceMs = 200;
        QCOMPARE(runIn(Mode(mode), stubborn).status, ToolResult::Status::Cancelled);
        QVERIFY(endRequested());
        QCOMPARE(runIn(Mode(mode), shell(u"true"_s)).status, ToolResult::Status::Cancelled);
        QVERIFY(!waitUntil([] { return false; }, 300000));

        takeUpEndRequest();
        QVERIFY(!endRequested());
        QVERIFY(runIn(Mode(mode), shell(u"true"_s)).succeeded());
    }
};

QTEST_GUILESS_MAIN(TstToolRunner)
#include "tst_toolrunner.moc"
