#include "config/profilefile.h"
#include "platform/filesystem.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using garvina::LinuxFileSystem;
using garvina::ProfileFile;

class TestProfileFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeRaw(const QByteArray &bytes, const QString &name = u"garvinainfo.dll"_s)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        f.remove();
        if (!f.open(QIODevice::WriteOnly))
            qFatal("cannot write test file");
        f.write(bytes);
        return path;
    }
    static QByteArray readRaw(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static QByteArray gbk(const QString &text)
    {
        QStringEncoder enc("GBK");
        return enc.encode(text);
    }

private Q_SLOTS:
    void read_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        const QString D = u"<default>"_s;
        QTest::newRow("plain") << QByteArray("[server]\ndataport=3000\n") << u"server"_s << u"dataport"_s
                               << u"3000"_s;
        QTest::newRow("names ignore case")
            << QByteArray("[SERVER]\nDataPort = 3001\n") << u"server"_s << u"dataport"_s << u"3001"_s;
        QTest::newRow("blanks around names and values")
            << QByteArray("  [ system ]  \n \t sockect  =  2700 \t \n") << u"system"_s << u"sockect"_s
            << u"2700"_s;
        QTest::newRow("double quotes removed")
            << QByteArray("[system]\npassword=\"  ab c \"\n") << u"system"_s << u"password"_s << u"  ab c "_s;
        QTest::newRow("single quotes removed") << QByteArray("[a]\nk='x'\n") << u"a"_s << u"k"_s << u"x"_s;
        QTest::newRow("unmatched quote kept") << QByteArray("[a]\nk=\"x\n") << u"a"_s << u"k"_s << u"\"x"_s;
        QTest::newRow("lone quote kept") << QByteArray("[a]\nk=\"\n") << u"a"_s << u"k"_s << u"\""_s;
        QTest::newRow("first section wins")
            << QByteArray("[a]\nk=1\n[b]\nk=9\n[A]\nk=2\nj=3\n") << u"a"_s << u"k"_s << u"1"_s;
        QTest::newRow("duplicate section not searched")
            << QByteArray("[a]\nk=1\n[a]\nj=3\n") << u"a"_s << u"j"_s << D;
        QTest::newRow("first key wins") << QByteArray("[a]\nk=1\nK=2\n") << u"a"_s << u"k"_s << u"1"_s;
        QTest::newRow("CRLF") << QByteArray("[a]\r\nk=1\r\nj=2\r\n") << u"a"_s << u"k"_s << u"1"_s;
        QTest::newRow("no final newline") << QByteArray("[a]\nk=last") << u"a"_s << u"k"_s << u"last"_s;
        QTest::newRow("key before any section ignored")
            << QByteArray("k=0\n[a]\nj=1\n") << u"a"_s << u"k"_s << D;
        QTest::newRow("line without = ignored") << QByteArray("[a]\nk\nk2=x\n") << u"a"_s << u"k"_s << D;
        QTest::newRow("empty value is a value") << QByteArray("[a]\nk=\n") << u"a"_s << u"k"_s << u""_s;
        QTest::newRow("equals sign inside value")
            << QByteArray("[a]\nk=a=b\n") << u"a"_s << u"k"_s << u"a=b"_s;
        QTest::newRow("key in another section")
            << QByteArray("[a]\nx=1\n[b]\nk=2\n") << u"a"_s << u"k"_s << D;
        QTest::newRow("missing section") << QByteArray("[a]\nk=1\n") << u"backup"_s << u"k"_s << D;
        QTest::newRow("empty file") << QByteArray() << u"a"_s << u"k"_s << D;
        QTest::newRow("utf-8 byte order mark")
            << QByteArray("\xEF\xBB\xBF[a]\nk=1\n") << u"a"_s << u"k"_s << u"1"_s;
        QTest::newRow("utf-8 chinese") << u"[backup]\nbackuppath=/home/店/织云阁软件备份/\n"_s.toUtf8()
                                       << u"backup"_s << u"backuppath"_s << u"/home/店/织云阁软件备份/"_s;
        QTest::newRow("GBK file of the Windows edition")
            << gbk(u"[backup]\r\nbackuppath=D:\\织云阁软件备份\\\r\n[system]\r\npassword=服装\r\n"_s)
            << u"backup"_s << u"backuppath"_s << u"D:\\织云阁软件备份\\"_s;
        QTest::newRow("GBK trail byte 0x5C does not split")
            << gbk(u"[a]\nk=乗俓\\x\n"_s) << u"a"_s << u"k"_s << u"乗俓\\x"_s;
        // 目录 in GBK is C4 BF C2 BC, which is also valid UTF-8 ("Ŀ¼"): the Chinese reading wins.
        QTest::newRow("GBK that is also valid UTF-8")
            << gbk(u"[a]\nk=目录\n"_s) << u"a"_s << u"k"_s << u"目录"_s;
        QTest::newRow("GBK line beside a UTF-8 line")
            << (u"[a]\nj=织云阁\n"_s.toUtf8() + gbk(u"k=目录\n"_s)) << u"a"_s << u"k"_s << u"目录"_s;
        QTest::newRow("accented letters stay UTF-8")
            << u"[a]\nk=café\n"_s.toUtf8() << u"a"_s << u"k"_s << u"café"_s;
        QTest::newRow("invalid bytes do not hide other keys")
            << QByteArray("[a]\nbad=\xff\xff\xff\nk=ok\n") << u"a"_s << u"k"_s << u"ok"_s;
        QTest::newRow("very long line")
            << (QByteArray("[a]\nk=") + QByteArray(200000, 'x') + QByteArray("\nj=2\n")) << u"a"_s << u"j"_s
            << u"2"_s;
        QTest::newRow("comment lines") << QByteArray(";note\n[a]\n;k=0\nk=1\n") << u"a"_s << u"k"_s << u"1"_s;
        QTest::newRow("section without closing bracket")
            << QByteArray("[a\nk=1\n") << u"a"_s << u"k"_s << u"1"_s;
    }

    void read()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        const ProfileFile file(writeRaw(content));
        QCOMPARE(file.read(section, key, u"<default>"_s), expected);
    }

    void readMissingOrUnreadableFileGivesDefault()
    {
        QCOMPARE(ProfileFile(m_dir.filePath(u"none.dll"_s)).read(u"a"_s, u"k"_s, u"d"_s), u"d"_s);
        QVERIFY(QDir(m_dir.path()).mkpath(u"adir"_s));
        QCOMPARE(ProfileFile(m_dir.filePath(u"adir"_s)).read(u"a"_s, u"k"_s, u"d"_s), u"d"_s);
    }

    void writeKeepsEverythingElse()
    {
        const QByteArray original = "; shop settings\n"
                                    "[Server]\n"
                                    "DataPort = 2700\n"
                                    "; the port of the tills\n"
                                    "\n"
                                    "[system]\n"
                                    "sockect=2639\n"
                                    "password=\" a \"\n"
                                    "\n"
                                    "[backup]\n"
                                    "backuptype=1\n";
        const QString path = writeRaw(original);
        const ProfileFile file(path);

        QVERIFY(file.write(u"server"_s, u"dataport"_s, u"2800"_s));
        QVERIFY(file.write(u"system"_s, u"exitpass"_s, u"1"_s));
        QVERIFY(file.write(u"dbunload"_s, u"dbunload_date"_s, u"2013-08-29"_s));
        QVERIFY(file.write(u"BACKUP"_s, u"BackupType"_s, u"0"_s));

        const QByteArray expected = "; shop settings\n"
                                    "[Server]\n"
                                    "DataPort=2800\n"
                                    "; the port of the tills\n"
                                    "\n"
                                    "[system]\n"
                                    "sockect=2639\n"
                                    "password=\" a \"\n"
                                    "exitpass=1\n"
                                    "\n"
                                    "[backup]\n"
                                    "backuptype=0\n"
                                    "\n"
                                    "[dbunload]\n"
                                    "dbunload_date=2013-08-29\n";
        QCOMPARE(readRaw(path), expected);
        QCOMPARE(file.read(u"system"_s, u"password"_s, u""_s), u" a "_s);
        // No temporary file is left beside it.
        QCOMPARE(QDir(m_dir.path()).entryList({u"garvinainfo.dll*"_s}, QDir::Files).size(), 1);
    }

    void writeKeepsCrlfAndCreatesFile()
    {
        const QString crlf = writeRaw("[a]\r\nk=1\r\n", u"crlf.dll"_s);
        QVERIFY(ProfileFile(crlf).write(u"a"_s, u"j"_s, u"2"_s));
        QCOMPARE(readRaw(crlf), QByteArray("[a]\r\nk=1\r\nj=2\r\n"));

        const QString fresh = m_dir.filePath(u"fresh/garvinainfo.dll"_s);
        QVERIFY(QDir().mkpath(m_dir.filePath(u"fresh"_s)));
        QVERIFY(ProfileFile(fresh).write(u"system"_s, u"password"_s, u" 密码 "_s));
        QCOMPARE(readRaw(fresh), u"[system]\npassword= 密码 \n"_s.toUtf8());
        QCOMPARE(ProfileFile(fresh).read(u"system"_s, u"password"_s, u""_s), u"密码"_s);
        const auto file = LinuxFileSystem().identity(fresh);
        QVERIFY(file);
        QCOMPARE(file->mode & 0777, 0600u);

        // One that others could read is the owner's alone once rewritten, or looked at by start-up.
        for (const bool rewrite : {true, false}) {
            QVERIFY(
                QFile::setPermissions(crlf, QFile::permissions(crlf) | QFile::ReadOther | QFile::ReadGroup));
            QVERIFY(rewrite ? ProfileFile(crlf).write(u"a"_s, u"k"_s, u"3"_s)
                            : ProfileFile(crlf).keepPrivate());
            QCOMPARE(LinuxFileSystem().identity(crlf)->mode & 0777, 0600u);
        }
    }

    void writeConvertsGbkToUtf8()
    {
        const QString path =
            writeRaw(gbk(u"[backup]\r\nbackuppath=D:\\织云阁软件备份\\\r\n"_s), u"gbk.dll"_s);
        QVERIFY(ProfileFile(path).write(u"backup"_s, u"backuphour"_s, u"2"_s));
        QCOMPARE(readRaw(path),
                 u"[backup]\r\nbackuppath=D:\\织云阁软件备份\\\r\nbackuphour=2\r\n"_s.toUtf8());
    }

    void writeRefusesLineBreaksInValues()
    {
        const QString path = writeRaw("[system]\npassword=x\n", u"inject.dll"_s);
        QVERIFY(ProfileFile(path).write(u"system"_s, u"password"_s, u"a\n[server]\ndataport=1"_s));
        QCOMPARE(ProfileFile(path).read(u"server"_s, u"dataport"_s, u"2638"_s), u"2638"_s);
        QCOMPARE(ProfileFile(path).read(u"system"_s, u"password"_s, u""_s), u"a [server] dataport=1"_s);
    }

    void failedWritesLeaveTheFileAlone()
    {
        const QByteArray original = "[a]\nk=1\n";
        const QString path = writeRaw(original, u"readonly.dll"_s);
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        QVERIFY(!ProfileFile(path).write(u"a"_s, u"k"_s, u"2"_s));
        QCOMPARE(readRaw(path), original);
        QCOMPARE(ProfileFile(path).read(u"a"_s, u"k"_s, u""_s), u"1"_s);

        const QString missingFolder = m_dir.filePath(u"no/such/folder/garvinainfo.dll"_s);
        QVERIFY(!ProfileFile(missingFolder).write(u"a"_s, u"k"_s, u"1"_s));
        QVERIFY(!QFile::exists(missingFolder));
    }

    void writeThroughSymlinkKeepsLink()
    {
        const QString target = writeRaw("[a]\nk=1\n", u"real.dll"_s);
        const QString link = m_dir.filePath(u"link.dll"_s);
        QVERIFY(QFile::link(target, link));
        QVERIFY(ProfileFile(link).write(u"a"_s, u"k"_s, u"2"_s));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(ProfileFile(target).read(u"a"_s, u"k"_s, u""_s), u"2"_s);
    }
};

QTEST_GUILESS_MAIN(TestProfileFile)
#include "tst_profilefile.moc"
