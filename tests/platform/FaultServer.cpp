#include "FaultServer.h"

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

FaultServer::FaultServer()
{
    FThread = std::thread([this] { run(); });
    while (FPort.load() == 0)
        QThread::msleep(5);
}

FaultServer::~FaultServer()
{
    FStop = true;
    FThread.join();
}

void FaultServer::setScript(const QList<Step> &steps)
{
    QMutexLocker lock(&FMutex);
    FScript = steps;
}

void FaultServer::setResponder(Responder responder)
{
    QMutexLocker lock(&FMutex);
    FResponder = std::move(responder);
}

QUrl FaultServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(FPort.load()).arg(path));
}

QList<QByteArray> FaultServer::requests() const
{
    QMutexLocker lock(&FMutex);
    return FRequests;
}

QByteArray FaultServer::head(const QByteArray &status, const QByteArray &headers)
{
    return "HTTP/1.1 " + status + "\r\nConnection: close\r\n" + headers + "\r\n";
}

void FaultServer::run()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        FPort = -1;
        return;
    }
    FPort = server.serverPort();
    while (!FStop) {
        if (!server.waitForNewConnection(20))
            continue;
        QTcpSocket *socket = server.nextPendingConnection();
        serve(*socket);
        delete socket;
    }
}

void FaultServer::serve(QTcpSocket &socket)
{
    QByteArray request;
    while (!request.contains("\r\n\r\n")) {
        if (FStop || socket.state() != QAbstractSocket::ConnectedState)
            return;
        if (socket.waitForReadyRead(20))
            request += socket.readAll();
    }
    QList<Step> script;
    {
        QMutexLocker lock(&FMutex);
        const QByteArray head = request.left(request.indexOf("\r\n\r\n"));
        FRequests.append(head);
        script = FResponder ? FResponder(head, int(FRequests.size()) - 1) : FScript;
    }
    for (const Step &step : script) {
        socket.write(step.bytes);
        while (socket.bytesToWrite() > 0 && socket.state() == QAbstractSocket::ConnectedState)
            socket.waitForBytesWritten(20);
        if (!pause(socket, step.pauseMs))
            break;
    }
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
}

// Ends early when the client has gone, so that the server is free for its next attempt.
bool FaultServer::pause(QTcpSocket &socket, int ms) const
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        if (FStop || socket.state() != QAbstractSocket::ConnectedState)
            return false;
        if (socket.waitForReadyRead(5))
            socket.readAll();
    }
    return true;
}
