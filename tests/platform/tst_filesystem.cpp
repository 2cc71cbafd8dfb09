// Replacing and copying files: every step's failure leaves the old file and no stray file behind.
#include "platform/filesystem.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {

/// The system's file system with one step made to fail.
class FailingFileSystem : public LinuxFileSystem
{
public:
    QString failing;

    bool syncOpenFile(int fd) const override
    {
        return failing != u"flush"_s && LinuxFileSystem::syncOpenFile(fd);
    }
    bool setOpenFileMode(int fd, uint mode) const override
    {
        return failing != u"mode"_s && LinuxFileSystem::setOpenFileMode(fd, mode);
    }
    bool renameAtomically(const QString &source, const QString &target) const override
    {
        return failing != u"rename"_s && LinuxFileSystem::renameAtomically(source, target);
    }
    bool sync(const QString &path) const override
    {
        return failing != u"folder"_s && LinuxFileSystem::sync(path);
    }
};

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

} // namespace

class TestFileSystem : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replaceFile_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QByteArray>("after"); // the target's contents afterwards
        QTest::newRow("all steps succeed") << QString() << QByteArray("new");
        QTest::newRow("mode") << u"mode"_s << QByteArray("old");
        QTest::newRow("flush") << u"flush"_s << QByteArray("old");
        QTest::newRow("rename") << u"rename"_s << QByteArray("old");
        // The rename took place; only its durability is in doubt, and that is said.
        QTest::newRow("folder flush") << u"folder"_s << QByteArray("new");
    }
    void replaceFile()
    {
        QFETCH(QString, failing);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString target = dir.filePath(u"garvinainfo.dll"_s);
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        QVERIFY(old.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));

        FailingFileSystem files;
        files.failing = failing;
        const FileResult result = files.replaceFile(target, "new");
        QCOMPARE(result.ok(), failing.isEmpty());
        QCOMPARE(result.error != 0, !failing.isEmpty());
        QCOMPARE(contents(target), after);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"garvinainfo.dll"_s});
        if (after == "new") // a file that had no mode given keeps the one it replaced
            QCOMPARE(files.identity(target)->mode, 0640u);
    }

    void copyFile()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(u"garvina.db"_s);
        const QByteArray data(3 * (1 << 20) + 17, 'g'); // more than one chunk, not a whole one
        QFile f(source);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
        f.close();

        FailingFileSystem files;
        QCOMPARE(files.copyFile(source, dir.filePath(u"copy"_s)), 1);
        QCOMPARE(contents(dir.filePath(u"copy"_s)), data);
        QCOMPARE(files.copyFile(dir.filePath(u"missing"_s), dir.filePath(u"copy2"_s)), -1);
        QCOMPARE(files.copyFile(source, dir.filePath(u"no/such/folder"_s)), -2);
        files.failing = u"flush"_s;
        QCOMPARE(files.copyFile(source, dir.filePath(u"copy3"_s)), -2);
        QVERIFY(!QFile::exists(dir.filePath(u"copy3"_s)));
        QVERIFY(!QFile::exists(dir.filePath(u"copy2"_s)));
    }
};

QTEST_GUILESS_MAIN(TestFileSystem)
#include "tst_filesystem.moc"
