#pragma once

#include "core/appcontext.h"
#include "platform/filesystem.h"
#include "support/recordingmessageboxes.h"

#include <QFile>
#include <QTemporaryDir>

namespace garvina::test {

/// A program folder holding nothing but the configuration file, with recorded message boxes: for
/// the windows and menus whose behaviour depends on the configuration alone.
struct ConfigFolder
{
    ConfigFolder()
    {
        ctx.gs_path = dir.path() + QLatin1Char('/');
        ctx.boxes = &boxes;
        ctx.files = &files;
    }

    /// Replaces the configuration file with \a content.
    bool writeConfig(const QString &content) const
    {
        QFile f(ctx.configPath());
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content.toUtf8()) >= 0;
    }

    /// Before each case: no boxes shown, no configuration file.
    void reset()
    {
        boxes.shown.clear();
        QFile::remove(ctx.configPath());
    }

    QTemporaryDir dir;
    RecordingMessageBoxes boxes;
    LinuxFileSystem files;
    AppContext ctx;
};

} // namespace garvina::test
