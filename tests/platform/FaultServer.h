#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QUrl>

#include <atomic>
#include <thread>

// A tiny HTTP server on 127.0.0.1 for the faults a real server rarely shows: it answers every
// request with a scripted sequence of raw bytes and pauses, then closes the connection.
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

    // The answer to every following request.
    void setScript(const QList<Step> &steps);
    QUrl url(const QString &path) const;
    // Heads of the requests received so far.
    QList<QByteArray> requests() const;

    // Header block of an answer with the given status line and extra header lines.
    static QByteArray head(const QByteArray &status, const QByteArray &headers = {});

private:
    void run();
    void serve(class QTcpSocket &socket);
    bool pause(int ms) const;

    std::atomic<bool> FStop{false};
    std::atomic<int> FPort{0};
    mutable QMutex FMutex;
    QList<Step> FScript;
    QList<QByteArray> FRequests;
    std::thread FThread;
};
