// Which program folder the console takes: a laid-out folder as before, and, installed from the
// package, the shop's folder its pointer names and never the package's own.
#include "app/servicemode.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestInstalledFolder : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString &relative) const { return m_dir.path() + u'/' + relative; }
    bool makeFile(const QString &relative, const QByteArray &content = QByteArray()) const
    {
        QDir().mkpath(QFileInfo(path(relative)).absolutePath());
        QFile f(path(relative));
        return f.open(QIODevice::WriteOnly) && f.write(content) >= 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // A folder laid out from a build; an installed package whose pointer names the shop's
        // folder; one whose shop's folder is not laid out yet.
        QVERIFY(makeFile(u"dist/garvinaserver"_s));
        QVERIFY(makeFile(u"lib/garvinaserver"_s));
        QVERIFY(makeFile(u"lib/program-folder"_s, QFile::encodeName(path(u"shop"_s)) + "/\n"));
        QVERIFY(makeFile(u"shop/garvinaserver"_s));
        QVERIFY(makeFile(u"lib2/garvinaserver"_s));
        QVERIFY(makeFile(u"lib2/program-folder"_s, QFile::encodeName(path(u"empty"_s)) + "/\n"));
        QVERIFY(QDir().mkpath(path(u"empty"_s)));
    }

    void programFolder_data()
    {
        QTest::addColumn<QString>("workingDirectory");
        QTest::addColumn<QString>("programFile");
        QTest::addColumn<QString>("folder");
        QTest::newRow("laid out, started there") << u"dist"_s << u"dist/garvinaserver"_s << u"dist/"_s;
        QTest::newRow("laid out, started elsewhere") << u"empty"_s << u"dist/garvinaserver"_s << u"dist/"_s;
        QTest::newRow("installed") << u"empty"_s << u"lib/garvinaserver"_s << u"shop/"_s;
        QTest::newRow("installed, started in a laid-out folder")
            << u"dist"_s << u"lib/garvinaserver"_s << u"dist/"_s;
        QTest::newRow("installed, shop's folder not laid out")
            << u"dist/.."_s << u"lib2/garvinaserver"_s << QString();
    }
    void programFolder()
    {
        QFETCH(QString, workingDirectory);
        QFETCH(QString, programFile);
        QFETCH(QString, folder);
        const QString found = consoleProgramFolder(path(workingDirectory), path(programFile));
        QCOMPARE(found, folder.isNull() ? QString() : path(folder));
    }
};

QTEST_GUILESS_MAIN(TestInstalledFolder)
#include "tst_installed_folder.moc"
