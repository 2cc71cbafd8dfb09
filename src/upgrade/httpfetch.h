#pragma once

#include <QString>
#include <QUrl>

class QIODevice;

namespace garvina {

/// Bounds of one HTTP GET.
struct HttpFetchLimits
{
    /// A body longer than this is an error; the transfer is aborted as soon as it is known to be longer
    /// (by its Content-Length or by the bytes received), so it is never read in full.
    qint64 maxBytes = 1024;
    /// The whole exchange, from the request to the last byte, in milliseconds; 0 for no bound.
    int timeoutMs = 10000;
    /// The longest pause without any data arriving, in milliseconds; 0 for no bound.
    int idleTimeoutMs = 0;
};

struct HttpFetchResult
{
    bool ok = false;
    /// The HTTP status of the final reply, 0 when none was received.
    int httpStatus = 0;
    /// Bytes written to the sink.
    qint64 bytes = 0;
    /// Why the fetch failed, readable by the user; empty on success.
    QString error;
};

/// \brief Fetches \a url by HTTP GET and writes the body to \a sink, synchronously for the caller.
///
/// Waits in a local event loop that leaves user input queued, so windows keep painting while no
/// click or key can start something else meanwhile. Success needs a 2xx reply whose body arrived
/// completely within \a limits; on failure \a sink may hold part of the body and is the caller's to
/// discard. Compressed transfer encodings are not asked for, so the limit counts the bytes as sent.
HttpFetchResult httpGet(const QUrl &url, QIODevice &sink, const HttpFetchLimits &limits);

} // namespace garvina
