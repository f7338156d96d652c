// Downloads one large file from the test nginx through HttpClient::get, in turns with and without
// the SHA-256 check that a signed package list asks for, and prints the throughput ratio: the
// digest is taken while the bytes arrive, so it should cost next to nothing.
//   bench_hashed [megabytes=200] [rounds=7] [lan]
// "lan" fetches from a location that nginx serves at 100 MB/s, a fast office network; without it
// the loopback delivers as fast as the machine can copy.
// Build without sanitizers (-DKLV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release) for real figures.

#include "HttpBench.h"
#include "platform/Exceptions.h"
#include "platform/HttpClient.h"
#include "platform/Sha256.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {
// CPU seconds of the whole process so far (all threads, user and system).
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
// Busy CPU seconds of the whole machine so far (nginx and the kernel's loopback work included).
double machineSeconds()
{
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    double busy = 0;
    for (qsizetype i = 1; i < fields.size(); ++i)
        if (i != 4 && i != 5) // idle and iowait
            busy += fields[i].toDouble();
    return busy / double(sysconf(_SC_CLK_TCK));
}
} // namespace

using namespace httpbench;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 megabytes = args.size() > 1 ? args[1].toLongLong() : 200;
    const int rounds = args.size() > 2 ? args[2].toInt() : 7;
    const QString folder = args.size() > 3 && args[3] == u"lan" ? QStringLiteral("lan") : QStringLiteral("supports");
    const qint64 size = megabytes * 1024 * 1024;

    QTemporaryDir work;
    const QString dir = work.filePath(QStringLiteral("nginx"));
    const QString httpPort = QString::number(freePort());
    if (!fixture({QStringLiteral("start"), dir, httpPort, QString::number(freePort())})) {
        std::fprintf(stderr, "cannot start nginx\n");
        return 1;
    }
    const auto stop = qScopeGuard([&] { fixture({QStringLiteral("stop"), dir}); });
    const QString served = dir + QStringLiteral("/docroot/%1/big.zlb").arg(folder);
    QDir().mkpath(QFileInfo(served).path());
    if (!writeBigFile(served, size)) {
        std::fprintf(stderr, "cannot write the test file\n");
        return 1;
    }
    QFile file(served);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    klv::Sha256 hasher;
    while (!file.atEnd())
        hasher.add(file.read(1 << 20));
    const klv::ExpectedFile expected{size, hasher.result()};

    const QUrl url(QStringLiteral("http://127.0.0.1:%1/%2/big.zlb").arg(httpPort, folder));
    const QString target = work.filePath(QStringLiteral("big.zlb"));
    klv::HttpClient client;
    client.Username = QString::fromLatin1(kUser);
    client.Password = QString::fromLatin1(kPassword);
    double cpu = 0, machine = 0;
    long peakHashedKb = 0;
    const auto fetch = [&](const klv::ExpectedFile *check) {
        QFile::remove(target);
        const double cpuBefore = cpuSeconds(), machineBefore = machineSeconds();
        QElapsedTimer timer;
        timer.start();
        client.get(url, target, check);
        cpu = cpuSeconds() - cpuBefore;
        machine = machineSeconds() - machineBefore;
        return double(timer.nsecsElapsed()) / 1e9;
    };

    std::printf("SHA extensions: %s\n", klv::Sha256::hasShaExtensions() ? "yes" : "no");
    double bestPlain = 1e300, bestHashed = 1e300;
    QList<double> paired;
    try {
        fetch(nullptr); // warm the page cache and the connection code
        for (int round = 0; round < rounds; ++round) {
            // Alternating which goes first, so that neither always finds the other's leftovers.
            double plain = 0, hashed = 0, plainCpu = 0, hashedCpu = 0, plainMachine = 0, hashedMachine = 0;
            for (int turn = 0; turn < 2; ++turn) {
                if ((turn == 0) == (round % 2 == 0)) {
                    plain = fetch(nullptr);
                    plainCpu = cpu;
                    plainMachine = machine;
                } else {
                    resetPeakRss();
                    hashed = fetch(&expected);
                    peakHashedKb = std::max(peakHashedKb, vmHwmKb());
                    hashedCpu = cpu;
                    hashedMachine = machine;
                }
            }
            std::printf("round %d: plain %.3f s (cpu: ours %.3f s, machine %.3f s), hashed %.3f s (cpu: ours %.3f s, "
                        "machine %.3f s), ratio %.3f\n",
                        round + 1, plain, plainCpu, plainMachine, hashed, hashedCpu, hashedMachine, plain / hashed);
            bestPlain = std::min(bestPlain, plain);
            bestHashed = std::min(bestHashed, hashed);
            paired.append(plain / hashed);
        }
    } catch (const klv::Exception &e) {
        std::fprintf(stderr, "HttpClient: %s\n", e.what());
        return 1;
    }
    std::sort(paired.begin(), paired.end());
    const double mb = double(size) / (1024.0 * 1024.0);
    std::printf("file %.0f MB, %d rounds\n", mb, rounds);
    std::printf("best: plain %.1f MB/s, hashed %.1f MB/s, ratio %.3f (aim >= 0.95)\n", mb / bestPlain, mb / bestHashed,
                bestPlain / bestHashed);
    std::printf("peak RSS of a hashed download %.1f MB (aim < 64 MB)\n", double(peakHashedKb) / 1024.0);
    std::printf("median of paired rounds: ratio %.3f (lowest %.3f, highest %.3f)\n", paired[paired.size() / 2],
                paired.first(), paired.last());
    return 0;
}
