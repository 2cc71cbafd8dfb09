// The autostart entry: real files in a temporary configuration folder.
#include "platform/autostart.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestAutostart : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString configHome() const { return m_dir.path() + u"/config"_s; }
    static QStringList fileLines(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts)
                                           : QStringList();
    }
    void writeEntry(const QByteArray &text)
    {
        QDir().mkpath(configHome() + u"/autostart"_s);
        QFile f(configHome() + u"/autostart/garvinaserver.desktop"_s);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

private Q_SLOTS:
    void init()
    {
        // Never the real user's autostart folder.
        qputenv("HOME", QFile::encodeName(m_dir.path() + u"/home"_s));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
        QDir(configHome()).removeRecursively();
        QDir(m_dir.path() + u"/home"_s).removeRecursively();
    }

    void commandIsWrittenAndReadBack_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << QStringList{u"/opt/garvina/garvinaserver"_s, u"-autorun"_s}
                               << u"/opt/garvina/garvinaserver -autorun"_s;
        QTest::newRow("blanks") << QStringList{u"/srv/店 铺/garvinaserver"_s, u"-autorun"_s}
                                << u"\"/srv/店 铺/garvinaserver\" -autorun"_s;
        QTest::newRow("quote, dollar, backquote, backslash")
            << QStringList{u"/srv/a\"b$c`d\\e/garvinaserver"_s, u"-autorun"_s}
            << u"\"/srv/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e/garvinaserver\" -autorun"_s;
        QTest::newRow("percent") << QStringList{u"/srv/100%/garvinaserver"_s, u"-autorun"_s}
                                 << u"/srv/100%%/garvinaserver -autorun"_s;
        QTest::newRow("line break") << QStringList{u"/srv/a\nb/garvinaserver"_s}
                                    << u"\"/srv/a\\nb/garvinaserver\""_s;
    }
    void commandIsWrittenAndReadBack()
    {
        QFETCH(QStringList, command);
        QFETCH(QString, exec);
        const AutostartEntry entry(u"garvinaserver"_s, u"服装销售管理软件(网络版服务端)"_s);
        QVERIFY(!entry.command());
        QVERIFY(entry.setCommand(command)); // makes the missing folders
        QCOMPARE(entry.filePath(), configHome() + u"/autostart/garvinaserver.desktop"_s);
        QCOMPARE(fileLines(entry.filePath()), (QStringList{u"[Desktop Entry]"_s, u"Type=Application"_s,
                                                           u"Name=服装销售管理软件(网络版服务端)"_s,
                                                           u"Exec="_s + exec, u"Terminal=false"_s}));
        QCOMPARE(entry.command().value_or(QStringList{u"none"_s}), command);
        // Written beside and renamed: nothing else is left in the folder.
        QCOMPARE(QDir(AutostartEntry::folder()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{u"garvinaserver.desktop"_s});

        QVERIFY(entry.remove());
        QVERIFY(!QFile::exists(entry.filePath()));
        QVERIFY(!entry.command());
        QVERIFY(entry.remove()); // nothing to remove is no failure
    }

    void entriesWrittenByOthers_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("command");
        QTest::newRow("other program")
            << QByteArray("[Desktop Entry]\nType=Application\nExec=/usr/bin/other --x %U\n")
            << QStringList{u"/usr/bin/other"_s, u"--x"_s, u"%U"_s};
        QTest::newRow("blanks around, quoted")
            << QByteArray("# comment\n[Desktop Entry]\r\n  Exec =  \"/a b/garvinaserver\"   -autorun \r\n")
            << QStringList{u"/a b/garvinaserver"_s, u"-autorun"_s};
        QTest::newRow("no Exec line") << QByteArray("[Desktop Entry]\nType=Application\n") << QStringList{};
        QTest::newRow("Exec of another group only")
            << QByteArray("[Desktop Entry]\nName=x\n[Desktop Action y]\nExec=/bin/y\n") << QStringList{};
    }
    void entriesWrittenByOthers()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, command);
        writeEntry(text);
        const std::optional<QStringList> read = AutostartEntry(u"garvinaserver"_s).command();
        QVERIFY(read);
        QCOMPARE(*read, command);
    }

    void folderFollowsTheEnvironment_data()
    {
        QTest::addColumn<QByteArray>("xdgConfigHome");
        QTest::addColumn<QString>("folderUnderTemp");
        QTest::newRow("XDG_CONFIG_HOME") << QByteArray("/config") << u"/config/autostart"_s;
        QTest::newRow("unset") << QByteArray() << u"/home/.config/autostart"_s;
        QTest::newRow("relative is ignored") << QByteArray("relative/config") << u"/home/.config/autostart"_s;
    }
    void folderFollowsTheEnvironment()
    {
        QFETCH(QByteArray, xdgConfigHome);
        QFETCH(QString, folderUnderTemp);
        if (xdgConfigHome.startsWith('/'))
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()) + xdgConfigHome);
        else if (xdgConfigHome.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", xdgConfigHome);
        QCOMPARE(AutostartEntry::folder(), m_dir.path() + folderUnderTemp);
    }

    void writeThatCannotBeDone()
    {
        // A file where the folder should be.
        QDir().mkpath(configHome());
        QFile blocker(configHome() + u"/autostart"_s);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(!AutostartEntry(u"garvinaserver"_s).setCommand({u"/x"_s}));
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"
