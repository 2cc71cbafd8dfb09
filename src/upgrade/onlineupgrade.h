#pragma once

#include "upgrade/release.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace garvina {

struct AppContext;
class WorkSlot;

/// \brief The receiver of a fetched reply body.
class n_cst_internetresult
{
public:
    /// Stores \a data as text (UTF-8) in is_msg, replacing what was there, and returns the length
    /// of is_msg in UTF-8 bytes.
    int internetdata(const QByteArray &data);

    /// The body of the last reply; empty until one was received.
    QString is_msg;
};

/// How long the version check waits for the upgrade server's whole reply.
inline constexpr int kVersionFetchTimeoutMs = 10000;
/// The longest version file accepted; a longer reply is an error and is not read in full.
inline constexpr qint64 kVersionFileMaxBytes = 1024;

/// The longest the console waits for the upgrade program's download and check of the package: its
/// own bounds (30 min for the package, 30 s for the manifest) and some room.
inline constexpr int kDownloadJobTimeoutMs = 35 * 60 * 1000;

/// \brief The "check for updates" command: compares the upgrade server's version with gs_softver()
/// and, on the user's consent, hands over to the upgrade program.
///
/// Every outcome before the question is a message box of ctx.boxes. On Yes the program "upgrade" of
/// the program folder runs "upgrade download" in the background while the console goes on serving;
/// when that fetched and checked the package, "upgrade upgrade1" is started detached and
/// \a endWithoutCloseHook is called: it ends the console at once, skipping the close hook, so the
/// engine keeps running while the files are replaced. A failed download, or an upgrade program that
/// cannot be started, is told and the console goes on. The hand-over waits until \a work (when
/// given) has no work on the database running. A call made while another is still waiting
/// for the server or the download (from a timer, say) does nothing. \a timeoutMs bounds each wait
/// for the server.
///
/// Versions are compared as numbers a.b.c; a newer one is offered only when the signed release
/// manifest beside it (up.txt.sig) verifies with \a publicKey and names the same version. Without a
/// key (a build that names none), and in a program folder of links (installed from the package),
/// the user is told that this program does not upgrade online.
void f_online_upgrade(AppContext &ctx, const std::function<void()> &endWithoutCloseHook,
                      int timeoutMs = kVersionFetchTimeoutMs,
                      const QByteArray &publicKey = releasePublicKey(), WorkSlot *work = nullptr);

} // namespace garvina
