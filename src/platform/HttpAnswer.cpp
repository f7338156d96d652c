#include "HttpAnswer.h"

#include <QNetworkReply>

namespace klv::http {

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

int statusOf(const QNetworkReply &reply)
{
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// The announced body length, -1 when there is none or it is not a number. Of a repeated header
// ("145, 11") the last value counts.
int64_t announcedLength(const QNetworkReply &reply)
{
    const QByteArray raw = reply.rawHeader("Content-Length");
    if (raw.isEmpty())
        return -1;
    bool ok = false;
    const qint64 length = raw.split(',').constLast().trimmed().toLongLong(&ok);
    return ok && length >= 0 ? length : -1;
}

// Texts of our own: Qt's texts may carry the address, which is never shown to the user.
QString networkErrorText(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("The server refused the connection");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("The server closed the connection before the transfer was complete");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("The server's host name could not be found");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("The connection to the server timed out");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("The secure connection to the server failed: its certificate is not trusted or the "
                              "handshake was refused");
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("The server redirected the request too often");
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("The server redirected a secure request to an insecure address; the redirect was "
                              "refused");
    case QNetworkReply::ProtocolFailure:
    case QNetworkReply::ProtocolUnknownError:
        return QStringLiteral("The server's answer is not valid HTTP");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("The network is not available");
    default:
        return QStringLiteral("The transfer failed (network error %1)").arg(int(error));
    }
}

// Errors of a line that may work again a moment later; a refused connection, an unknown host,
// an untrusted certificate or an answer that is not HTTP do not improve by asking again.
bool isTransient(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionClosedError:
        return true;
    default:
        return false;
    }
}

namespace {
int effectivePort(const QUrl &url)
{
    return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
}
} // namespace

// The redirect target of an answer, when get() may follow it: the credentials go with every
// request, so a redirect stays with the server that was asked (the same scheme, host and port).
// Sets `refusal` when it may not.
QUrl redirectTarget(const QNetworkReply &reply, const QUrl &hop, const QUrl &asked, QString &refusal)
{
    const QByteArray location = reply.rawHeader("Location");
    const QUrl target = hop.resolved(QUrl::fromEncoded(location));
    if (location.isEmpty() || !target.isValid())
        return {};
    if (target.host().compare(asked.host(), Qt::CaseInsensitive) != 0)
        refusal = QStringLiteral("The server redirected the request to another host; the redirect was refused");
    else if (target.scheme().compare(asked.scheme(), Qt::CaseInsensitive) != 0)
        refusal = asked.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
                      ? networkErrorText(QNetworkReply::InsecureRedirectError)
                      : QStringLiteral("The server redirected the request to another scheme; the redirect was "
                                       "refused");
    else if (effectivePort(target) != effectivePort(asked))
        refusal = QStringLiteral("The server redirected the request to another port; the redirect was refused");
    return target;
}

} // namespace klv::http
