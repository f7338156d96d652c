#include "HttpClient.h"

#ifdef _WIN32
#include "AuthorityTrust.h"
#endif

#include "Ansi.h"
#include "Exceptions.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QSaveFile>
#include <QScopeGuard>
#include <QTimer>

#include <exception>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace klv {

namespace {

constexpr qint64 kReadBufferSize = 4 * 1024 * 1024;
constexpr qsizetype kBlockSize = 256 * 1024;

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

int statusOf(const QNetworkReply &reply)
{
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// The announced body length, -1 when there is none or it is not a number. After a followed
// redirect Qt may have merged the redirect's headers into the answer's ("145, 11"); the last
// value is the answer's own.
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

QString nativeName(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

HttpClient::HttpClient(QObject *parent)
    : QObject(parent), FManager(new QNetworkAccessManager(this)), FSsl(QSslConfiguration::defaultConfiguration())
{
    FManager->setProxy(QNetworkProxy::NoProxy);
    // Redirects are checked in get(): within the same host and never from https to http.
    FManager->setRedirectPolicy(QNetworkRequest::UserVerifiedRedirectPolicy);
    // One jar for the client's life: cookies the server sets come back on later requests.
    FManager->setCookieJar(new QNetworkCookieJar(FManager));
}

HttpClient::~HttpClient()
{
    // Destroyed from inside a running transfer (an event handled by the nested loop): let get()
    // return; it notices and raises the silent abort.
    if (FLoop)
        FLoop->quit();
}

void HttpClient::abort()
{
    if (!FLoop)
        return;
    FAbortRequested = true;
    if (FReply && !FReply->isFinished())
        FReply->abort();
}

void HttpClient::setInactivityTimeout(std::chrono::milliseconds timeout)
{
    FInactivityTimeout = timeout;
}

void HttpClient::addCaCertificate(const QSslCertificate &certificate)
{
    FSsl.addCaCertificate(certificate);
    FAddedAuthorities.append(certificate);
}

QByteArray HttpClient::userAgent()
{
    return QByteArrayLiteral("Mozilla/3.0 (compatible; Indy Library)");
}

QNetworkRequest HttpClient::makeRequest(const QUrl &url) const
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept", "text/html, */*");
    request.setRawHeader("Content-Type", "text/html");
    request.setRawHeader("User-Agent", userAgent());
    // The file as the server holds it: no transparent decompression, so that the received
    // length can be held against the announced one.
    request.setRawHeader("Accept-Encoding", "identity");
    if (!Username.isEmpty() || !Password.isEmpty())
        request.setRawHeader("Authorization",
                             "Basic " + ansi::encode(QString(Username + QLatin1Char(':') + Password)).toBase64());
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setSslConfiguration(FSsl);
    return request;
}

void HttpClient::get(const QUrl &url, const QString &destinationPath)
{
    if (FLoop)
        throw Exception(QStringLiteral("A transfer is already running"));
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        throw Exception(QStringLiteral("Only http and https addresses can be fetched"));
    if (!QFileInfo(destinationPath).absoluteDir().exists())
        throw EInOutError(
            QStringLiteral("Cannot create file \"%1\": the folder does not exist").arg(nativeName(destinationPath)));
    // Written beside the destination and renamed over it only when complete.
    QSaveFile file(destinationPath);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        throw EInOutError(
            QStringLiteral("Cannot create file \"%1\": %2").arg(nativeName(destinationPath), file.errorString()));

    QEventLoop loop;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(FInactivityTimeout);
    QPointer<HttpClient> self(this);
    // Every transfer starts on a new connection and network thread. The read buffer limit below
    // reaches Qt's network thread only through a queued call after the request has been handed
    // over; on a kept-alive connection the answer may already stream in before it, and whatever
    // arrived unlimited stays credited for the rest of the transfer (a large file then ended up
    // in memory when the machine was busy). A new connection first needs a new thread, a lookup
    // and a connect, by which time the limit has arrived. Cookies stay: they live in the jar.
    FManager->clearConnectionCache();
    QPointer<QNetworkReply> reply(FManager->get(makeRequest(url)));
    // Without a limit Qt's network thread queues whatever arrives faster than it is written.
    reply->setReadBufferSize(kReadBufferSize);
#ifdef _WIN32
    if (!FAddedAuthorities.isEmpty())
        acceptAddedAuthorities(reply.data(), FAddedAuthorities);
#endif
    FLoop = &loop;
    FReply = reply.data();
    FAbortRequested = false;
    const auto cleanup = qScopeGuard([&] {
        if (self) {
            FLoop = nullptr;
            FReply = nullptr;
            FAbortRequested = false;
        }
        if (reply) {
            reply->abort();
            reply->deleteLater();
        }
#ifdef __GLIBC__
        // The body passed through blocks of several threads' heaps; give the free pages back so
        // that the next transfer does not start from this one's high-water mark.
        malloc_trim(0);
#endif
    });

    QByteArray block(kBlockSize, Qt::Uninitialized);
    std::exception_ptr failure;
    QString refusal;
    QUrl hop = url;
    bool timedOut = false;
    bool began = false;
    bool success = false;
    int64_t expected = -1;
    int64_t received = 0;

    // Handlers may throw (an abort asked for by the user); no exception may cross Qt's event
    // loop, so it is kept and raised once the loop is left.
    const auto guarded = [&](auto &&step) {
        try {
            step();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
            if (reply && !reply->isFinished())
                reply->abort();
        }
    };
    const auto begin = [&] {
        if (began)
            return;
        began = true;
        success = isSuccess(statusOf(*reply));
        if (success)
            expected = announcedLength(*reply);
        if (OnWorkBegin)
            OnWorkBegin(WorkMode::Read, std::max<int64_t>(expected, 0));
        // Without a length a cut connection cannot be told from the end of the file (Qt takes a
        // chunked body closed early for a complete one), so such an answer is not taken.
        if (success && expected < 0)
            throw Exception(QStringLiteral("The server did not announce the length of the file; an incomplete "
                                           "transfer could not be told from a complete one"));
    };
    const auto drain = [&] {
        if (!reply || failure || FAbortRequested)
            return;
        begin();
        if (!reply->isOpen()) // aborted
            return;
        if (!success) {
            // The body of an error answer is never written.
            reply->skip(reply->bytesAvailable());
            return;
        }
        bool any = false;
        // Read through one fixed block, so that no copy of the buffered data is made that grows
        // with it; the read buffer limit bounds what Qt keeps.
        while (reply->bytesAvailable() > 0) {
            const qint64 n = reply->read(block.data(), block.size());
            if (n <= 0)
                break;
            if (file.write(block.constData(), n) != n)
                throw EInOutError(QStringLiteral("Cannot write file \"%1\": %2")
                                      .arg(nativeName(destinationPath), file.errorString()));
            received += n;
            any = true;
        }
        if (any && OnWork)
            OnWork(WorkMode::Read, received);
    };

    connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        idle.start();
        const int status = statusOf(*reply);
        // Headers of a redirect that is being followed are not the answer yet.
        if (status < 300 || status >= 400)
            guarded(begin);
    });
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        idle.start();
        guarded(drain);
    });
    // The credentials go with every request, so a redirect may not lead them to another host;
    // otherwise the rule is Qt's safe default: anything but a step down from https to http.
    connect(reply, &QNetworkReply::redirected, &loop, [&](const QUrl &location) {
        idle.start();
        const QUrl target = hop.resolved(location);
        if (target.host().compare(url.host(), Qt::CaseInsensitive) != 0)
            refusal = QStringLiteral("The server redirected the request to another host; the redirect was refused");
        else if (hop.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
                 target.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
            refusal = networkErrorText(QNetworkReply::InsecureRedirectError);
        if (!refusal.isEmpty()) {
            reply->abort();
            return;
        }
        hop = target;
        Q_EMIT reply->redirectAllowed();
    });
    connect(reply, &QNetworkReply::downloadProgress, &idle, qOverload<>(&QTimer::start));
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&idle, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        if (reply)
            reply->abort();
    });

    idle.start();
    if (!reply->isFinished())
        loop.exec();
    if (!self)
        throw EAbort();
    idle.stop();
    if (!reply) // the manager went away with the reply
        throw EAbort();
    guarded(drain);
    guarded(begin);

    const int status = statusOf(*reply);
    if (FAbortRequested)
        failure = std::make_exception_ptr(EAbort());
    if (!failure) {
        if (!refusal.isEmpty())
            failure = std::make_exception_ptr(Exception(refusal));
        else if (timedOut)
            failure = std::make_exception_ptr(
                Exception(QStringLiteral("No data arrived from the server for %1 seconds; the transfer was ended")
                              .arg(double(FInactivityTimeout.count()) / 1000.0)));
        else if (status >= 400 || (reply->error() == QNetworkReply::NoError && !isSuccess(status)))
            failure = std::make_exception_ptr(EIdHTTPProtocolException(
                status, QStringLiteral("HTTP/1.1 %1 %2")
                            .arg(status)
                            .arg(QString::fromLatin1(
                                reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray()))
                            .trimmed()));
        else if (reply->error() != QNetworkReply::NoError)
            failure = std::make_exception_ptr(Exception(networkErrorText(reply->error())));
        else if (expected >= 0 && received != expected)
            failure = std::make_exception_ptr(
                Exception(QStringLiteral("The transfer ended after %1 of %2 bytes").arg(received).arg(expected)));
        else if (!file.commit())
            failure = std::make_exception_ptr(EInOutError(
                QStringLiteral("Cannot write file \"%1\": %2").arg(nativeName(destinationPath), file.errorString())));
    }

    if (OnWorkEnd) {
        try {
            OnWorkEnd(WorkMode::Read);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace klv
