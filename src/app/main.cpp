#include "app/attachedconsole.h"
#include "app/console.h"
#include "app/orderlyend.h"
#include "app/servicemode.h"
#include "core/chinesetranslations.h"
#include "platform/clock.h"
#include "platform/endrequest.h"
#include "platform/filesystem.h"
#include "platform/processhardening.h"
#include "platform/processlauncher.h"
#include "ui/qtmessageboxes.h"

#include <QApplication>
#include <QDir>
#include <QSessionManager>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace garvina;

int main(int argc, char *argv[])
{
    disableCoreDumps(); // the process holds the DBA password: no core dumps, no ptrace by others
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", gs_softver().toUtf8().constData());
            return 0;
        }
        if (std::strcmp(argv[i], "--service") == 0)
            return runServiceMode(argc, argv);
        if (std::strcmp(argv[i], "--status") == 0)
            return runStatusMode(argc, argv);
        if (std::strcmp(argv[i], "--fetch-offsite") == 0)
            return runFetchOffsiteMode(argc, argv);
    }

    // Without any display the console still runs (engine, service, schedule), its message boxes
    // going to standard error; see QtMessageBoxes.
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "garvinaserver: no display found, running without windows "
                             "(start it under xvfb-run or in a desktop session to see them)\n");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("garvinaserver"));
    QApplication::setApplicationVersion(gs_softver());
    if (!installChineseTranslations(app))
        std::fprintf(stderr,
                     "garvinaserver: Qt's Chinese translations are not installed (qt6-translations-l10n); "
                     "standard buttons stay English\n");
    // Closing or minimising the main window only hides it; the console ends through its exit command.
    QApplication::setQuitOnLastWindowClosed(false);

    // The handlers are in place before any long work (a due rebuild, the engine's start): a signal
    // during start-up makes every wait give up, and the console then ends in order.
    OrderlyEnd orderlyEnd;
    // The desktop session is ending: end in the orderly way as well.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [](QSessionManager &) {
        requestEnd();
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });

    QtMessageBoxes boxes;
    const QString programFile = QApplication::applicationFilePath();
    const QString workingDirectory = consoleWorkingDirectory(QDir::currentPath(), programFile);
    // A running service keeps the shop: this console then shows its state and passes commands to it.
    // The installed service's folder is the service's alone (also when this user cannot look into it).
    const QString serviceFolder = packageProgramFolder(programFile);
    const QString programFolder = consoleProgramFolder(QDir::currentPath(), programFile);
    const bool ofService =
        !serviceFolder.isEmpty() && (programFolder.isEmpty() || QDir(programFolder) == QDir(serviceFolder));
    const int attached =
        runAttachedWhenServiceRuns(ofService ? serviceFolder : programFolder, boxes, ofService);
    if (attached >= 0)
        return attached;
    SystemClock clock;
    SystemProcessLauncher launcher;
    LinuxFileSystem files;
    Console console(boxes, clock, launcher, files);

    const int rc = console.startUp(QApplication::arguments().mid(1), workingDirectory, programFile);
    if (rc != 0)
        return rc;
    if (endRequested()) {
        console.closeHook();
        return leaveAfterOrderlyEnd(0);
    }

    QObject::connect(&app, &QCoreApplication::aboutToQuit, &console, &Console::closeHook);

    const int result = orderlyEnd.exec();
    console.closeHook();
    return leaveAfterOrderlyEnd(result);
}
