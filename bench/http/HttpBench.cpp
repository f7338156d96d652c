#include "HttpBench.h"

#include <QByteArray>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>

#include <sys/resource.h>

#include <algorithm>

namespace httpbench {

const char *const kUser = "klvtest";
const char *const kPassword = "Kl1-Test:Key";

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The process's peak resident memory since the last resetPeakRss(), from /proc.
long vmHwmKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

void resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

bool fixture(const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("bash"), QStringList{QStringLiteral(KLV_NGINX_SCRIPT)} + args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool writeBigFile(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (char &c : block) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    for (qint64 written = 0; written < bytes; written += block.size())
        if (file.write(block.constData(), std::min<qint64>(block.size(), bytes - written)) < 0)
            return false;
    return true;
}

} // namespace httpbench
