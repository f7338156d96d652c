// Downloads one large file from the test nginx through HttpClient::get and through curl, in
// turns, and prints the throughput ratio and the client's peak resident memory (per download
// and over the run).
//   bench_http [megabytes=200] [rounds=3]
// KLV_BENCH_STALL_MS=n makes every 20th progress event block for n ms, as a busy window would;
// KLV_BENCH_RACE_MS=n stalls n ms right after each request is handed to Qt, as a busy machine may.
// Build without sanitizers (-DKLV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release) for real figures.

#include "HttpBench.h"
#include "platform/Exceptions.h"
#include "platform/HttpClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

using namespace httpbench;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 megabytes = args.size() > 1 ? args[1].toLongLong() : 200;
    const int rounds = args.size() > 2 ? args[2].toInt() : 3;
    const qint64 size = megabytes * 1024 * 1024;

    QTemporaryDir work;
    const QString dir = work.filePath(QStringLiteral("nginx"));
    const QString httpPort = QString::number(freePort());
    const QString httpsPort = QString::number(freePort());
    if (!fixture({QStringLiteral("start"), dir, httpPort, httpsPort})) {
        std::fprintf(stderr, "cannot start nginx\n");
        return 1;
    }
    const auto stop = qScopeGuard([&] { fixture({QStringLiteral("stop"), dir}); });
    if (!writeBigFile(dir + QStringLiteral("/docroot/supports/big.zlb"), size)) {
        std::fprintf(stderr, "cannot write the test file\n");
        return 1;
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1/supports/big.zlb").arg(httpPort);
    const QString ours = work.filePath(QStringLiteral("ours.zlb"));
    const QString theirs = work.filePath(QStringLiteral("curl.zlb"));

    klv::HttpClient client;
    client.Username = QString::fromLatin1(kUser);
    client.Password = QString::fromLatin1(kPassword);
    qint64 events = 0;
    const int stallMs = qEnvironmentVariableIntValue("KLV_BENCH_STALL_MS");
    if (const int raceMs = qEnvironmentVariableIntValue("KLV_BENCH_RACE_MS"))
        client.OnRequestIssued = [raceMs] { QThread::msleep(raceMs); };
    client.OnWork = [&](klv::WorkMode, int64_t) {
        if (stallMs > 0 && events % 20 == 1)
            QThread::msleep(stallMs);
        ++events;
    };

    const long rssBefore = peakRssKb();
    double bestOurs = 1e300;
    double bestCurl = 1e300;
    for (int round = 0; round < rounds; ++round) {
        resetPeakRss();
        QElapsedTimer timer;
        timer.start();
        try {
            client.get(QUrl(url), ours);
        } catch (const klv::Exception &e) {
            std::fprintf(stderr, "HttpClient: %s\n", e.what());
            return 1;
        }
        const double oursSeconds = double(timer.nsecsElapsed()) / 1e9;
        const long roundPeak = vmHwmKb();

        timer.restart();
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-f"), QStringLiteral("-u"),
                                            QStringLiteral("%1:%2").arg(QLatin1String(kUser), QLatin1String(kPassword)),
                                            QStringLiteral("-o"), theirs, url});
        if (!curl.waitForFinished(-1) || curl.exitCode() != 0) {
            std::fprintf(stderr, "curl failed\n");
            return 1;
        }
        const double curlSeconds = double(timer.nsecsElapsed()) / 1e9;
        if (QFileInfo(ours).size() != size || QFileInfo(theirs).size() != size) {
            std::fprintf(stderr, "a download has the wrong size\n");
            return 1;
        }
        std::printf("round %d: HttpClient %.3f s, curl %.3f s, peak RSS of this download %.1f MB\n", round + 1,
                    oursSeconds, curlSeconds, double(roundPeak) / 1024.0);
        bestOurs = std::min(bestOurs, oursSeconds);
        bestCurl = std::min(bestCurl, curlSeconds);
        QFile::remove(ours);
        QFile::remove(theirs);
    }
    const double mb = double(size) / (1024.0 * 1024.0);
    std::printf("file %.0f MB, best of %d\n", mb, rounds);
    std::printf("HttpClient %.1f MB/s, curl %.1f MB/s, ratio %.3f (aim >= 0.9)\n", mb / bestOurs, mb / bestCurl,
                bestCurl / bestOurs);
    std::printf(
        "peak RSS %.1f MB over the run (%.1f MB before the downloads; aim < 64 MB), %lld progress events per round\n",
        double(peakRssKb()) / 1024.0, double(rssBefore) / 1024.0, events / rounds);
    return 0;
}
