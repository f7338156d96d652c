#include "HttpClient.h"

#ifdef _WIN32
#include "AuthorityTrust.h"
#endif

#include "Ansi.h"
#include "BackgroundSha256.h"
#include "Exceptions.h"
#include "FileOps.h"
#include "HttpAnswer.h"
#include "NetworkThreadGate.h"
#include "PartialDownload.h"
#include "PartialFile.h"
#include "RateWatch.h"

#include <QAuthenticator>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace klv {

using namespace http;

namespace {

constexpr qint64 kReadBufferSize = 4 * 1024 * 1024;
constexpr qsizetype kBlockSize = 256 * 1024;
// What may wait for the hasher's thread: a few blocks, so that it never stalls the transfer and
// the memory stays small.
constexpr qsizetype kHashAllowance = 4 * 1024 * 1024;
// How long a transfer runs before the info that lets it be continued is written: most packages
// have arrived by then, and for them the info would cost more than fetching them again.
constexpr int kInfoDelayMs = 250;
// A body larger than this leaves free pages worth giving back to the system.
constexpr int64_t kTrimAbove = 8 * 1024 * 1024;

QString nativeName(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

HttpClient::HttpClient(QObject *parent)
    : QObject(parent), FManager(new QNetworkAccessManager(this)), FSsl(QSslConfiguration::defaultConfiguration())
{
    ProxyChoice().applyTo(*FManager);
    connect(
        FManager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
        [this](const QNetworkProxy &proxy, QAuthenticator *login) { FProxyLogin.answer(proxy, *login, OnProxyLogin); });
    // Redirects are followed by get() itself, each as a request of its own: within the same host
    // and never from https to http. (Qt gives the answer of a redirect it follows no read buffer
    // limit at all.)
    FManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
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
    if (!FBusy)
        return;
    FAbortRequested = true;
    if (FReply && !FReply->isFinished())
        FReply->abort();
    else if (FLoop)
        FLoop->quit(); // the pause before the next attempt
}

void HttpClient::setInactivityTimeout(std::chrono::milliseconds timeout)
{
    FInactivityTimeout = timeout;
}

void HttpClient::setRetries(int retries)
{
    FRetries = std::max(0, retries);
}

void HttpClient::setRetryPause(std::chrono::milliseconds pause)
{
    FRetryPause = std::max(std::chrono::milliseconds(0), pause);
}

void HttpClient::setMinimumRate(int64_t bytesPerSecond, std::chrono::milliseconds window)
{
    FMinimumRate = std::max<int64_t>(0, bytesPerSecond);
    FMinimumRateWindow = std::max(std::chrono::milliseconds(1), window);
}

QStringList HttpClient::temporaryFileNames(const QString &destinationPath)
{
    const QString info = destinationPath + QLatin1String(kPartialInfoSuffix);
    return {destinationPath + QLatin1String(kPartialSuffix), info, atomicTempName(info)};
}

void HttpClient::setProxy(const ProxyChoice &choice)
{
    choice.applyTo(*FManager);
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

void HttpClient::get(const QUrl &url, const QString &destinationPath, const ExpectedFile *expected,
                     const TransferLimits &limits)
{
    if (FBusy)
        throw Exception(QStringLiteral("A transfer is already running"));
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        throw Exception(QStringLiteral("Only http and https addresses can be fetched"));
    if (!QFileInfo(destinationPath).absoluteDir().exists())
        throw EInOutError(
            QStringLiteral("Cannot create file \"%1\": the folder does not exist").arg(nativeName(destinationPath)));

    QPointer<HttpClient> self(this);
    FBusy = true;
    FAbortRequested = false;
    FLastFile = {};
    FProxyLogin.startRequest();
    const auto idle = qScopeGuard([&] {
        if (self) {
            FBusy = false;
            FAbortRequested = false;
            FLoop = nullptr;
            FOnlyIfChangedFrom = {};
        }
    });
    int retriesLeft = FRetries;
    bool restarted = false;
    int redirects = 0;
    QUrl current = url;
    for (;;) {
        std::exception_ptr failure;
        QUrl target;
        const Outcome outcome = attempt(current, url, destinationPath, expected, limits, failure, target);
        if (outcome == Outcome::Done)
            return;
        if (outcome == Outcome::Redirect) {
            if (++redirects > kMaxRedirects)
                throw ENetworkError(QNetworkReply::TooManyRedirectsError);
            current = target;
            continue;
        }
        // A partial file that did not fit the answer was dropped; the whole file is asked for at
        // once, but only once: a server that keeps contradicting itself is not asked forever.
        if (outcome == Outcome::Restart && !restarted) {
            restarted = true;
            continue;
        }
        if (outcome == Outcome::Cut && retriesLeft > 0 && !FAbortRequested) {
            --retriesLeft;
            pauseBeforeRetry();
            continue;
        }
        std::rethrow_exception(failure);
    }
}

void HttpClient::onlyIfChangedFrom(const FileValidators &have)
{
    FOnlyIfChangedFrom = {};
    if (partial::isPlainValue(have.etag))
        FOnlyIfChangedFrom.etag = have.etag;
    if (partial::isPlainValue(have.lastModified))
        FOnlyIfChangedFrom.lastModified = have.lastModified;
}

void HttpClient::pauseBeforeRetry()
{
    // On a loop of its own, so that the window stays alive and abort() ends the wait.
    QPointer<HttpClient> self(this);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(FRetryPause);
    FLoop = &loop;
    loop.exec();
    if (!self)
        throw EAbort();
    FLoop = nullptr;
    if (FAbortRequested)
        throw EAbort();
}

HttpClient::Outcome HttpClient::attempt(const QUrl &url, const QUrl &asked, const QString &destinationPath,
                                        const ExpectedFile *want, const TransferLimits &limits,
                                        std::exception_ptr &failure, QUrl &redirect)
{
    // What an earlier attempt or an earlier run left is continued only when it is shorter than the
    // file it is part of and its info tells how the server can prove that it still has that file.
    PartialFile target(destinationPath, limits.continuable);
    const partial::Info &stored = target.stored();
    const int64_t offset = target.offset();
    const bool resuming = target.resuming();

    QNetworkRequest request = makeRequest(url);
    if (resuming) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + "-");
        request.setRawHeader("If-Range", stored.validator());
    }
    if (!FOnlyIfChangedFrom.etag.isEmpty())
        request.setRawHeader("If-None-Match", FOnlyIfChangedFrom.etag);
    if (!FOnlyIfChangedFrom.lastModified.isEmpty())
        request.setRawHeader("If-Modified-Since", FOnlyIfChangedFrom.lastModified);

    QEventLoop loop;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(FInactivityTimeout);
    QTimer rateCheck;
    QTimer infoTimer;
    infoTimer.setSingleShot(true);
    infoTimer.setInterval(kInfoDelayMs);
    QPointer<HttpClient> self(this);
    // The transfers of one client share their connection (kept alive). Without a limit Qt's
    // network thread queues whatever arrives faster than it is written; the limit reaches that
    // thread by a queued call after the request's, which the gate makes sure it takes before it
    // reads any of the answer (NetworkThreadGate).
    NetworkThreadGate gate(*FManager);
    QPointer<QNetworkReply> reply(FManager->get(request));
    if (OnRequestIssued)
        OnRequestIssued();
    reply->setReadBufferSize(kReadBufferSize);
    gate.open();
#ifdef _WIN32
    if (!FAddedAuthorities.isEmpty())
        acceptAddedAuthorities(reply.data(), FAddedAuthorities);
#endif
    FLoop = &loop;
    FReply = reply.data();
    bool large = false; // enough of the body passed through memory to leave pages worth returning
    const auto cleanup = qScopeGuard([&] {
        if (self) {
            FLoop = nullptr;
            FReply = nullptr;
        }
        if (reply) {
            reply->abort();
            reply->deleteLater();
        }
#ifdef __GLIBC__
        // The body passed through blocks of several threads' heaps; give the free pages back so
        // that the next transfer does not start from this one's high-water mark.
        if (large)
            malloc_trim(0);
#endif
    });

    QByteArray block(kBlockSize, Qt::Uninitialized);
    // The digest is taken as the bytes arrive, on a thread of its own (those an earlier attempt left
    // are read back once).
    std::optional<BackgroundSha256> hasher;
    if (want)
        hasher.emplace(kHashAllowance);
    QString refusal;
    QString oddity;           // why the partial file does not fit the answer
    bool redirecting = false; // the answer sends us elsewhere; its body is not the file
    bool timedOut = false;
    bool tooSlow = false;
    bool began = false;
    bool writing = false;  // the answer's body is (part of) the file
    int64_t total = -1;    // the whole file's length
    int64_t expected = -1; // the length of this answer's body
    int64_t base = 0;      // bytes of the file in the partial before this answer's body
    int64_t received = 0;
    Outcome outcome = Outcome::Failed;
    // However the attempt ends (also by an exception): a partial file that cannot be continued goes.
    const auto settle = qScopeGuard([&] {
        if (outcome != Outcome::Done)
            target.settle();
    });

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
    // Decides from the answer's head what its body is; runs once, before any body byte is taken.
    const auto begin = [&] {
        if (began)
            return;
        began = true;
        std::exception_ptr fault;
        const int status = statusOf(*reply);
        // A redirect that is followed is no answer of its own: it reports no work. One that is
        // refused is the answer, and its body is not waited for.
        if (isRedirect(status) && reply->hasRawHeader("Location")) {
            redirect = redirectTarget(*reply, url, asked, refusal);
            if (refusal.isEmpty() && redirect.isValid()) {
                redirecting = true;
                return;
            }
            if (refusal.isEmpty())
                refusal = QStringLiteral("The server redirected the request to an address that is not valid");
            reply->abort();
        }
        if (resuming && status == 206) {
            // What does not continue the partial file leaves it; the whole file is asked for again.
            oddity = partial::continuationProblem(*reply, stored, offset, target.size(), want ? want->length : -1);
            if (oddity.isEmpty()) {
                try {
                    target.continueStored(hasher ? &*hasher : nullptr);
                    writing = true;
                    total = stored.length;
                    base = offset;
                    expected = total - offset;
                } catch (...) {
                    fault = std::current_exception();
                }
            }
        } else if (status == 206) {
            target.discard();
            fault = std::make_exception_ptr(
                Exception(QStringLiteral("The server sent part of the file where the whole file was asked for")));
        } else if (isSuccess(status)) {
            // The whole file: what the partial held goes.
            writing = true;
            total = expected = announcedLength(*reply);
            const partial::Info info{expected, partial::strongETag(*reply), partial::lastModified(*reply)};
            // Its info is written once the transfer has run a moment (so that even a killed
            // process leaves a partial file that can be continued), and whenever it ends unfinished.
            const bool keepLater = expected >= 0 && info.resumable() && limits.continuable;
            try {
                target.startWhole(info, keepLater);
                if (keepLater)
                    infoTimer.start();
            } catch (...) {
                fault = std::current_exception();
            }
            // Without a length a cut connection cannot be told from the end of the file (Qt takes
            // a chunked body closed early for a complete one), so such an answer is not taken.
            if (!fault && expected < 0)
                fault = std::make_exception_ptr(
                    Exception(QStringLiteral("The server did not announce the length of the file; an incomplete "
                                             "transfer could not be told from a complete one")));
            if (!fault && limits.maxLength >= 0 && expected > limits.maxLength) {
                target.discard();
                fault = std::make_exception_ptr(ETooLarge(expected, limits.maxLength));
            }
            // A file of another length is not the one asked for; its body is not taken.
            if (!fault && want && expected != want->length) {
                target.discard();
                fault = std::make_exception_ptr(EContentMismatch(expected, false));
            }
        } else if (resuming && status == 416) {
            oddity = QStringLiteral("The server refused the range of the partial file");
        }
        // Any other answer is an error status; its body is never written.
        if (!oddity.isEmpty())
            writing = false;
        FResumedFrom = writing ? base : 0;
        if (OnWorkBegin)
            OnWorkBegin(WorkMode::Read, writing ? std::max<int64_t>(total, 0) : 0);
        if (fault) {
            writing = false;
            std::rethrow_exception(fault);
        }
        if (!oddity.isEmpty()) {
            target.discard();
            // The body of a refusal is short and Qt is still reporting its error; a wrong part
            // is not waited for.
            if (status < 400)
                reply->abort();
        }
    };
    const auto drain = [&] {
        if (!reply || failure || FAbortRequested || !oddity.isEmpty())
            return;
        begin();
        if (!reply->isOpen()) // aborted
            return;
        if (!writing) {
            reply->skip(reply->bytesAvailable());
            return;
        }
        bool any = false;
        // Read through one fixed block, so that no copy of the buffered data is made that grows
        // with it; the read buffer limit bounds what Qt keeps.
        while (reply->bytesAvailable() > 0) {
            // A block of its own for the hasher's thread, which takes it over without a copy; of
            // the size at hand, so that what waits for the hasher is what its bytes take.
            if (hasher)
                block = QByteArray(qsizetype(std::min<qint64>(reply->bytesAvailable(), kBlockSize)), Qt::Uninitialized);
            const qint64 n = reply->read(block.data(), block.size());
            if (n <= 0)
                break;
            if (received + n > expected) {
                target.discard();
                throw Exception(QStringLiteral("The server sent more than the announced length of the file"));
            }
            target.write(block.constData(), n);
            if (hasher) {
                block.truncate(n);
                hasher->add(std::move(block));
            }
            received += n;
            large = large || received > kTrimAbove;
            any = true;
        }
        if (any && OnWork)
            OnWork(WorkMode::Read, base + received);
    };

    connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        idle.start();
        guarded(begin);
    });
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        idle.start();
        guarded(drain);
    });
    connect(reply, &QNetworkReply::downloadProgress, &idle, qOverload<>(&QTimer::start));
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&infoTimer, &QTimer::timeout, &loop, [&] { guarded([&] { target.keepInfo(); }); });
    connect(&idle, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        if (reply)
            reply->abort();
    });

    // Besides the inactivity time-out, which a trickle of bytes keeps restarting: the bytes of the
    // last window, once the attempt has run that long.
    RateWatch rate(FMinimumRate, FMinimumRateWindow);
    QElapsedTimer clock;
    clock.start();
    connect(&rateCheck, &QTimer::timeout, &loop, [&] {
        if (rate.tooSlow(clock.elapsed(), received)) {
            tooSlow = true;
            if (reply)
                reply->abort();
        }
    });
    if (FMinimumRate > 0) {
        rateCheck.setInterval(rate.checkInterval());
        rateCheck.start();
    }

    idle.start();
    if (!reply->isFinished())
        loop.exec();
    if (!self)
        throw EAbort();
    idle.stop();
    rateCheck.stop();
    infoTimer.stop();
    if (!reply) // the manager went away with the reply
        throw EAbort();
    guarded(drain);
    guarded(begin);

    const int status = statusOf(*reply);
    if (FAbortRequested)
        failure = std::make_exception_ptr(EAbort());
    const auto cut = [&](QNetworkReply::NetworkError error, const QString &text) {
        failure = std::make_exception_ptr(ENetworkError(error, text));
        outcome = Outcome::Cut;
    };
    if (!failure) {
        if (!oddity.isEmpty()) {
            failure = std::make_exception_ptr(Exception(oddity));
            outcome = Outcome::Restart;
        } else if (!refusal.isEmpty()) {
            failure = std::make_exception_ptr(Exception(refusal));
        } else if (timedOut) {
            cut(QNetworkReply::TimeoutError,
                QStringLiteral("No data arrived from the server for %1 seconds; the transfer was ended")
                    .arg(double(FInactivityTimeout.count()) / 1000.0));
        } else if (tooSlow) {
            cut(QNetworkReply::TimeoutError,
                QStringLiteral("The transfer was slower than %1 bytes per second for %2 seconds; it was ended")
                    .arg(FMinimumRate)
                    .arg(double(FMinimumRateWindow.count()) / 1000.0));
        } else if (const QString proxyText = reply->error() == QNetworkReply::NoError
                                                 ? QString()
                                                 : FProxyLogin.failure(*reply, proxyNameFor(*FManager, url), url);
                   !proxyText.isEmpty()) {
            failure = std::make_exception_ptr(
                EProxyError(proxyText, reply->error() == QNetworkReply::ProxyAuthenticationRequiredError));
        } else if (redirecting && reply->error() == QNetworkReply::NoError) {
            outcome = Outcome::Redirect;
        } else if (status >= 400 || (reply->error() == QNetworkReply::NoError && !isSuccess(status))) {
            target.discard(); // the file is not there (for us) any more
            failure = std::make_exception_ptr(EIdHTTPProtocolException(
                status, QStringLiteral("HTTP/1.1 %1 %2")
                            .arg(status)
                            .arg(QString::fromLatin1(
                                reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray()))
                            .trimmed()));
        } else if (reply->error() != QNetworkReply::NoError) {
            if (isTransient(reply->error()))
                cut(reply->error(), networkErrorText(reply->error()));
            else
                failure = std::make_exception_ptr(ENetworkError(reply->error()));
        } else if (received != expected) {
            cut(QNetworkReply::RemoteHostClosedError,
                QStringLiteral("The transfer ended after %1 of %2 bytes").arg(base + received).arg(total));
        } else {
            if (!target.close()) {
                target.discard();
                failure = std::make_exception_ptr(target.writeError());
            } else if (hasher && hasher->result() != want->sha256) {
                // Not the file asked for. When part of it came from an earlier attempt, that part
                // may be what differs: the whole file is asked for once more.
                target.discard();
                failure = std::make_exception_ptr(EContentMismatch(total, true));
                if (base > 0)
                    outcome = Outcome::Restart;
            } else {
                try {
                    target.install();
                    outcome = Outcome::Done;
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            if (outcome == Outcome::Done) {
                // A continued answer names the file as the part before it did, when it names it at all.
                const QByteArray etag = partial::strongETag(*reply);
                const QByteArray modified = partial::lastModified(*reply);
                FLastFile = {total, etag.isEmpty() && base > 0 ? stored.etag : etag,
                             modified.isEmpty() && base > 0 ? stored.lastModified : modified};
            }
        }
    }
    if (OnWorkEnd && !redirecting) {
        try {
            OnWorkEnd(WorkMode::Read);
        } catch (...) {
            failure = failure && outcome == Outcome::Failed ? failure : std::current_exception();
            outcome = Outcome::Failed;
        }
    }
    return outcome;
}

} // namespace klv
