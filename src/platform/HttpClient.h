#pragma once

#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "Exceptions.h"
#include "HttpAnswer.h"
#include "ProxyChoice.h"
#include "ProxyLogin.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>

class QNetworkAccessManager;
class QEventLoop;
class QNetworkReply;

namespace klv {

enum class WorkMode
{
    Read,
    Write
};

// What a fetched file must be, when the caller knows it (a signed package list says so): its
// length and SHA-256 digest (32 bytes).
struct ExpectedFile
{
    int64_t length = -1;
    QByteArray sha256;
};

// How the server identifies a file it sent: the whole file's length and its validators (a strong
// ETag, a Last-Modified date), each empty when the server sent none.
struct FileValidators
{
    int64_t length = -1;
    QByteArray etag;
    QByteArray lastModified;

    bool identifiesFile() const { return !etag.isEmpty() || !lastModified.isEmpty(); }
    bool operator==(const FileValidators &other) const = default;
};

// A file that differs from what was expected: its announced length is another, or its digest.
class EContentMismatch : public Exception
{
public:
    EContentMismatch(int64_t actualLength, bool digestDiffers)
        : Exception(digestDiffers ? QStringLiteral("The file's SHA-256 digest differs from the expected one")
                                  : QStringLiteral("The file's length differs from the expected one")),
          FActualLength(actualLength), FDigestDiffers(digestDiffers)
    {
    }
    QString className() const override { return QStringLiteral("EContentMismatch"); }
    int64_t actualLength() const { return FActualLength; }
    bool digestDiffers() const { return FDigestDiffers; }

private:
    int64_t FActualLength;
    bool FDigestDiffers;
};

// A transfer that failed on the line: no connection, no answer, a cut or an untrusted server.
class ENetworkError : public Exception
{
public:
    explicit ENetworkError(QNetworkReply::NetworkError error, const QString &text = {})
        : Exception(text.isEmpty() ? http::networkErrorText(error) : text), FError(error)
    {
    }
    QString className() const override { return QStringLiteral("ENetworkError"); }
    QNetworkReply::NetworkError error() const { return FError; }

private:
    QNetworkReply::NetworkError FError;
};

// How a file may be taken besides what it must be: small files that are checked as a whole (a
// package list and its signature) are bounded and never pieced together from two transfers.
struct TransferLimits
{
    int64_t maxLength = -1;  // a larger answer is refused before its body is read; -1: no limit
    bool continuable = true; // false: never continued from a partial file, and none is kept
};

// An answer larger than the limit the caller set.
class ETooLarge : public Exception
{
public:
    ETooLarge(int64_t announced, int64_t limit)
        : Exception(
              QStringLiteral("The server announced %1 bytes, more than the %2 allowed").arg(announced).arg(limit)),
          FAnnounced(announced), FLimit(limit)
    {
    }
    QString className() const override { return QStringLiteral("ETooLarge"); }
    int64_t announced() const { return FAnnounced; }
    int64_t limit() const { return FLimit; }

private:
    int64_t FAnnounced;
    int64_t FLimit;
};

// The proxy server refused the request, its login, or could not be reached; the message names the
// proxy (never its password).
class EProxyError : public Exception
{
public:
    EProxyError(QString message, bool aboutLogin) : Exception(std::move(message)), FAboutLogin(aboutLogin) {}
    QString className() const override { return QStringLiteral("EProxyError"); }
    // The proxy wants a login it did not get or refused the one it got: asking again changes
    // nothing, and each refused try may count towards locking the user's account.
    bool aboutLogin() const { return FAboutLogin; }

private:
    bool FAboutLogin;
};

// The updater's HTTP client: blocking GET requests into files, run on a nested event loop so
// that the window keeps painting and answering. Basic authentication goes with every request
// (the update server never challenges first), cookies live as long as the client, and redirects
// are followed only within the same scheme, host and port (the credentials go along). Requests go
// through the proxy server the caller chose (the system's settings unless told otherwise); a proxy
// that wants a login is answered by ProxyLogin.
//
// Bad lines are expected: a transfer that is cut (the connection drops or closes early, nothing
// arrives for the inactivity time-out, or the transfer stays below the minimum rate) is tried
// again a few times, and continues where it stopped when the server can prove that the file is
// still the same one (a length and an ETag or Last-Modified). The body is kept in a partial file
// beside the destination with a small info file that describes it, so a later get() (also of a
// later process) continues it too.
class HttpClient : public QObject
{
    Q_OBJECT

public:
    explicit HttpClient(QObject *parent = nullptr);
    ~HttpClient() override;

    // Credentials sent with every request; empty user name and password send none.
    QString Username;
    QString Password;

    // Optional work events, called synchronously from inside get(). Begin carries the length of
    // the whole file (0 for an error answer), Work the bytes of the file present so far, including
    // those an earlier attempt left. Every request that was sent reports exactly one begin and one
    // end, also when it fails; a get() that tries again sends and reports several.
    std::function<void(WorkMode mode, int64_t workCountMax)> OnWorkBegin;
    std::function<void(WorkMode mode, int64_t workCount)> OnWork;
    std::function<void(WorkMode mode)> OnWorkEnd;
    // Asked when the proxy server wants a login it did not get, or refused the one it got
    // (`refused`): fills in a user name and password and returns true, or false to give up. What
    // it gives is kept for the client's life only.
    ProxyLogin::Asker OnProxyLogin;
    // Called right after a request was handed to Qt, before its limits are set: tests stall here,
    // as a busy machine may, to show that no answer is read before the limits are in force.
    std::function<void()> OnRequestIssued;

    // Fetches `url` into `destinationPath`. The body goes to the partial file beside the
    // destination, which replaces the destination only when the whole file arrived with a
    // success status and exactly the announced length; an answer without a length is refused.
    // The destination keeps its old content on every failure. The folder must exist; none is
    // created and then no request is sent.
    // With `expected`, an answer of another length is refused before its body is read, and the
    // body is hashed as it arrives; a file whose digest differs never replaces the destination.
    // `limits` may bound the length (ETooLarge, nothing kept) and forbid continuing a partial file.
    // Throws EIdHTTPProtocolException for an error status (the partial file is removed: the file
    // is gone), EContentMismatch for a file that is not the expected one (removed as well),
    // EInOutError for file errors ("Schijf vol" for a full disk) and Exception for network
    // failures, time-outs, incomplete bodies and refused redirects.
    void get(const QUrl &url, const QString &destinationPath, const ExpectedFile *expected = nullptr,
             const TransferLimits &limits = {});

    // The next get() asks for the file only when the server's copy is no longer `have`
    // (If-None-Match, If-Modified-Since; `have` must identify the file). The server's answer that
    // it has not changed raises EIdHTTPProtocolException with status 304 and leaves the destination
    // as it was. Validators that are not plain header values are not sent.
    void onlyIfChangedFrom(const FileValidators &have);
    // The file the last get() put in place, as the server identified it; empty after a failure.
    const FileValidators &lastFile() const { return FLastFile; }

    bool isBusy() const { return FBusy; }
    // The bytes of the file that an earlier attempt left and the running one continues from; valid
    // from its begin event on, so that a speed is taken over what this attempt fetched.
    int64_t resumedFrom() const { return FResumedFrom; }
    // Ends a running transfer, or the pause before the next attempt, from inside its event loop
    // (a window that closes): get() raises the silent abort. A partial file that can be continued
    // is kept. Does nothing when no transfer runs.
    void abort();

    std::chrono::milliseconds inactivityTimeout() const { return FInactivityTimeout; }
    void setInactivityTimeout(std::chrono::milliseconds timeout);
    // How often one get() tries again after a cut transfer (not after an error status, a file
    // error, a refused redirect or an abort), and the pause before each new attempt.
    int retries() const { return FRetries; }
    void setRetries(int retries);
    std::chrono::milliseconds retryPause() const { return FRetryPause; }
    void setRetryPause(std::chrono::milliseconds pause);
    // A transfer that receives fewer than bytesPerSecond on average over `window` (counted once
    // the attempt has run that long) is ended as cut. 0 turns the check off.
    int64_t minimumRate() const { return FMinimumRate; }
    std::chrono::milliseconds minimumRateWindow() const { return FMinimumRateWindow; }
    void setMinimumRate(int64_t bytesPerSecond, std::chrono::milliseconds window);
    // The proxy server the transfers go through: the system's settings unless set otherwise.
    void setProxy(const ProxyChoice &choice);
    // Trusts an extra certificate authority besides the system's (test servers).
    void addCaCertificate(const QSslCertificate &certificate);

    static QByteArray userAgent();

    // The partial body of a transfer that may be continued, and the text file that describes it
    // (its length and validators), both beside the destination.
    static constexpr char kPartialSuffix[] = ".klvpart";
    static constexpr char kPartialInfoSuffix[] = ".klvpart.info";
    // Every file get() may leave beside `destinationPath` (for a clean-up that removes them).
    static QStringList temporaryFileNames(const QString &destinationPath);

private:
    enum class Outcome
    {
        Done,
        Cut,      // may be tried again
        Restart,  // the partial file did not fit the server's answer; it was dropped
        Redirect, // ask the target instead
        Failed
    };

    QNetworkRequest makeRequest(const QUrl &url) const;
    // One request for `url` (`asked`, or where it redirected to).
    Outcome attempt(const QUrl &url, const QUrl &asked, const QString &destinationPath, const ExpectedFile *want,
                    const TransferLimits &limits, std::exception_ptr &failure, QUrl &redirect);
    void pauseBeforeRetry();

    QNetworkAccessManager *FManager;
    QSslConfiguration FSsl;
    QList<QSslCertificate> FAddedAuthorities;
    std::chrono::milliseconds FInactivityTimeout{std::chrono::seconds(60)};
    int FRetries = 3;
    std::chrono::milliseconds FRetryPause{std::chrono::seconds(2)};
    int64_t FMinimumRate = 1024;
    std::chrono::milliseconds FMinimumRateWindow{std::chrono::seconds(120)};
    int64_t FResumedFrom = 0;
    FileValidators FOnlyIfChangedFrom; // for the next get() only
    FileValidators FLastFile;
    bool FBusy = false;
    QEventLoop *FLoop = nullptr;     // the transfer's or the pause's loop
    QNetworkReply *FReply = nullptr; // the transfer get() is running
    bool FAbortRequested = false;
    ProxyLogin FProxyLogin;
};

} // namespace klv
