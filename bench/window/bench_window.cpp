// Downloads one large file from the test nginx through the window's DownloadFile (the HTTP
// client with the window's progress handlers, the window shown on an offscreen screen) and
// through curl, in turns, and prints the throughput ratio and the updater's peak resident memory.
//   bench_window [megabytes=200] [rounds=3]
// Uses a running fixture when KLV_NGINX_DIR and KLV_NGINX_HTTP_PORT are set
// (nginx-fixture.sh start DIR PORT HTTPSPORT), else starts one of its own on free ports.
// Build without sanitizers (-DKLV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release) for real figures.

#include "../http/HttpBench.h"
#include "AutoUpdateFrm.h"
#include "platform/Exceptions.h"
#include "platform/HttpClient.h"
#include "platform/ScriptedDialogs.h"
#include "platform/ServerAddress.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace httpbench;

namespace {

// Starts nothing: closing the window is not part of the measurement.
class IdleShell : public klv::Shell
{
public:
    intptr_t shellExecute(int32_t, const QString &, const QString &, const QString &, const QString &, int) override
    {
        return 42;
    }
    bool postMessage(int32_t, unsigned, uintptr_t, intptr_t) override { return false; }
    bool isWindow(int32_t) override { return false; }
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 megabytes = args.size() > 1 ? args[1].toLongLong() : 200;
    const int rounds = args.size() > 2 ? args[2].toInt() : 3;
    const qint64 size = megabytes * 1024 * 1024;

    QTemporaryDir work;
    QString dir = qEnvironmentVariable("KLV_NGINX_DIR");
    QString httpPort = qEnvironmentVariable("KLV_NGINX_HTTP_PORT");
    const bool ownFixture = dir.isEmpty() || httpPort.isEmpty();
    if (ownFixture) {
        dir = work.filePath(QStringLiteral("nginx"));
        httpPort = QString::number(freePort());
        if (!fixture({QStringLiteral("start"), dir, httpPort, QString::number(freePort())})) {
            std::fprintf(stderr, "cannot start nginx\n");
            return 1;
        }
    }
    const auto stop = qScopeGuard([&] {
        if (ownFixture)
            fixture({QStringLiteral("stop"), dir});
    });
    const QString served = dir + QStringLiteral("/docroot/supports/bench-window.zlb");
    if (!writeBigFile(served, size)) {
        std::fprintf(stderr, "cannot write the test file\n");
        return 1;
    }
    const auto unpublish = qScopeGuard([&] { QFile::remove(served); });
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(httpPort);
    const QString url = base + QStringLiteral("/supports/bench-window.zlb");

    // A bare installation: no alias file, so the window opens no database (the failure is
    // recorded by the scripted dialogs) and the credentials are set by hand.
    const QString install = work.filePath(QStringLiteral("Klv")) + u'/';
    QDir().mkpath(install);
    const QString ours = install + QStringLiteral("bench-window.zlb");
    const QString theirs = work.filePath(QStringLiteral("curl.zlb"));
    klv::ScriptedDialogs dialogs;
    IdleShell shell;
    klv::FixedClock clock(QDateTime::currentDateTime());
    auto *window = new klv::TFrmAutoUpdate(klv::Seams{dialogs, shell, clock, klv::Folders(install, install),
                                                      klv::AliasTable(install + QStringLiteral("KlvAliases.ini")),
                                                      klv::scrambleServerBase(base)},
                                           {QStringLiteral("0"), QStringLiteral("0")});
    const auto closeWindow = qScopeGuard([&] { delete window; });
    window->IdHTTP1->Username = QString::fromLatin1(kUser);
    window->IdHTTP1->Password = QString::fromLatin1(kPassword);
    qint64 events = 0;
    window->OnTransferProgress = [&](int64_t, int64_t) { ++events; };
    window->show();
    QApplication::processEvents();

    const long rssBefore = peakRssKb();
    long worstRound = 0;
    double bestOurs = 1e300;
    double bestCurl = 1e300;
    for (int round = 0; round < rounds; ++round) {
        resetPeakRss();
        QElapsedTimer timer;
        timer.start();
        try {
            window->DownloadFile(QStringLiteral("bench-window.zlb"), QStringLiteral("/supports/"), QString());
        } catch (const klv::Exception &e) {
            std::fprintf(stderr, "DownloadFile: %s\n", e.what());
            return 1;
        }
        const double oursSeconds = double(timer.nsecsElapsed()) / 1e9;
        const long roundPeak = vmHwmKb();
        worstRound = std::max(worstRound, roundPeak);

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
        std::printf("round %d: DownloadFile %.3f s, curl %.3f s, peak RSS of this download %.1f MB\n", round + 1,
                    oursSeconds, curlSeconds, double(roundPeak) / 1024.0);
        std::fflush(stdout);
        bestOurs = std::min(bestOurs, oursSeconds);
        bestCurl = std::min(bestCurl, curlSeconds);
        QFile::remove(ours);
        QFile::remove(theirs);
    }
    const double mb = double(size) / (1024.0 * 1024.0);
    std::printf("file %.0f MB, best of %d\n", mb, rounds);
    std::printf("DownloadFile %.1f MB/s, curl %.1f MB/s, ratio %.3f (aim >= 0.9)\n", mb / bestOurs, mb / bestCurl,
                bestCurl / bestOurs);
    std::printf("peak RSS %.1f MB over the run, worst download %.1f MB (%.1f MB with the window shown; aim < 64 MB), "
                "%lld progress events per round\n",
                double(peakRssKb()) / 1024.0, double(worstRound) / 1024.0, double(rssBefore) / 1024.0, events / rounds);
    return 0;
}
