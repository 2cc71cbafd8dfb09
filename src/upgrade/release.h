#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace garvina {

/// Path of the signed release manifest on the upgrade server, beside the version file.
QString upgradeManifestPath();
/// The longest manifest accepted; a longer reply is an error and is not read in full.
inline constexpr qint64 kManifestMaxBytes = 4096;

/// \brief The publisher's Ed25519 public key compiled into the programs (32 bytes).
///
/// Only what the matching secret key signed is unpacked or run; the build option
/// GARVINA_UPGRADE_PUBLIC_KEY_FILE names the key file. Empty for a build that names none: such a
/// build has no online upgrade.
QByteArray releasePublicKey();

/// What the user is told when the program has no key to verify releases with.
QString noReleaseKeyText();

/// \brief A program version "a.b.c" read as three numbers, so 4.6.000001 is newer than 4.5.130829.
struct ReleaseVersion
{
    qint64 major = 0;
    qint64 minor = 0;
    qint64 build = 0;

    /// Nothing unless \a text is exactly three groups of one to nine digits joined by dots.
    static std::optional<ReleaseVersion> parse(const QString &text);
    int compare(const ReleaseVersion &other) const;
};

/// \brief What the publisher signed: the version of one package, its size and its SHA-256.
///
/// The manifest (up.txt.sig) is UTF-8 lines, made by scripts/sign-upgrade.sh:
/// "garvinaserver-release 1", "version V", "size N", "sha256 HEX", "signature BASE64", where the
/// signature is Ed25519 over every byte before the signature line. Binding the version to the
/// package's hash means neither can be swapped for another one the publisher signed.
struct ReleaseManifest
{
    QString version;
    qint64 size = 0;
    QByteArray sha256; ///< 32 bytes
};

/// \brief The manifest in \a text when its signature verifies with \a publicKey and every line is
/// well formed; otherwise nothing and a readable reason in \a error.
std::optional<ReleaseManifest> verifyReleaseManifest(const QByteArray &text, const QByteArray &publicKey,
                                                     QString &error);

} // namespace garvina
