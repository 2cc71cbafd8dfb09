#pragma once

#include <QString>
#include <QUrl>

namespace garvina {

class ProfileFile;

/// Path of the version file on the upgrade server: the newest version text, ten characters.
QString upgradeVersionPath();
/// Path of the program package on the upgrade server: a zip archive of the new program files.
QString upgradePackagePath();

/// \brief The upgrade server as configured: section "upgrade", key "server" of garvinainfo.dll.
///
/// Empty when the key is absent or blank, which means that no server is known.
QString readUpgradeServerSetting(const ProfileFile &config);

/// \brief The address of \a path on the server named by \a setting.
///
/// \a setting is "host", "host:port" or an "http://" or "https://" prefix that may carry a folder
/// ("http://host:8080/mirror" puts the files under /mirror/up/). Blanks around it are ignored.
/// Returns an empty QUrl when the setting names no usable server: empty, another scheme, no host,
/// or carrying a user name, a query or a fragment.
QUrl upgradeServerUrl(const QString &setting, const QString &path);

} // namespace garvina
