// A release of many small packages over https: HttpClient fetches them one after the other, as a
// download run does, beside one curl that fetches the same files over one kept-alive connection
// (curl --config with a "url =" line per file), both from the test nginx on 127.0.0.1. Each round
// runs ours and then curl; the report gives the best of each and the median of the rounds' ratios
// (curl time / our time) with their spread.
//   bench_packages [packages=200] [kilobytes=100] [rounds=7] [hashed]
// "hashed" checks every file's length and SHA-256 as a signed package list asks.
// Build without sanitizers (-DKLV_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release) for real figures.

#include "HttpBench.h"
#include "PairedRounds.h"
#include "platform/Exceptions.h"
#include "platform/HttpClient.h"
#include "platform/NetworkThreadGate.h"
#include "platform/Sha256.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

using namespace httpbench;

int main(int argc, char **argv)
{
    klv::preferCoalescingEventLoop(); // as the updater does
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int packages = args.size() > 1 ? args[1].toInt() : 200;
    const qint64 size = (args.size() > 2 ? args[2].toLongLong() : 100) * 1024;
    const int rounds = args.size() > 3 ? args[3].toInt() : 7;
    const bool hashed = args.size() > 4 && args[4] == u"hashed";
    if (packages < 1 || size < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: bench_packages [packages] [kilobytes] [rounds] [hashed]\n");
        return 2;
    }

    QTemporaryDir work;
    const QString dir = work.filePath(QStringLiteral("nginx"));
    const QString httpsPort = QString::number(freePort());
    if (!fixture({QStringLiteral("start"), dir, QString::number(freePort()), httpsPort})) {
        std::fprintf(stderr, "cannot start nginx\n");
        return 1;
    }
    const auto stop = qScopeGuard([&] { fixture({QStringLiteral("stop"), dir}); });
    const QString served = dir + QStringLiteral("/docroot/supports/klv138/");
    QDir().mkpath(served);
    std::vector<klv::ExpectedFile> expected;
    QStringList urls;
    for (int i = 0; i < packages; ++i) {
        const QString name = QStringLiteral("pkg%1.zlb").arg(i, 3, 10, QLatin1Char('0'));
        if (!writeBigFile(served + name, size + i)) {
            std::fprintf(stderr, "cannot write the packages\n");
            return 1;
        }
        QFile file(served + name);
        file.open(QIODevice::ReadOnly);
        klv::Sha256 hasher;
        hasher.add(file.readAll());
        expected.push_back({size + i, hasher.result()});
        urls << QStringLiteral("https://127.0.0.1:%1/supports/klv138/%2").arg(httpsPort, name);
    }
    const QString ca = dir + QStringLiteral("/tls/ca.pem");
    const QString ours = work.filePath(QStringLiteral("ours"));
    const QString theirs = work.filePath(QStringLiteral("curl"));
    QDir().mkpath(ours);
    QDir().mkpath(theirs);

    // curl's configuration: the credentials, the authority, and a url and output line per file.
    const QString config = work.filePath(QStringLiteral("curl.conf"));
    {
        QFile file(config);
        file.open(QIODevice::WriteOnly);
        QByteArray text =
            QByteArray("silent\nfail\nuser = \"") + kUser + ':' + kPassword + "\"\ncacert = \"" + ca.toUtf8() + "\"\n";
        for (qsizetype i = 0; i < urls.size(); ++i)
            text += "url = \"" + urls[i].toUtf8() + "\"\noutput = \"" + theirs.toUtf8() + "/" +
                    urls[i].section(u'/', -1).toUtf8() + "\"\n";
        file.write(text);
    }

    const auto runOurs = [&] {
        klv::HttpClient client; // a new client per run, as every download run has its own
        client.Username = QString::fromLatin1(kUser);
        client.Password = QString::fromLatin1(kPassword);
        client.addCaCertificate(QSslCertificate::fromPath(ca).value(0));
        QElapsedTimer timer;
        timer.start();
        for (qsizetype i = 0; i < urls.size(); ++i)
            client.get(QUrl(urls[i]), ours + u'/' + urls[i].section(u'/', -1), hashed ? &expected[size_t(i)] : nullptr);
        return double(timer.nsecsElapsed()) / 1e9;
    };
    const auto runCurl = [&] {
        QProcess curl;
        QElapsedTimer timer;
        timer.start();
        curl.start(QStringLiteral("curl"), {QStringLiteral("--config"), config});
        if (!curl.waitForFinished(600000) || curl.exitCode() != 0) {
            std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
            return -1.0;
        }
        return double(timer.nsecsElapsed()) / 1e9;
    };
    const auto cleanUp = [&] {
        for (const QString &folder : {ours, theirs}) {
            QDir(folder).removeRecursively();
            QDir().mkpath(folder);
        }
    };

    std::printf("%d packages of %lld KB over https%s, %d round(s)\n", packages, size / 1024,
                hashed ? ", length and SHA-256 checked" : "", rounds);
    bench::PairedRounds results("packages");
    try {
        runOurs(); // warm the page cache and the code
        runCurl();
        for (int round = 0; round < rounds; ++round) {
            cleanUp();
            const double a = runOurs();
            const double b = runCurl();
            if (b < 0)
                return 1;
            results.add(a, b);
        }
    } catch (const klv::Exception &e) {
        std::fprintf(stderr, "HttpClient: %s\n", e.what());
        return 1;
    }
    results.print(">= 0.8");
    return 0;
}
