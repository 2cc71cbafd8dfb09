#include "programmain.h"

#include "core/chinesetranslations.h"
#include "upgradeprogram/upgrader.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// A message box can be shown: a display is named and Qt is not told to draw nowhere.
bool hasDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal"))
        return false;
    return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

void printLine(std::FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", line.toUtf8().constData());
    std::fflush(stream);
}

} // namespace

int runUpgradeProgram(int argc, char *argv[], const QByteArray &publicKey, const UpgradeLimits &limits)
{
    // "download": fetch and check the package while the console serves; "upgrade1": the watched
    // hand-over the console starts when it ends; "install": the swap itself, run by the hand-over.
    const QString mode = argc == 2 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode != u"download"_s && mode != u"upgrade1"_s && mode != u"install"_s) {
        std::fprintf(stderr, "usage: upgrade upgrade1   (replaces the program files of its own folder "
                             "with the package staged by \"upgrade download\"; garvinaserver starts both)\n");
        return 2;
    }

    // The console tells the user itself what the download came to.
    const bool display = mode == u"install"_s && hasDisplay();
    std::unique_ptr<QCoreApplication> app;
    if (display)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(u"upgrade"_s);
    // Its message box buttons speak Chinese like the console's.
    installChineseTranslations(*app);

    // The program's own folder is the program folder (Qt reads it from /proc/self/exe).
    QString folder = QCoreApplication::applicationDirPath();
    if (!folder.endsWith(u'/'))
        folder += u'/';

    Upgrader upgrader(folder, publicKey, limits);
    upgrader.progress = [](const QString &line) {
        printLine(stdout, u"upgrade: "_s + line);
    };
    if (mode == u"upgrade1"_s) {
        // Started in a session of its own (the launcher's), so a logout that ends the console's
        // session does not end the hand-over; the install it watches reports on its own.
        return upgrader.watchInstall(QCoreApplication::applicationFilePath());
    }
    QString error;
    if (mode == u"download"_s ? upgrader.download(error) : upgrader.install(error)) {
        printLine(stdout, mode == u"download"_s ? u"upgrade: 升级包已下载"_s : u"upgrade: 升级完成"_s);
        return 0;
    }
    printLine(stderr, u"upgrade: 在线升级失败: "_s + error);
    if (display) {
        // The reason can quote what a server sent: shown as text, never as markup.
        QMessageBox box(QMessageBox::Critical, u"在线升级"_s, u"在线升级失败:\n"_s + error);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
    return 1;
}

} // namespace garvina
