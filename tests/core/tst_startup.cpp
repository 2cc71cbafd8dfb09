#include "core/settings.h"
#include "core/startup.h"
#include "platform/processtable.h"
#include "platform/toolrunner.h"
#include "support/recordinglauncher.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestStartup : public QObject
{
    Q_OBJECT

    static void touch(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

private Q_SLOTS:
    void autorun_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("expected");
        QTest::newRow("none") << QStringList() << false;
        QTest::newRow("switch") << QStringList{u"-autorun"_s} << true;
        QTest::newRow("inside a longer word") << QStringList{u"x-autorunning"_s} << true;
        QTest::newRow("among others") << QStringList{u"-a"_s, u"-autorun"_s} << true;
        QTest::newRow("other case") << QStringList{u"-AUTORUN"_s} << false;
        QTest::newRow("split over arguments") << QStringList{u"-auto"_s, u"run"_s} << false;
    }
    void autorun()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, expected);
        QCOMPARE(autorunRequested(arguments), expected);
    }

    void programFolder_data()
    {
        QTest::addColumn<QString>("cwd");
        QTest::addColumn<QString>("exe");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");
        QTest::newRow("working directory holds the program")
            << u"/opt/shop"_s << u"/elsewhere/garvinaserver"_s << QStringList{u"/opt/shop/garvinaserver"_s}
            << u"/opt/shop/"_s;
        QTest::newRow("working directory already ends in a slash")
            << u"/"_s << u"/x/garvinaserver"_s << QStringList{u"/garvinaserver"_s} << u"/"_s;
        QTest::newRow("started from elsewhere: the program's folder")
            << u"/home/user"_s << u"/opt/店 铺/garvinaserver"_s << QStringList{u"/opt/店 铺/garvinaserver"_s}
            << u"/opt/店 铺/"_s;
        QTest::newRow("found nowhere")
            << u"/home/user"_s << u"/opt/shop/garvinaserver"_s << QStringList() << QString();
        QTest::newRow("program file renamed") << u"/home/user"_s << u"/opt/shop/garvina2"_s
                                              << QStringList{u"/opt/shop/garvina2"_s} << QString();
    }
    void programFolder()
    {
        QFETCH(QString, cwd);
        QFETCH(QString, exe);
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);
        const QSet<QString> files(existing.begin(), existing.end());
        const QString got =
            resolveProgramFolder(cwd, exe, [&](const QString &f) { return files.contains(f); });
        QCOMPARE(got, expected);
        QCOMPARE(got.isNull(), expected.isNull());
    }

    void instanceDecision()
    {
        QCOMPARE(decideInstance(0), InstanceDecision::GoOn);
        QCOMPARE(decideInstance(1), InstanceDecision::GoOn);
        QCOMPARE(decideInstance(2), InstanceDecision::AlreadyRunning);
        QCOMPARE(decideInstance(7), InstanceDecision::AlreadyRunning);
        QCOMPARE(decideInstance(-1), InstanceDecision::InternalError);
        QCOMPARE(decideInstance(-3), InstanceDecision::InternalError);
    }

    void dbunloadSwitch()
    {
        QVERIFY(dbunloadSwitchOn(u"1"_s));
        QVERIFY(!dbunloadSwitchOn(u" 1"_s));
        QVERIFY(!dbunloadSwitchOn(u"01"_s));
        QVERIFY(!dbunloadSwitchOn(u"1 "_s));
        QVERIFY(!dbunloadSwitchOn(u"0"_s));
        QVERIFY(!dbunloadSwitchOn(QString()));
    }

    void checkSkin_data()
    {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("extracted");
        const QStringList all{u"serverstart.ico"_s, u"serverstop.ico"_s, u"skin/bg.jpg"_s,
                              u"skin/close.jpg"_s, u"skin/setting_bg.jpg"_s};
        const QStringList archives{u"resources.dll"_s, u"Skin.dll"_s};
        QTest::newRow("everything present") << all + archives << QStringList();
        QTest::newRow("no archives, nothing present") << QStringList() << QStringList();
        QTest::newRow("one icon missing")
            << QStringList(all.mid(1) + archives) << QStringList{u"resources.dll"_s};
        QTest::newRow("no skin folder") << QStringList{u"serverstart.ico"_s, u"serverstop.ico"_s} + archives
                                        << QStringList{u"Skin.dll"_s};
        QTest::newRow("one skin picture missing")
            << QStringList{u"serverstart.ico"_s, u"serverstop.ico"_s, u"skin/bg.jpg"_s, u"skin/close.jpg"_s} +
                   archives
            << QStringList{u"Skin.dll"_s};
        QTest::newRow("both missing") << archives << QStringList{u"resources.dll"_s, u"Skin.dll"_s};
        QTest::newRow("skin archive absent")
            << QStringList{u"serverstart.ico"_s, u"skin/bg.jpg"_s, u"resources.dll"_s}
            << QStringList{u"resources.dll"_s};
    }
    void checkSkin()
    {
        QFETCH(QStringList, present);
        QFETCH(QStringList, extracted);
        QTemporaryDir tmp;
        const QString gs_path = tmp.path() + u'/';
        for (const QString &f : present)
            touch(gs_path + f);
        test::RecordingLauncher launcher;
        QVERIFY(f_check_skin(gs_path, launcher));
        QStringList archivesGiven;
        for (const auto &call : launcher.calls) {
            QCOMPARE(call.program, gs_path + u"rar"_s);
            QCOMPARE(call.arguments.mid(0, 3), (QStringList{u"x"_s, u"-e"_s, u"-o+"_s}));
            archivesGiven.append(call.arguments.at(3).mid(gs_path.size()));
        }
        QCOMPARE(archivesGiven, extracted);
    }

    /// The manual page is where a technician of a machine without windows finds the keys.
    void manualListsEveryKeyWithItsDefault()
    {
        QFile page(qEnvironmentVariable("GARVINA_SOURCE_DIR") + u"/packaging/garvinaserver.1"_s);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(page.readAll());
        const QString section = text.section(u".SH CONFIGURATION"_s, 1).section(u"\n.SH "_s, 0, 0);
        for (const SettingKey &setting : settingKeys()) {
            const QString heading = u".SS ["_s + setting.section + u']';
            QVERIFY2(section.contains(heading), qPrintable(heading));
            const QString entries = section.section(heading, 1).section(u".SS ["_s, 0, 0);
            const QRegularExpression entry(u"^\\.BR (.*[ \"])?"_s + setting.key + u" .*$"_s,
                                           QRegularExpression::MultilineOption);
            const QString line = entry.match(entries).captured(0);
            QVERIFY2(!line.isEmpty(), qPrintable(setting.key));
            if (setting.form != SettingKey::Form::Path)
                QVERIFY2(line.contains(setting.fallback.isEmpty() ? u"empty"_s : setting.fallback),
                         qPrintable(setting.key + u": "_s + line));
        }
    }

    void unreadableValuesAreNamed_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("named"); // empty: readable
        QTest::newRow("a time") << u"backup"_s << u"backuptime1"_s << u"09:30:00"_s << QString();
        QTest::newRow("hour 25") << u"backup"_s << u"backuptime1"_s << u"25:00:00"_s
                                 << u"[backup] backuptime1=25:00:00"_s;
        QTest::newRow("interval 24") << u"backup"_s << u"backuphour"_s << u"24"_s
                                     << u"[backup] backuphour=24"_s;
        QTest::newRow("port") << u"server"_s << u"dataport"_s << u"70000"_s << u"[server] dataport=70000"_s;
        QTest::newRow("period") << u"dbunload"_s << u"dbunload_day"_s << u"4"_s
                                << u"[dbunload] dbunload_day=4"_s;
        QTest::newRow("relative folder")
            << u"backup"_s << u"backuppath"_s << u"备份"_s << u"[backup] backuppath=备份"_s;
        QTest::newRow("no alarm") << u"backup"_s << u"alarm_hours"_s << u"0"_s << QString();
        QTest::newRow("the password is never shown")
            << u"system"_s << u"password"_s << u"秘密"_s << QString();
    }
    void unreadableValuesAreNamed()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, named);
        QTemporaryDir dir;
        const ProfileFile file(dir.filePath(u"garvinainfo.dll"_s));
        QVERIFY(file.write(defaultConfiguration()));
        QVERIFY(unreadableSettings(file).isEmpty()); // the defaults read as meant
        QVERIFY(file.write(section, key, value));
        QCOMPARE(unreadableSettings(file).join(u'|'), named);
    }

    void archiverRestoresPictures()
    {
        // The real archiver of the program folder restores a zip archive beside itself.
        const QString source = qEnvironmentVariable("GARVINA_SOURCE_DIR");
        QVERIFY(!source.isEmpty());
        QTemporaryDir tmp;
        const QString gs_path = tmp.path() + u"/shop 店/"_s;
        QVERIFY(QDir().mkpath(gs_path + u"pack/skin"_s));
        QVERIFY(QFile::copy(source + u"/scripts/rar"_s, gs_path + u"rar"_s));
        touch(gs_path + u"pack/skin/bg.jpg"_s);
        touch(gs_path + u"pack/skin/close.jpg"_s);
        const auto run = [](const QString &program, const QStringList &args, const QString &folder = {}) {
            ToolRequest request;
            request.program = program;
            request.arguments = args;
            request.workingDirectory = folder;
            request.timeoutMs = 30000;
            return runTool(request);
        };
        const ToolResult zip =
            run(u"zip"_s, {u"-q"_s, u"-r"_s, gs_path + u"Skin.dll"_s, u"skin"_s}, gs_path + u"pack"_s);
        QCOMPARE(zip.status, ToolResult::Status::Exited);
        QCOMPARE(zip.exitCode, 0);

        const ToolResult rar =
            run(gs_path + u"rar"_s, {u"x"_s, u"-e"_s, u"-o+"_s, gs_path + u"Skin.dll"_s}, tmp.path());
        QCOMPARE(rar.status, ToolResult::Status::Exited);
        QCOMPARE(rar.exitCode, 0);
        QVERIFY(QFile::exists(gs_path + u"skin/bg.jpg"_s));
        QVERIFY(QFile::exists(gs_path + u"skin/close.jpg"_s));

        const ToolResult bad =
            run(gs_path + u"rar"_s, {u"x"_s, u"-e"_s, u"-o+"_s, gs_path + u"missing.dll"_s});
        QCOMPARE(bad.status, ToolResult::Status::Exited);
        QVERIFY(bad.exitCode != 0);
    }

    void leftoversOfADeadConsole()
    {
        QTemporaryDir tmp;
        const QString gs_path = tmp.path() + u"/shop/"_s;
        // Stand-ins for the tools: sleep under their names, each with the instance root it works on.
        struct Case
        {
            QString name;
            QString root;
            bool ended;
        };
        const QList<Case> cases = {
            {u"gbak"_s, gs_path + u"tool/"_s, true},
            {u"nbackup"_s, gs_path + u"tool"_s, true},
            {u"isql-fb"_s, gs_path + u"tool/embedded/"_s, true},
            {u"gfix"_s, tmp.path() + u"/other/tool/"_s, false},
            {u"sleep"_s, gs_path + u"tool/"_s, false},
        };
        std::vector<std::unique_ptr<ToolJob>> jobs;
        for (const Case &c : cases) {
            const QString program = tmp.filePath(u"bin-"_s + QString::number(jobs.size()) + u'/' + c.name);
            QVERIFY(QDir().mkpath(QFileInfo(program).path()));
            QVERIFY(QFile::copy(u"/bin/sleep"_s, program));
            ToolRequest request;
            request.program = program;
            request.arguments = {u"30"_s};
            request.extraEnvironment = {u"FIREBIRD="_s + c.root};
            jobs.push_back(std::make_unique<ToolJob>(request));
            jobs.back()->start();
            QVERIFY(jobs.back()->isRunning());
        }
        QCOMPARE(endLeftoverTools(gs_path, LinuxProcessTable()), 3);
        for (size_t i = 0; i < jobs.size(); ++i) {
            if (cases.at(static_cast<qsizetype>(i)).ended)
                QTRY_VERIFY2(!jobs.at(i)->isRunning(), qPrintable(cases.at(static_cast<qsizetype>(i)).name));
            else
                QVERIFY2(jobs.at(i)->isRunning(), qPrintable(cases.at(static_cast<qsizetype>(i)).name));
        }

        const QStringList halfMade = {u"data/garvina.db.restore"_s, u"data/garvina.rebuild.fbk"_s,
                                      u"data/garvina.rebuild.db"_s};
        const QStringList kept = {u"data/garvina.db"_s, u"backup/20261209-0100/garvina.db.part"_s};
        for (const QString &f : halfMade + kept)
            touch(gs_path + f);
        removeHalfMadeFiles(gs_path);
        for (const QString &f : halfMade)
            QVERIFY2(!QFile::exists(gs_path + f), qPrintable(f));
        for (const QString &f : kept)
            QVERIFY2(QFile::exists(gs_path + f), qPrintable(f));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
