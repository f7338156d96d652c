#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <thread>

// A tiny HTTP server on 127.0.0.1 for the faults a real server rarely shows: it answers every
// request with a scripted sequence of raw bytes and pauses, then closes the connection. A
// responder chooses the script per request instead (answers that depend on a Range header, or
// that change from one request to the next); it runs on the server's thread.
class FaultServer
{
public:
    struct Step
    {
        QByteArray bytes;
        int pauseMs = 0;
    };

    FaultServer();
    ~FaultServer();
    FaultServer(const FaultServer &) = delete;
    FaultServer &operator=(const FaultServer &) = delete;

    using Responder = std::function<QList<Step>(const QByteArray &requestHead, int index)>;

    // The answer to every following request.
    void setScript(const QList<Step> &steps);
    // Called with the head of each following request and its number (0 for the first request the
    // server received); its answer replaces the script.
    void setResponder(Responder responder);
    QUrl url(const QString &path) const;
    // Heads of the requests received so far.
    QList<QByteArray> requests() const;

    // Header block of an answer with the given status line and extra header lines.
    static QByteArray head(const QByteArray &status, const QByteArray &headers = {});

private:
    void run();
    void serve(class QTcpSocket &socket);
    bool pause(class QTcpSocket &socket, int ms) const;

    std::atomic<bool> FStop{false};
    std::atomic<int> FPort{0};
    mutable QMutex FMutex;
    QList<Step> FScript;
    Responder FResponder;
    QList<QByteArray> FRequests;
    std::thread FThread;
};
