#pragma once

#include "config/profilefile.h"
#include "core/version.h"

#include <QString>

namespace garvina {

class Clock;
class FileSystem;
class MessageBoxes;
class ProcessLauncher;

/// \brief Process-wide state and the services every part of the console is handed.
///
/// Made once at start-up and passed by reference; nothing reaches it through a global.
struct AppContext
{
    /// The program folder, always ending in "/".
    QString gs_path;
    /// True when started with "-autorun"; the first engine start waits longer and clears it.
    bool gb_start = false;

    Clock *clock = nullptr;
    MessageBoxes *boxes = nullptr;
    ProcessLauncher *launcher = nullptr;
    FileSystem *files = nullptr;

    QString configPath() const { return gs_path + QStringLiteral("garvinainfo.dll"); }
    ProfileFile config() const { return ProfileFile(configPath(), files); }
    QString readConfig(const QString &section, const QString &key, const QString &defaultValue) const
    {
        return config().read(section, key, defaultValue);
    }
    /// The value of \a key, its default (core/settings.h) when it is absent.
    QString readSetting(const QString &section, const QString &key) const;
    void writeConfig(const QString &section, const QString &key, const QString &value) const
    {
        config().write(section, key, value);
    }
};

} // namespace garvina
