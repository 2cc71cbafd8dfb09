#include "programmain.h"

#include "core/chinesetranslations.h"
#include "upgradeprogram/upgrader.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstring>
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
    bool requested = false;
    for (int i = 1; i < argc; ++i)
        requested = requested || std::strcmp(argv[i], "upgrade1") == 0;
    if (!requested) {
        std::fprintf(stderr, "usage: upgrade upgrade1   (replaces the program files of its own folder "
                             "with the upgrade server's package; garvinaserver starts it)\n");
        return 2;
    }

    const bool display = hasDisplay();
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
    QString error;
    if (upgrader.run(error)) {
        printLine(stdout, u"upgrade: 升级完成"_s);
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
