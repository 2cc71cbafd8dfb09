#include "httpfetch.h"

#include "core/appcontext.h"

#include <QEventLoop>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

enum class Abort
{
    None,
    TooLarge,
    TimedOut,
    Idle,
    SinkFailed,
    Redirect
};

/// Taken from the reply at a time, and the most Qt buffers before it stops reading the connection.
constexpr qint64 kChunk = 64 * 1024;

bool isRedirect(int status)
{
    return status >= 300 && status < 400;
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 3);
}

} // namespace

HttpFetchResult httpGet(const QUrl &url, QIODevice &sink, const HttpFetchLimits &limits)
{
    HttpFetchResult result;
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != u"http"_s && scheme != u"https"_s) || url.host().isEmpty()) {
        result.error = u"服务器地址无效: "_s + url.toString();
        return result;
    }

    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    // A redirect may only lead to another path of the same host, never from https down to http:
    // whoever answers the first request must not be able to send the client anywhere else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    // Asking for the body as it is keeps Qt from inflating a small compressed reply into a huge one
    // behind the size bound's back.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setHeader(QNetworkRequest::UserAgentHeader, QString(u"garvinaserver/"_s + gs_softver()));

    const std::unique_ptr<QNetworkReply> reply(manager.get(request));
    reply->setReadBufferSize(kChunk);

    QEventLoop loop;
    QTimer total;
    QTimer idle;
    Abort abort = Abort::None;

    const auto stop = [&](Abort why) {
        if (abort == Abort::None)
            abort = why;
        total.stop();
        idle.stop();
        reply->abort();
    };
    const auto drain = [&]() {
        while (abort == Abort::None && reply->bytesAvailable() > 0) {
            if (result.bytes + reply->bytesAvailable() > limits.maxBytes) {
                stop(Abort::TooLarge);
                return;
            }
            const QByteArray chunk = reply->read(kChunk);
            if (chunk.isEmpty())
                return;
            if (sink.write(chunk) != chunk.size()) {
                stop(Abort::SinkFailed);
                return;
            }
            result.bytes += chunk.size();
        }
    };
    const auto touched = [&]() {
        if (limits.idleTimeoutMs > 0 && abort == Abort::None)
            idle.start(limits.idleTimeoutMs);
    };

    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&]() {
        touched();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        // A body announced as too long is refused before its first byte is read.
        if (!isRedirect(status) && length.isValid() && length.toLongLong() > limits.maxBytes)
            stop(Abort::TooLarge);
    });
    QObject::connect(reply.get(), &QNetworkReply::redirected, &loop, [&](const QUrl &target) {
        // Another port of the same host is another server (anyone may listen on a high port there),
        // and another scheme is a way round the port: both are refused like another host.
        const bool sameHost = target.host().compare(url.host(), Qt::CaseInsensitive) == 0;
        const bool sameScheme = target.scheme() == scheme;
        const int defaultPort = scheme == u"https"_s ? 443 : 80;
        if (sameHost && sameScheme && target.port(defaultPort) == url.port(defaultPort))
            Q_EMIT reply->redirectAllowed();
        else
            stop(Abort::Redirect);
    });
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&]() {
        touched();
        drain();
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, [&]() {
        drain();
        total.stop();
        idle.stop();
        loop.quit();
    });

    total.setSingleShot(true);
    idle.setSingleShot(true);
    QObject::connect(&total, &QTimer::timeout, &loop, [&]() { stop(Abort::TimedOut); });
    QObject::connect(&idle, &QTimer::timeout, &loop, [&]() { stop(Abort::Idle); });
    if (limits.timeoutMs > 0)
        total.start(limits.timeoutMs);
    touched();

    // User input stays queued: a click cannot start a second operation while this one waits.
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    result.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    switch (abort) {
    case Abort::TooLarge:
        result.error = u"服务器的回复超过 %1 字节"_s.arg(limits.maxBytes);
        return result;
    case Abort::TimedOut:
        result.error = u"服务器在 %1 秒内没有答完"_s.arg(seconds(limits.timeoutMs));
        return result;
    case Abort::Idle:
        result.error = u"服务器 %1 秒没有发送数据"_s.arg(seconds(limits.idleTimeoutMs));
        return result;
    case Abort::SinkFailed:
        result.error = u"写入下载的数据出错: "_s + sink.errorString();
        return result;
    case Abort::Redirect:
        result.error = u"服务器转到了另一个地址, 已拒绝"_s;
        return result;
    case Abort::None:
        break;
    }
    if (result.httpStatus != 0 && (result.httpStatus < 200 || result.httpStatus > 299)) {
        result.error = u"服务器回复 HTTP %1"_s.arg(result.httpStatus);
        return result;
    }
    if (reply->error() != QNetworkReply::NoError) {
        result.error = reply->errorString();
        return result;
    }
    if (result.httpStatus == 0) {
        result.error = u"服务器没有回复"_s;
        return result;
    }
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != result.bytes) {
        result.error = u"回复不完整: 收到 %1 字节, 应为 %2 字节"_s.arg(result.bytes).arg(length.toLongLong());
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace garvina
