#pragma once

#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <chrono>
#include <cstdint>
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

// The updater's HTTP client: blocking GET requests into files, run on a nested event loop so
// that the window keeps painting and answering. Basic authentication goes with every request
// (the update server never challenges first), cookies live as long as the client, redirects
// are followed unless they lead from https to http, and a transfer that goes quiet for the
// inactivity time-out ends with an error.
class HttpClient : public QObject
{
    Q_OBJECT

public:
    explicit HttpClient(QObject *parent = nullptr);
    ~HttpClient() override;

    // Credentials sent with every request; empty user name and password send none.
    QString Username;
    QString Password;

    // Optional work events, called synchronously from inside get(). Begin carries the length
    // the server announced (0 for an error answer), Work the bytes received so far. Every request
    // that was sent reports exactly one begin and one end, also when it fails.
    std::function<void(WorkMode mode, int64_t workCountMax)> OnWorkBegin;
    std::function<void(WorkMode mode, int64_t workCount)> OnWork;
    std::function<void(WorkMode mode)> OnWorkEnd;

    // Fetches `url` into `destinationPath`. The body goes to a temporary file beside the
    // destination, which replaces the destination only when the whole body arrived with a
    // success status and exactly the announced length; an answer without a length is refused.
    // The folder must exist; none is created and then no request is sent.
    // Throws EIdHTTPProtocolException for an error status, EInOutError for file errors and
    // Exception for network failures, time-outs and incomplete bodies.
    void get(const QUrl &url, const QString &destinationPath);

    bool isBusy() const { return FLoop != nullptr; }
    // Ends a running transfer from inside its event loop (a window that closes): get() discards
    // what arrived and raises the silent abort. Does nothing when no transfer runs.
    void abort();

    std::chrono::milliseconds inactivityTimeout() const { return FInactivityTimeout; }
    void setInactivityTimeout(std::chrono::milliseconds timeout);
    // Trusts an extra certificate authority besides the system's (test servers).
    void addCaCertificate(const QSslCertificate &certificate);

    static QByteArray userAgent();

private:
    QNetworkRequest makeRequest(const QUrl &url) const;

    QNetworkAccessManager *FManager;
    QSslConfiguration FSsl;
    QList<QSslCertificate> FAddedAuthorities;
    std::chrono::milliseconds FInactivityTimeout{std::chrono::seconds(60)};
    QEventLoop *FLoop = nullptr;
    QNetworkReply *FReply = nullptr; // the transfer get() is running
    bool FAbortRequested = false;
};

} // namespace klv
