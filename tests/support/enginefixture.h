#pragma once

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "platform/processlauncher.h"
#include "platform/toolrunner.h"
#include "support/fakedisks.h"
#include "support/manualclock.h"
#include "support/recordinglauncher.h"
#include "support/recordingmessageboxes.h"
#include "support/testprogramfolder.h"

#include <QFile>

#include <memory>

namespace garvina::test {

/// A laid-out program folder on a free engine port, a context wired to the test services (boxes
/// recorded, a clock that stands still, real launches recorded on the way, the system's file system
/// with disks the test mounts in files) and the folder's engine
/// control. Declare it before whatever uses it; it ends a running engine when it goes.
class EngineFixture
{
public:
    /// Lays out the folder; false with the set-up script's output in \a log.
    bool layOut(QString *log = nullptr, EngineControlOptions options = {})
    {
        folder = std::make_unique<TestProgramFolder>();
        if (!folder->layOut(log))
            return false;
        folder->setPort(TestProgramFolder::freePort());
        launcher.forward = &realLauncher;
        ctx.gs_path = folder->gs_path;
        ctx.boxes = &boxes;
        ctx.clock = &clock;
        ctx.launcher = &launcher;
        ctx.files = &files;
        engine = std::make_unique<EngineControl>(ctx, std::move(options));
        return true;
    }

    /// Copies the skin pictures and icons of a program folder in.
    bool addPictures() const { return copyProgramFolderPictures(folder->gs_path); }

    /// An empty program file, for start-up's program-folder test.
    bool addProgramFile() const
    {
        QFile exe(folder->gs_path + QStringLiteral("garvinaserver"));
        return exe.open(QIODevice::WriteOnly);
    }

    /// Gives the client connection service a free port of its own and returns it.
    int useFreeServicePort() const
    {
        const int port = TestProgramFolder::freePort();
        folder->config().write(QStringLiteral("system"), QStringLiteral("sockect"), QString::number(port));
        return port;
    }

    std::unique_ptr<TestProgramFolder> folder;
    RecordingMessageBoxes boxes;
    ManualClock clock;
    SystemProcessLauncher realLauncher;
    RecordingLauncher launcher;
    FakeDiskFileSystem files;
    AppContext ctx;
    std::unique_ptr<EngineControl> engine;
};

} // namespace garvina::test
