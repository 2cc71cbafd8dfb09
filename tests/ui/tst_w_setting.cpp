// The settings window on the offscreen platform: real configuration file, real autostart entry, the
// main window it hides and shows, clicks and pointer moves as a user makes them.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "maintenance/schedule.h"
#include "platform/autostart.h"
#include "platform/filesystem.h"
#include "platform/processlauncher.h"
#include "support/manualclock.h"
#include "support/recordingmessageboxes.h"
#include "support/scriptedprompt.h"
#include "support/windowtesting.h"
#include "ui/w_main.h"
#include "ui/w_setting.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {
const QColor White(255, 255, 255);
const QColor Greyed(235, 241, 247);
const QStringList Buttons{u"ok"_s, u"cancel"_s, u"now_backup"_s, u"select_path"_s};
} // namespace

class TestSettingWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    test::RecordingMessageBoxes m_boxes;
    test::ManualClock m_clock; // 2013-08-29 15:13
    SystemProcessLauncher m_launcher;
    LinuxFileSystem m_files;
    AppContext m_ctx;
    std::unique_ptr<EngineControl> m_engine;
    test::ScriptedPrompt m_prompt;
    std::unique_ptr<w_main> m_main;
    test::RecordingFileDialogs m_dialogs;
    std::unique_ptr<w_setting> m_w;

    DataForm &form() { return *m_w->dw_setting(); }
    QString item(const QString &column) { return form().getItem(column); }
    AutostartEntry entry() const { return AutostartEntry(u"garvinaserver"_s); }
    QString home() const { return m_dir.path() + u"/home"_s; }
    QByteArray configBytes() const
    {
        QFile f(m_ctx.configPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool openWindow()
    {
        m_w = std::make_unique<w_setting>(m_ctx, *m_main, *m_engine, m_dialogs);
        m_w->open();
        return QTest::qWaitForWindowExposed(m_w.get());
    }
    static QString madeUpPassword() { return QString::number(QRandomGenerator::global()->generate(), 36); }
    void clickBox(const QString &column)
    {
        QWidget *box = form().field(column)->widget();
        QTest::mouseClick(box, Qt::LeftButton, {}, {8, box->height() / 2});
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Never the real user's files.
        qputenv("HOME", QFile::encodeName(home()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + u"/config"_s));
        m_ctx.gs_path = m_dir.path() + u"/店 铺/"_s;
        QVERIFY(QDir().mkpath(m_ctx.gs_path + u"skin"_s));
        const QString skin = qEnvironmentVariable("GARVINA_SOURCE_DIR") + u"/resources/programfolder/skin/"_s;
        for (const QString &picture : {u"bg.jpg"_s, u"setting_bg.jpg"_s, u"close.jpg"_s})
            QVERIFY(QFile::copy(skin + picture, m_ctx.gs_path + u"skin/"_s + picture));
        m_ctx.boxes = &m_boxes;
        m_ctx.clock = &m_clock;
        m_ctx.launcher = &m_launcher;
        m_ctx.files = &m_files;
        m_engine = std::make_unique<EngineControl>(m_ctx);
        w_main::Services services;
        services.engine = m_engine.get();
        services.prompt = &m_prompt;
        m_main = std::make_unique<w_main>(m_ctx, std::move(services));
    }
    void init()
    {
        QFile::remove(m_ctx.configPath());
        QDir(AutostartEntry::folder()).removeRecursively();
        QFile::remove(AutostartEntry::folder());
        m_boxes.shown.clear();
        m_dialogs.answers.clear();
        m_dialogs.requests.clear();
        m_main->show();
    }
    void cleanup() { m_w.reset(); }

    void opensWithDefaultsAndSavesEveryKey()
    {
        QVERIFY(openWindow());
        QCOMPARE(m_w->size(), QSize(547, 416));
        QVERIFY(m_w->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(form().picture(u"p_1"_s)->isLoaded());
        QVERIFY(!m_main->isVisible());
        const QStringList defaults{u"start=0"_s,
                                   u"start_min=0"_s,
                                   u"setting_pass=0"_s,
                                   u"exit_pass=0"_s,
                                   u"password="_s,
                                   u"dbunload=0"_s,
                                   u"dbunload_day=2"_s,
                                   u"backup_type=1"_s,
                                   u"backup_time1=12:00:00"_s,
                                   u"backup_time2=16:00:00"_s,
                                   u"backup_time3=20:00:00"_s,
                                   u"backup_hour=1"_s,
                                   u"backup_path="_s + home() + u"/织云阁软件备份/"_s};
        for (const QString &d : defaults)
            QCOMPARE(d.section(u'=', 0, 0) + u'=' + item(d.section(u'=', 0, 0)), d);
        QCOMPARE(qobject_cast<QAbstractSpinBox *>(form().field(u"backup_time3"_s)->widget())->text(),
                 u"20:00"_s);

        test::clickObject(&form(), u"t_ok"_s);
        QVERIFY2(m_boxes.shown.isEmpty(), qPrintable(m_boxes.texts().join(u'\n')));
        QVERIFY(!m_w->isVisible());
        QVERIFY(m_main->isVisible());
        QCOMPARE(QString::fromUtf8(configBytes()).split(u'\n', Qt::SkipEmptyParts),
                 (QStringList{u"[system]"_s, u"exitpass=0"_s, u"settingpass=0"_s, u"password="_s,
                              u"start_min=0"_s, u"[dbunload]"_s, u"dbunload=0"_s, u"dbunload_day=2"_s,
                              u"[backup]"_s, u"backuptype=1"_s, u"backuptime1=12:00:00"_s,
                              u"backuptime2=16:00:00"_s, u"backuptime3=20:00:00"_s, u"backuphour=1"_s,
                              u"backuppath="_s + home() + u"/织云阁软件备份/"_s}));
        QVERIFY(!entry().command());
        // The schedule was recomputed from the new file: 16:00 is next after 15:13.
        QCOMPARE(m_main->schedule().it_backup_time(), QTime(16, 0));
    }

    void labelsFitAndKeepClearOfFields()
    {
        QVERIFY(openWindow());
        QList<QRect> fields;
        for (const QString &column : form().objectNames()) {
            if (const FormField *field = form().field(column); field && field->widget())
                fields.append(field->widget()->geometry());
        }
        QVERIFY(fields.size() > 10);
        for (const QString &name : form().objectNames()) {
            const FormText *label = form().text(name);
            if (!label || label->text().isEmpty() || form().object(u"rr_"_s + name.mid(2)))
                continue; // a button's caption sits on its button
            const QRect box = form().objectRect(name);
            const int width = QFontMetrics(label->font()).horizontalAdvance(label->text());
            QVERIFY2(width <= box.width(), qPrintable(name));
            const QRect drawn(box.left(), box.top(), width, box.height());
            for (const QRect &field : std::as_const(fields))
                QVERIFY2(!drawn.adjusted(-3, 0, 3, 0).intersects(field), qPrintable(name));
        }
    }

    void fileValuesAreShownAndWrittenBack()
    {
        m_ctx.config().write(QList<ProfileFile::Entry>{
            {u"server"_s, u"dataport"_s, u"3050"_s},
            {u"backup"_s, u"backuppath"_s, u"/srv/备份/"_s},
            {u"backup"_s, u"backuptime1"_s, u"07:30:00"_s},
            {u"backup"_s, u"backuptime2"_s, u"later"_s},
            {u"backup"_s, u"backuptype"_s, u"0"_s},
            {u"backup"_s, u"backuphour"_s, u"6"_s},
            {u"system"_s, u"exitpass"_s, u"1"_s},
            {u"dbunload"_s, u"dbunload_day"_s, u"3"_s},
        });
        QVERIFY(openWindow());
        // Blanks around a password are part of it.
        const QString typed = u" "_s + madeUpPassword() + u" "_s + madeUpPassword() + u" "_s;
        QTest::keyClicks(form().field(u"password"_s)->widget(), typed);
        QCOMPARE(item(u"password"_s), typed);
        QCOMPARE(item(u"exit_pass"_s), u"1"_s);
        QCOMPARE(item(u"backup_type"_s), u"0"_s);
        QCOMPARE(item(u"backup_time1"_s), u"07:30:00"_s);
        QCOMPARE(item(u"backup_time2"_s), u"00:00:00"_s); // not a time: what the field shows
        QCOMPARE(item(u"backup_hour"_s), u"6"_s);
        QCOMPARE(item(u"dbunload_day"_s), u"3"_s);
        QCOMPARE(item(u"backup_path"_s), u"/srv/备份/"_s);

        test::clickObject(&form(), u"t_ok"_s);
        QVERIFY(m_boxes.shown.isEmpty());
        const QString text = QString::fromUtf8(configBytes());
        for (const QString &line :
             {u"dataport=3050"_s, u"password="_s + typed + u"\n"_s, u"backuptime1=07:30:00"_s,
              u"backuptime2=00:00:00"_s, u"backuphour=6"_s, u"backuptype=0"_s})
            QVERIFY2(text.contains(line), qPrintable(line.section(u'=', 0, 0))); // no password in the log
    }

    void validation_data()
    {
        QTest::addColumn<QStringList>("edits");
        QTest::addColumn<QString>("message");
        const QString password = u"启用密码保护功能,必须设有密码,请输入密码!"_s;
        const QString folder = u"请选择备份目录!"_s;
        const QString interval = u"每隔多少小时备份的小时数不能小于1或大于23!"_s;
        const QStringList noTimes{u"backup_time1="_s, u"backup_time2="_s, u"backup_time3="_s};
        const QStringList midnight{u"backup_time1=00:00"_s, u"backup_time2=00:00"_s, u"backup_time3=00:00"_s};
        QTest::newRow("password for the settings") << QStringList{u"setting_pass=1"_s} << password;
        QTest::newRow("blank password for leaving")
            << QStringList{u"exit_pass=1"_s, u"password=   "_s} << password;
        QTest::newRow("password before folder")
            << QStringList{u"exit_pass=1"_s, u"backup_path="_s} << password;
        QTest::newRow("no password wanted") << QStringList{u"password="_s} << QString();
        QTest::newRow("folder of two bytes") << QStringList{u"backup_path=/a"_s} << folder;
        QTest::newRow("folder of blanks") << QStringList{u"backup_path= /  "_s} << folder;
        QTest::newRow("folder of three bytes") << QStringList{u"backup_path=/ab"_s} << QString();
        QTest::newRow("folder before times") << QStringList{u"backup_path="_s} + noTimes << folder;
        QTest::newRow("no time") << noTimes << u"请设置最少一个备份时间!"_s;
        QTest::newRow("three times 00:00") << midnight << u"请设置最少一个备份时间!!"_s;
        QTest::newRow("empty and 00:00 times")
            << QStringList{u"backup_time1="_s, u"backup_time2=00:00"_s, u"backup_time3=00:00"_s}
            << u"请设置最少一个备份时间!!"_s;
        QTest::newRow("one time set")
            << QStringList{midnight.mid(0, 2)} + QStringList{u"backup_time3=00:01"_s} << QString();
        QTest::newRow("interval 0") << QStringList{u"backup_type=0"_s, u"backup_hour=0"_s} << interval;
        QTest::newRow("interval 24") << QStringList{u"backup_type=0"_s, u"backup_hour=24"_s} << interval;
        QTest::newRow("interval empty") << QStringList{u"backup_type=0"_s, u"backup_hour="_s} << interval;
        QTest::newRow("interval 1") << QStringList{u"backup_type=0"_s, u"backup_hour=1"_s} << QString();
        QTest::newRow("interval 23") << QStringList{u"backup_type=0"_s, u"backup_hour=23"_s} << QString();
        QTest::newRow("times unchecked with an interval")
            << QStringList{u"backup_type=0"_s, u"backup_hour=5"_s} + midnight << QString();
        QTest::newRow("interval unchecked with fixed times") << QStringList{u"backup_hour=0"_s} << QString();
    }
    void validation()
    {
        QFETCH(QStringList, edits);
        QFETCH(QString, message);
        QVERIFY(openWindow());
        for (const QString &edit : edits)
            QVERIFY(form().setItem(edit.section(u'=', 0, 0), edit.section(u'=', 1)));
        test::clickObject(&form(), u"t_ok"_s);
        if (message.isEmpty()) {
            QVERIFY2(m_boxes.shown.isEmpty(), qPrintable(m_boxes.texts().join(u'\n')));
            QVERIFY(!m_w->isVisible());
            QVERIFY(QFile::exists(m_ctx.configPath()));
            return;
        }
        QCOMPARE(m_boxes.texts(), QStringList{message});
        QCOMPARE(m_boxes.last().title, u"提示"_s);
        QCOMPARE(m_boxes.last().icon, MsgIcon::StopSign);
        QVERIFY(m_w->isVisible());
        QVERIFY(!m_main->isVisible());
        QVERIFY(!QFile::exists(m_ctx.configPath()));
    }

    void unreadableTimesCountAsShown_data()
    {
        QTest::addColumn<QStringList>("file");
        QTest::addColumn<QString>("message");
        QTest::newRow("words, hours beyond the day, midnight")
            << QStringList{u"abc"_s, u"25:99"_s, u"00:00:00"_s} << u"请设置最少一个备份时间!!"_s;
        QTest::newRow("none readable")
            << QStringList{u"abc"_s, u"25:99"_s, u""_s} << u"请设置最少一个备份时间!!"_s;
        QTest::newRow("one readable") << QStringList{u"abc"_s, u"25:99"_s, u"8:05"_s} << QString();
    }
    void unreadableTimesCountAsShown()
    {
        QFETCH(QStringList, file);
        QFETCH(QString, message);
        for (int i = 0; i < 3; ++i)
            m_ctx.writeConfig(u"backup"_s, u"backuptime"_s + QString::number(i + 1), file[i]);
        QVERIFY(openWindow());
        QCOMPARE(qobject_cast<QAbstractSpinBox *>(form().field(u"backup_time1"_s)->widget())->text(),
                 u"00:00"_s);
        test::clickObject(&form(), u"t_ok"_s);
        QCOMPARE(m_boxes.texts(), message.isEmpty() ? QStringList() : QStringList{message});
        if (message.isEmpty())
            QCOMPARE(m_ctx.readConfig(u"backup"_s, u"backuptime3"_s, QString()), u"08:05:00"_s);
    }

    void autostartFollowsTheBox()
    {
        QVERIFY(openWindow());
        clickBox(u"start"_s);
        QCOMPARE(item(u"start"_s), u"1"_s);
        test::clickObject(&form(), u"t_ok"_s);
        QCOMPARE(entry().command().value_or(QStringList()), w_setting::autorunCommand(m_ctx.gs_path));
        QFile file(entry().filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(file.readAll())
                    .contains(u"\nExec=\""_s + m_ctx.gs_path + u"garvinaserver\" -autorun\n"_s));

        QVERIFY(openWindow());
        QCOMPARE(item(u"start"_s), u"1"_s);
        QVERIFY(qobject_cast<QCheckBox *>(form().field(u"start"_s)->widget())->isChecked());
        clickBox(u"start"_s);
        test::clickObject(&form(), u"t_ok"_s);
        QVERIFY(!QFile::exists(entry().filePath()));
    }

    void foreignAutostartIsRemoved_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::newRow("other folder") << QStringList{u"/elsewhere/garvinaserver"_s, u"-autorun"_s};
        QTest::newRow("without the switch") << QStringList{u"%1garvinaserver"_s};
        QTest::newRow("no command") << QStringList{};
    }
    void foreignAutostartIsRemoved()
    {
        QFETCH(QStringList, command);
        command.replaceInStrings(u"%1"_s, m_ctx.gs_path);
        QVERIFY(entry().setCommand(command));
        QVERIFY(openWindow());
        QCOMPARE(item(u"start"_s), u"0"_s);
        QVERIFY(!QFile::exists(entry().filePath()));
    }

    void displayRules()
    {
        QVERIFY(openWindow());
        FormField *time1 = form().field(u"backup_time1"_s);
        FormField *time2 = form().field(u"backup_time2"_s);
        FormField *hour = form().field(u"backup_hour"_s);
        FormField *password = form().field(u"password"_s);
        FormField *day = form().field(u"dbunload_day"_s);
        QVERIFY(!time1->isReadOnly());
        QCOMPARE(time1->backgroundColor(), White);
        QVERIFY(hour->isReadOnly());
        QCOMPARE(hour->backgroundColor(), Greyed);

        QTest::mouseClick(form().field(u"backup_type"_s)->choiceButton(u"0"_s), Qt::LeftButton, {}, {8, 10});
        QCOMPARE(item(u"backup_type"_s), u"0"_s);
        QVERIFY(time1->isReadOnly());
        QCOMPARE(time1->backgroundColor(), Greyed);
        QVERIFY(!hour->isReadOnly());
        QCOMPARE(hour->backgroundColor(), White);
        // The other two times stay editable, and what is typed there is saved.
        QVERIFY(!time2->isReadOnly());
        QVERIFY(!form().field(u"backup_time3"_s)->isReadOnly());
        QTest::keyClick(time1->widget(), Qt::Key_Up);
        QTest::keyClick(time2->widget(), Qt::Key_Up);
        QCOMPARE(item(u"backup_time1"_s), u"12:00:00"_s);
        QCOMPARE(item(u"backup_time2"_s), u"17:00:00"_s);

        QVERIFY(password->isReadOnly());
        QCOMPARE(password->backgroundColor(), Greyed);
        clickBox(u"exit_pass"_s);
        QVERIFY(!password->isReadOnly());
        QCOMPARE(password->backgroundColor(), White);
        const QString typed = madeUpPassword();
        QTest::keyClicks(password->widget(), typed);

        // The block behind the three choices is painted in that colour, right of each label.
        const auto dayPixels = [day] {
            QList<QColor> colors;
            for (const QString &code : {u"1"_s, u"2"_s, u"3"_s}) {
                QWidget *b = day->choiceButton(code);
                colors.append(b->grab().toImage().pixelColor(b->width() - 3, b->height() / 2));
            }
            return colors;
        };
        QCOMPARE(day->backgroundColor(), Greyed);
        QCOMPARE(dayPixels(), QList<QColor>(3, Greyed));
        QVERIFY(!day->isReadOnly());
        clickBox(u"dbunload"_s);
        QCOMPARE(day->backgroundColor(), White);
        QCOMPARE(dayPixels(), QList<QColor>(3, White));

        test::clickObject(&form(), u"t_ok"_s);
        QVERIFY(m_boxes.shown.isEmpty());
        QCOMPARE(m_ctx.readConfig(u"backup"_s, u"backuptime2"_s, QString()), u"17:00:00"_s);
        QCOMPARE(m_ctx.readConfig(u"system"_s, u"password"_s, QString()), typed);
    }

    void hoverMakesButtonTextsBold_data()
    {
        QTest::addColumn<QString>("target");
        for (const QString &key : Buttons)
            QTest::newRow(qPrintable(key)) << u"rr_"_s + key;
        QTest::newRow("close") << u"t_close"_s;
    }
    void hoverMakesButtonTextsBold()
    {
        QFETCH(QString, target);
        QVERIFY(openWindow());
        QVERIFY(!form().picture(u"p_close"_s)->isVisible());
        QTest::mouseMove(&form(), form().objectRect(target).center());
        QTRY_VERIFY(!item(u"name"_s).isEmpty());
        for (const QString &key : Buttons)
            QCOMPARE(form().text(u"t_"_s + key)->fontWeight(), target == u"rr_"_s + key ? 700 : 400);
        QCOMPARE(form().picture(u"p_close"_s)->isVisible(), target == u"t_close"_s);
    }

    void folderChooser_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("shown");
        QTest::newRow("chosen") << u"/srv/新 备份"_s << u"/srv/新 备份/"_s;
        QTest::newRow("cancelled") << QString() << u"HOME/织云阁软件备份/"_s;
    }
    void folderChooser()
    {
        QFETCH(QString, answer);
        QFETCH(QString, shown);
        QVERIFY(openWindow());
        m_dialogs.answers.enqueue(answer);
        test::clickObject(&form(), u"t_select_path"_s);
        QCOMPARE(m_dialogs.requests.size(), 1);
        QCOMPARE(m_dialogs.requests.first().title, u"请选择备份目录"_s);
        QCOMPARE(m_dialogs.requests.first().start, home() + u"/织云阁软件备份/"_s);
        QCOMPARE(item(u"backup_path"_s), shown.replace(u"HOME"_s, home()));
        QVERIFY(!QFile::exists(m_ctx.configPath()));
    }

    void leavingWithoutSaving_data()
    {
        QTest::addColumn<QString>("object");
        QTest::newRow("cancel") << u"t_cancel"_s;
        QTest::newRow("close cross") << u"t_close"_s;
    }
    void leavingWithoutSaving()
    {
        QFETCH(QString, object);
        m_ctx.writeConfig(u"system"_s, u"start_min"_s, u"0"_s);
        const QByteArray before = configBytes();
        QVERIFY(openWindow());
        clickBox(u"start_min"_s);
        clickBox(u"start"_s);
        test::clickObject(&form(), object);
        QVERIFY(!m_w->isVisible());
        QVERIFY(m_main->isVisible());
        QCOMPARE(configBytes(), before);
        QVERIFY(!QFile::exists(entry().filePath()));
    }

    void failuresToSaveAreTold()
    {
        // A configuration file that cannot be written: the window stays open, nothing else is done.
        m_ctx.writeConfig(u"system"_s, u"start_min"_s, u"0"_s);
        QVERIFY(QFile::setPermissions(m_ctx.configPath(), QFile::ReadOwner));
        const QByteArray before = configBytes();
        QVERIFY(openWindow());
        clickBox(u"start"_s);
        test::clickObject(&form(), u"t_ok"_s);
        QFile::setPermissions(m_ctx.configPath(), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(m_boxes.texts(),
                 QStringList{u"保存设置出错,请检查配置文件是否可写:\n"_s + m_ctx.configPath()});
        QVERIFY(m_w->isVisible());
        QCOMPARE(configBytes(), before);
        QVERIFY(!QFile::exists(entry().filePath()));

        // An autostart entry that cannot be written: the settings are saved, the failure is told.
        m_boxes.shown.clear();
        QFile blocker(AutostartEntry::folder());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        test::clickObject(&form(), u"t_ok"_s);
        QCOMPARE(m_boxes.texts(), QStringList{u"设置开机自动开启服务端出错:\n"_s + entry().filePath()});
        QVERIFY(!m_w->isVisible());
        QCOMPARE(m_ctx.readConfig(u"backup"_s, u"backuptime1"_s, QString()), u"12:00:00"_s);
    }
};

QTEST_MAIN(TestSettingWindow)
#include "tst_w_setting.moc"
