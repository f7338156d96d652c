#include "platform/Exceptions.h"
#include "platform/HttpClient.h"
#include "platform/Sha256.h"

#include "FaultServer.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSet>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace klv;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(QList<FaultServer::Step>)
Q_DECLARE_METATYPE(QList<QByteArray>)

namespace {

// The work events of one client, in order: "begin N", "work N", "end".
struct WorkLog
{
    QStringList events;

    void attach(HttpClient &client)
    {
        client.OnWorkBegin = [this](WorkMode mode, int64_t max) {
            QVERIFY(mode == WorkMode::Read);
            events << QStringLiteral("begin %1").arg(max);
        };
        client.OnWork = [this](WorkMode, int64_t count) { events << QStringLiteral("work %1").arg(count); };
        client.OnWorkEnd = [this](WorkMode) { events << QStringLiteral("end"); };
    }
    int count(const QString &prefix) const
    {
        return int(std::count_if(events.begin(), events.end(), [&](const QString &e) { return e.startsWith(prefix); }));
    }
};

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

QByteArray bodyOfSize(int size)
{
    QByteArray body(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        body[i] = char('a' + (i * 7 + i / 251) % 26);
    return body;
}

QStringList filesIn(const QString &folder)
{
    QStringList names;
    QDir dir(folder);
    for (const QFileInfo &info : dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name))
        names << (info.isDir() ? info.fileName() + "/" : info.fileName());
    return names;
}

} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void fetchIntoFolder_data();
    void fetchIntoFolder();
    void firstRequestCarriesCredentialsAndHeaders();
    void errorStatusWritesNothing_data();
    void errorStatusWritesNothing();
    void missingFolderSendsNoRequest();
    void cookieComesBack();
    void redirects_data();
    void redirects();
    void limitHoldsWhenTheRequestStalls_data();
    void limitHoldsWhenTheRequestStalls();
    void transfersShareAConnection();
    void httpsTrust_data();
    void httpsTrust();

    void faultsLeaveNothing_data();
    void faultsLeaveNothing();
    void workEventsFollowTheBody();
    void connectionRefused();
    void windowStaysResponsive();
    void secondGetRefusedWhileRunning();
    void handlerExceptionEndsTransfer();
    void destroyedDuringTransfer();
    void abortedFromTheLoop();

    void resumeAfterCut_data();
    void resumeAfterCut();
    void expectedFile_data();
    void expectedFile();
    void boundedWholeTransfer_data();
    void boundedWholeTransfer();
    void resumeAnswers_data();
    void resumeAnswers();
    void resumeAgainstNginx_data();
    void resumeAgainstNginx();
    void whatACutLeaves_data();
    void whatACutLeaves();
    void infoWrittenOnceTheTransferRuns();
    void retries_data();
    void retries();
    void minimumRate_data();
    void minimumRate();
    void abortDuringRetryPause_data();
    void abortDuringRetryPause();
    void fullDisk();
    void destinationNotReplaceable();

private:
    QUrl nginxUrl(const QString &path, bool https = false) const;
    void publish(const QString &name, const QByteArray &bytes);
    QStringList logLinesFor(const QString &path) const;
    std::unique_ptr<HttpClient> nginxClient() const;

    QString FDocroot;
    QString FTestFolder; // below the docroot, one per test
    std::unique_ptr<QTemporaryDir> FInstall;
};

void TestHttpClient::initTestCase()
{
    if (env("KLV_NGINX_HTTP_PORT").isEmpty())
        QFAIL("KLV_NGINX_* is not set: run this test through ctest, which starts the nginx fixture");
    FDocroot = env("KLV_NGINX_DOCROOT");
}

void TestHttpClient::init()
{
    FTestFolder = QStringLiteral("t%1-%2")
                      .arg(QCoreApplication::applicationPid())
                      .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    QVERIFY(QDir(FDocroot).mkpath(FTestFolder));
    FInstall = std::make_unique<QTemporaryDir>();
    QVERIFY(FInstall->isValid());
}

void TestHttpClient::cleanup()
{
    QDir(FDocroot + "/" + FTestFolder).removeRecursively();
    FInstall.reset();
}

QUrl TestHttpClient::nginxUrl(const QString &path, bool https) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2/%3")
                    .arg(https ? "https" : "http", env(https ? "KLV_NGINX_HTTPS_PORT" : "KLV_NGINX_HTTP_PORT"), path));
}

void TestHttpClient::publish(const QString &name, const QByteArray &bytes)
{
    testsupport::writeFile(FDocroot + "/" + FTestFolder + "/" + name, bytes);
}

QStringList TestHttpClient::logLinesFor(const QString &path) const
{
    QStringList lines;
    const QString log = QString::fromUtf8(testsupport::readFile(env("KLV_NGINX_DIR") + "/logs/access.log"));
    for (const QString &line : log.split('\n'))
        if (line.contains(" " + path + " "))
            lines << line;
    return lines;
}

std::unique_ptr<HttpClient> TestHttpClient::nginxClient() const
{
    auto client = std::make_unique<HttpClient>();
    client->Username = env("KLV_NGINX_USER");
    client->Password = env("KLV_NGINX_PASSWORD");
    return client;
}

void TestHttpClient::fetchIntoFolder_data()
{
    QTest::addColumn<QString>("subfolder");
    QTest::addColumn<QByteArray>("earlier");
    QTest::addColumn<int>("size");
    QTest::newRow("installation folder") << "" << QByteArray() << 70000;
    QTest::newRow("subfolder") << "sub/" << QByteArray() << 1234;
    QTest::newRow("replaces an earlier file") << "" << QByteArray("earlier, longer than the new one") << 5;
    QTest::newRow("empty file") << "sub/" << QByteArray("earlier") << 0;
    QTest::newRow("several megabytes") << "" << QByteArray() << 5 * 1024 * 1024 + 17;
}

void TestHttpClient::fetchIntoFolder()
{
    QFETCH(QString, subfolder);
    QFETCH(QByteArray, earlier);
    QFETCH(int, size);
    const QByteArray body = bodyOfSize(size);
    publish("pkg.zlb", body);
    const QString folder = FInstall->path() + "/" + subfolder;
    QVERIFY(QDir().mkpath(folder));
    if (!earlier.isNull())
        testsupport::writeFile(folder + "pkg.zlb", earlier);

    auto client = nginxClient();
    WorkLog log;
    log.attach(*client);
    client->get(nginxUrl(FTestFolder + "/pkg.zlb"), folder + "pkg.zlb");

    QCOMPARE(testsupport::readFile(folder + "pkg.zlb"), body);
    QCOMPARE(filesIn(folder), QStringList{"pkg.zlb"});
    QCOMPARE(log.events.first(), QStringLiteral("begin %1").arg(size));
    QCOMPARE(log.events.last(), QStringLiteral("end"));
    QCOMPARE(log.count("begin"), 1);
    QCOMPARE(log.count("end"), 1);
    if (size > 0)
        QCOMPARE(log.events.at(log.events.size() - 2), QStringLiteral("work %1").arg(size));
}

void TestHttpClient::firstRequestCarriesCredentialsAndHeaders()
{
    publish("whatsnew.klv", "[KLV1]\r\n");
    auto client = nginxClient();
    client->get(nginxUrl(FTestFolder + "/whatsnew.klv"), FInstall->filePath("whatsnew.klv"));

    // One request only: the credentials went with it, not after a 401 challenge.
    const QStringList lines = logLinesFor("/" + FTestFolder + "/whatsnew.klv");
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains(QStringLiteral("\"%1\" \"GET ").arg(env("KLV_NGINX_USER"))), qPrintable(lines[0]));
    QVERIFY2(lines[0].contains(" 200 "), qPrintable(lines[0]));
    QVERIFY2(lines[0].contains("\"Mozilla/3.0 (compatible; Indy Library)\" \"text/html, */*\" \"text/html\""),
             qPrintable(lines[0]));
}

void TestHttpClient::errorStatusWritesNothing_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("earlierFile");
    QTest::addColumn<bool>("partial"); // an earlier run left a partial file that could be continued
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const QString user = env("KLV_NGINX_USER");
    const QString password = env("KLV_NGINX_PASSWORD");
    QTest::newRow("wrong password") << user << "wrong"
                                    << "pkg.zlb" << true << false << 401 << "HTTP/1.1 401 Unauthorized";
    QTest::newRow("wrong password, partial before") << user << "wrong"
                                                    << "pkg.zlb" << true << true << 401 << "HTTP/1.1 401 Unauthorized";
    QTest::newRow("no credentials") << ""
                                    << ""
                                    << "pkg.zlb" << false << false << 401 << "HTTP/1.1 401 Unauthorized";
    QTest::newRow("unknown user") << "nobody" << password << "pkg.zlb" << false << false << 401
                                  << "HTTP/1.1 401 Unauthorized";
    QTest::newRow("missing file") << user << password << "missing.zlb" << true << false << 404
                                  << "HTTP/1.1 404 Not Found";
    QTest::newRow("missing file, none before")
        << user << password << "missing.zlb" << false << false << 404 << "HTTP/1.1 404 Not Found";
    QTest::newRow("missing file, partial before")
        << user << password << "missing.zlb" << true << true << 404 << "HTTP/1.1 404 Not Found";
}

void TestHttpClient::errorStatusWritesNothing()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, path);
    QFETCH(bool, earlierFile);
    QFETCH(bool, partial);
    QFETCH(int, status);
    QFETCH(QString, message);
    publish("pkg.zlb", "the package");
    const QString destination = FInstall->filePath("pkg.zlb");
    if (earlierFile)
        testsupport::writeFile(destination, "earlier");
    if (partial) {
        testsupport::writeFile(destination + ".klvpart", "the pa");
        testsupport::writeFile(destination + ".klvpart.info", "length=11\r\netag=\"1-b\"\r\n");
    }

    HttpClient client;
    client.Username = user;
    client.Password = password;
    WorkLog log;
    log.attach(client);
    try {
        client.get(nginxUrl(FTestFolder + "/" + path), destination);
        QFAIL("no exception");
    } catch (const EIdHTTPProtocolException &e) {
        QCOMPARE(e.errorCode(), status);
        QCOMPARE(e.message(), message);
    }
    QCOMPARE(filesIn(FInstall->path()), earlierFile ? QStringList{"pkg.zlb"} : QStringList{});
    if (earlierFile)
        QCOMPARE(testsupport::readFile(destination), QByteArray("earlier"));
    QCOMPARE(log.events, (QStringList{"begin 0", "end"}));
}

void TestHttpClient::missingFolderSendsNoRequest()
{
    publish("pkg.zlb", "the package");
    auto client = nginxClient();
    WorkLog log;
    log.attach(*client);
    QVERIFY_THROWS_EXCEPTION(
        EInOutError, client->get(nginxUrl(FTestFolder + "/pkg.zlb"), FInstall->filePath("no-such-folder/pkg.zlb")));
    QVERIFY(!QFileInfo::exists(FInstall->filePath("no-such-folder")));
    QVERIFY(log.events.isEmpty());
    // The fixture writes its log line when the answer is sent; a later request shows that the log
    // is current and that the first never arrived.
    client->get(nginxUrl(FTestFolder + "/pkg.zlb"), FInstall->filePath("pkg.zlb"));
    QCOMPARE(logLinesFor("/" + FTestFolder + "/pkg.zlb").size(), 1);
}

void TestHttpClient::cookieComesBack()
{
    const QString destination = FInstall->filePath("check.txt");
    auto client = nginxClient();
    try {
        client->get(nginxUrl("cookie/check/check.txt"), destination);
        QFAIL("the cookie check passed before any cookie was set");
    } catch (const EIdHTTPProtocolException &e) {
        QCOMPARE(e.errorCode(), 403);
    }
    client->get(nginxUrl("cookie/set/set.txt"), FInstall->filePath("set.txt"));
    client->get(nginxUrl("cookie/check/check.txt"), destination);
    QCOMPARE(testsupport::readFile(destination), QByteArray("session cookie seen\n"));

    // The jar belongs to the client: a new one starts without the cookie.
    auto fresh = nginxClient();
    QVERIFY_THROWS_EXCEPTION(EIdHTTPProtocolException, fresh->get(nginxUrl("cookie/check/check.txt"), destination));
    QCOMPARE(testsupport::readFile(destination), QByteArray("session cookie seen\n"));
}

void TestHttpClient::redirects_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("https");
    QTest::addColumn<bool>("followed");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("same server") << "redirect/" << false << true << "";
    QTest::newRow("http to https refused") << "to-https/" << false << false << "another scheme";
    QTest::newRow("another port refused") << "to-other-port/" << false << false << "another port";
    QTest::newRow("https to https") << "redirect/" << true << true << "";
    QTest::newRow("https to http refused") << "to-http/" << true << false << "insecure";
    // The credentials would go along.
    QTest::newRow("another host refused") << "to-localhost/" << false << false << "another host";
}

void TestHttpClient::redirects()
{
    QFETCH(QString, path);
    QFETCH(bool, https);
    QFETCH(bool, followed);
    QFETCH(QString, refusal);
    publish("pkg.zlb", "the package");
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");
    auto client = nginxClient();
    client->addCaCertificate(QSslCertificate::fromPath(env("KLV_NGINX_DIR") + "/tls/ca.pem").value(0));

    if (followed) {
        try {
            client->get(nginxUrl(path + FTestFolder + "/pkg.zlb", https), destination);
        } catch (const Exception &e) {
            QFAIL(qPrintable(e.message()));
        }
        QCOMPARE(testsupport::readFile(destination), QByteArray("the package"));
        QCOMPARE(logLinesFor("/" + FTestFolder + "/pkg.zlb").size(), 1);
    } else {
        try {
            client->get(nginxUrl(path + FTestFolder + "/pkg.zlb", https), destination);
            QFAIL("the redirect was followed");
        } catch (const Exception &e) {
            QVERIFY2(e.message().contains(refusal), qPrintable(e.message()));
        }
        QCOMPARE(testsupport::readFile(destination), QByteArray("earlier"));
        QCOMPARE(logLinesFor("/" + FTestFolder + "/pkg.zlb").size(), 0);
    }
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
}

void TestHttpClient::limitHoldsWhenTheRequestStalls_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("https");
    QTest::addColumn<bool>("keptAlive"); // a transfer ran on the connection before
    QTest::newRow("first request") << "" << false << false;
    QTest::newRow("kept-alive connection") << "" << false << true;
    QTest::newRow("https, kept alive") << "" << true << true;
    QTest::newRow("redirected") << "redirect/" << false << true;
    QTest::newRow("https, redirected") << "redirect/" << true << false;
}

// The machine is busy right after a request went to Qt (the updater's thread does not run for a
// while): the answer still arrives in pieces no larger than the read buffer limit, so that a large
// file never gathers in memory. Without the limit in force the whole file would be waiting in one
// piece when the thread runs again.
void TestHttpClient::limitHoldsWhenTheRequestStalls()
{
    QFETCH(QString, path);
    QFETCH(bool, https);
    QFETCH(bool, keptAlive);
    const qsizetype size = 48 * 1024 * 1024;
    const QByteArray body = bodyOfSize(int(size));
    publish("big.zlb", body);
    publish("small.zlb", "small");
    auto client = nginxClient();
    client->addCaCertificate(QSslCertificate::fromPath(env("KLV_NGINX_DIR") + "/tls/ca.pem").value(0));
    if (keptAlive)
        client->get(nginxUrl(FTestFolder + "/small.zlb", https), FInstall->filePath("small.zlb"));

    int64_t last = 0;
    int64_t largestPiece = 0;
    client->OnWork = [&](WorkMode, int64_t count) {
        largestPiece = std::max(largestPiece, count - last);
        last = count;
    };
    client->OnRequestIssued = [] { QThread::msleep(400); };
    const QString destination = FInstall->filePath("big.zlb");
    client->get(nginxUrl(path + FTestFolder + "/big.zlb", https), destination);

    QCOMPARE(QFileInfo(destination).size(), size);
    QVERIFY2(largestPiece <= 8 * 1024 * 1024, qPrintable(QString("a piece of %1 bytes").arg(largestPiece)));
}

// The transfers of one client go over one kept-alive connection: one TCP connection for several
// files, and one TLS handshake.
void TestHttpClient::transfersShareAConnection()
{
    for (int i = 0; i < 5; ++i)
        publish(QString("p%1.zlb").arg(i), bodyOfSize(100000 + i));
    auto client = nginxClient();
    client->addCaCertificate(QSslCertificate::fromPath(env("KLV_NGINX_DIR") + "/tls/ca.pem").value(0));
    for (int i = 0; i < 5; ++i)
        client->get(nginxUrl(FTestFolder + QString("/p%1.zlb").arg(i), true),
                    FInstall->filePath(QString("p%1.zlb").arg(i)));
    QStringList connections;
    for (int i = 0; i < 5; ++i) {
        const QStringList lines = logLinesFor("/" + FTestFolder + QString("/p%1.zlb").arg(i));
        QCOMPARE(lines.size(), 1);
        connections << lines.first().section(QStringLiteral(" c="), 1);
    }
    QCOMPARE(connections.size(), 5);
    QCOMPARE(QSet<QString>(connections.begin(), connections.end()).size(), 1);
}

void TestHttpClient::httpsTrust_data()
{
    QTest::addColumn<QString>("authority"); // the one the client trusts besides the system's
    QTest::addColumn<bool>("trusted");
    QTest::newRow("test authority trusted") << "ca.pem" << true;
    QTest::newRow("unknown authority") << QString() << false;
    QTest::newRow("same-named authority that did not issue it") << "other-ca.pem" << false;
}

void TestHttpClient::httpsTrust()
{
    QFETCH(QString, authority);
    QFETCH(bool, trusted);
    publish("pkg.zlb", "over tls");
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");
    auto client = nginxClient();
    if (!authority.isEmpty()) {
        const auto certificates = QSslCertificate::fromPath(env("KLV_NGINX_DIR") + "/tls/" + authority);
        QCOMPARE(certificates.size(), 1);
        client->addCaCertificate(certificates.first());
    }
    if (trusted) {
        client->get(nginxUrl(FTestFolder + "/pkg.zlb", true), destination);
        QCOMPARE(testsupport::readFile(destination), QByteArray("over tls"));
    } else {
        try {
            client->get(nginxUrl(FTestFolder + "/pkg.zlb", true), destination);
            QFAIL("an untrusted certificate was accepted");
        } catch (const Exception &e) {
            QCOMPARE(e.className(), QStringLiteral("ENetworkError"));
            QVERIFY2(e.message().contains("certificate"), qPrintable(e.message()));
            QVERIFY2(!e.message().contains("127.0.0.1"), qPrintable(e.message()));
        }
        QCOMPARE(testsupport::readFile(destination), QByteArray("earlier"));
    }
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
}

void TestHttpClient::faultsLeaveNothing_data()
{
    QTest::addColumn<QList<FaultServer::Step>>("script");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("attempts"); // with one retry: 2 for a cut transfer

    const QByteArray body = bodyOfSize(100000);
    const auto length = [](qsizetype n) { return "Content-Length: " + QByteArray::number(n) + "\r\n"; };
    using S = FaultServer::Step;
    const QByteArray chunks = "1000\r\n" + body.left(4096) + "\r\n";
    QTest::newRow("cut midway") << QList<S>{{FaultServer::head("200 OK", length(body.size())) + body.left(30000), 50}}
                                << "ENetworkError"
                                << "" << 2;
    QTest::newRow("one byte short") << QList<S>{{FaultServer::head("200 OK", length(1000)) + body.left(999), 50}}
                                    << "ENetworkError"
                                    << "" << 2;
    QTest::newRow("chunked, cut before the last chunk")
        << QList<S>{{FaultServer::head("200 OK", "Transfer-Encoding: chunked\r\n") + chunks, 50}} << "Exception"
        << "" << 1;
    QTest::newRow("stall inside the body")
        << QList<S>{{FaultServer::head("200 OK", length(1000)) + body.left(100), 5000}} << "ENetworkError"
        << "No data arrived" << 2;
    QTest::newRow("stall before the answer") << QList<S>{{QByteArray(), 5000}} << "ENetworkError"
                                             << "No data arrived" << 2;
    QTest::newRow("chunked, no length")
        << QList<S>{{FaultServer::head("200 OK", "Transfer-Encoding: chunked\r\n") + chunks + "0\r\n\r\n", 50}}
        << "Exception"
        << "did not announce the length" << 1;
    QTest::newRow("no length, ends with the connection")
        << QList<S>{{"HTTP/1.0 200 OK\r\n\r\n" + body.left(5000), 50}} << "Exception"
        << "did not announce the length" << 1;
    QTest::newRow("not http") << QList<S>{{"SSH-2.0-Server\r\n\r\n", 0}} << "ENetworkError"
                              << "" << 2;
    QTest::newRow("closed without answer") << QList<S>{} << "ENetworkError"
                                           << "" << 2;
    QTest::newRow("server error with body")
        << QList<S>{{FaultServer::head("500 Internal Server Error", length(5)) + "oops!", 0}}
        << "EIdHTTPProtocolException"
        << "HTTP/1.1 500 Internal Server Error" << 1;
    QTest::newRow("not modified") << QList<S>{{FaultServer::head("304 Not Modified"), 0}} << "EIdHTTPProtocolException"
                                  << "HTTP/1.1 304 Not Modified" << 1;
}

void TestHttpClient::faultsLeaveNothing()
{
    QFETCH(QList<FaultServer::Step>, script);
    QFETCH(QString, className);
    QFETCH(QString, message);
    QFETCH(int, attempts);
    FaultServer server;
    server.setScript(script);
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");

    HttpClient client;
    client.setInactivityTimeout(400ms);
    client.setRetries(1);
    client.setRetryPause(10ms);
    WorkLog log;
    log.attach(client);
    QElapsedTimer clock;
    clock.start();
    try {
        client.get(server.url("/supports/pkg.zlb"), destination);
        QFAIL("no exception");
    } catch (const Exception &e) {
        QCOMPARE(e.className(), className);
        QVERIFY2(e.message().contains(message), qPrintable(e.message()));
    }
    QVERIFY2(clock.elapsed() < 3000, "the time-out did not end the stalled transfer");
    QCOMPARE(testsupport::readFile(destination), QByteArray("earlier"));
    // Without a validator nothing is kept for later.
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
    // One begin and end per attempt (Qt itself sends a request again once when a connection
    // closes before any answer, so the server may count more).
    QCOMPARE(log.count("begin"), attempts);
    QCOMPARE(log.count("end"), attempts);
    QCOMPARE(log.events.last(), QStringLiteral("end"));
}

void TestHttpClient::workEventsFollowTheBody()
{
    const QByteArray body = bodyOfSize(4 * 65536);
    QList<FaultServer::Step> script{{FaultServer::head("200 OK", "Content-Length: 262144\r\n"), 0}};
    for (int i = 0; i < 4; ++i)
        script << FaultServer::Step{body.mid(i * 65536, 65536), 40};
    FaultServer server;
    server.setScript(script);
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");

    HttpClient client;
    client.Username = "12345";
    client.Password = "k\u00EBy";
    WorkLog log;
    log.attach(client);
    client.get(server.url("/supports/pkg.zlb"), destination);

    QCOMPARE(testsupport::readFile(destination), body);
    QCOMPARE(log.events.first(), QStringLiteral("begin %1").arg(body.size()));
    QCOMPARE(log.events.last(), QStringLiteral("end"));
    QCOMPARE(log.count("begin"), 1);
    QCOMPARE(log.count("end"), 1);
    // Several progress steps, rising, up to the whole body.
    const QStringList work = log.events.mid(1, log.events.size() - 2);
    QVERIFY2(work.size() >= 2, qPrintable(log.events.join(", ")));
    qint64 previous = 0;
    for (const QString &event : work) {
        QVERIFY(event.startsWith("work "));
        const qint64 count = event.mid(5).toLongLong();
        QVERIFY2(count > previous, qPrintable(log.events.join(", ")));
        previous = count;
    }
    QCOMPARE(previous, body.size());
    // Credentials in the code page of the maker's files.
    QCOMPARE(server.requests().size(), 1);
    QVERIFY(server.requests()[0].contains("\r\nAuthorization: Basic " + QByteArray("12345:k\xEBy").toBase64()));
}

void TestHttpClient::connectionRefused()
{
    QUrl url;
    {
        FaultServer closed; // its port is free again once it is gone
        url = closed.url("/supports/pkg.zlb");
    }
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");
    HttpClient client;
    WorkLog log;
    log.attach(client);
    try {
        client.get(url, destination);
        QFAIL("no exception");
    } catch (const Exception &e) {
        QCOMPARE(e.message(), QStringLiteral("The server refused the connection"));
    }
    QCOMPARE(log.events, (QStringList{"begin 0", "end"}));
    QCOMPARE(testsupport::readFile(destination), QByteArray("earlier"));
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
}

void TestHttpClient::windowStaysResponsive()
{
    FaultServer server;
    server.setScript({{FaultServer::head("200 OK", "Content-Length: 3\r\n"), 400}, {"abc", 0}});
    HttpClient client;
    bool timerRan = false;
    QTimer::singleShot(50, [&] { timerRan = true; });
    client.get(server.url("/x"), FInstall->filePath("x"));
    QVERIFY(timerRan);
    QCOMPARE(testsupport::readFile(FInstall->filePath("x")), QByteArray("abc"));
}

void TestHttpClient::secondGetRefusedWhileRunning()
{
    FaultServer server;
    server.setScript({{FaultServer::head("200 OK", "Content-Length: 6\r\n") + "abc", 100}, {"def", 0}});
    HttpClient client;
    QVERIFY(!client.isBusy());
    QStringList refusals;
    client.OnWork = [&](WorkMode, int64_t) {
        QVERIFY(client.isBusy());
        try {
            client.get(server.url("/y"), FInstall->filePath("y"));
        } catch (const Exception &e) {
            refusals << e.message();
        }
    };
    client.get(server.url("/x"), FInstall->filePath("x"));
    QVERIFY(!client.isBusy());
    QCOMPARE(refusals, (QStringList{"A transfer is already running", "A transfer is already running"}));
    QCOMPARE(testsupport::readFile(FInstall->filePath("x")), QByteArray("abcdef"));
    QCOMPARE(filesIn(FInstall->path()), QStringList{"x"});
    QCOMPARE(server.requests().size(), 1);
}

void TestHttpClient::handlerExceptionEndsTransfer()
{
    FaultServer server;
    server.setScript({{FaultServer::head("200 OK", "Content-Length: 6\r\n") + "abc", 2000}, {"def", 0}});
    HttpClient client;
    WorkLog log;
    log.attach(client);
    client.OnWork = [](WorkMode, int64_t) { throw EAbort(); };
    QElapsedTimer clock;
    clock.start();
    QVERIFY_THROWS_EXCEPTION(EAbort, client.get(server.url("/x"), FInstall->filePath("x")));
    QVERIFY(clock.elapsed() < 1500);
    QCOMPARE(log.events, (QStringList{"begin 6", "end"}));
    QCOMPARE(filesIn(FInstall->path()), QStringList{});
}

void TestHttpClient::destroyedDuringTransfer()
{
    FaultServer server;
    server.setScript({{FaultServer::head("200 OK", "Content-Length: 6\r\n") + "abc", 2000}, {"def", 0}});
    auto *client = new HttpClient;
    QTimer::singleShot(100, [&] {
        delete client;
        client = nullptr;
    });
    QVERIFY_THROWS_EXCEPTION(EAbort, client->get(server.url("/x"), FInstall->filePath("x")));
    QVERIFY(!client);
    QCOMPARE(filesIn(FInstall->path()), QStringList{});
}

// abort() from an event the transfer's own loop handles (a window that closes): the transfer ends
// at once with the silent abort, its end event still reported, nothing written; the client can
// fetch again afterwards.
void TestHttpClient::abortedFromTheLoop()
{
    FaultServer server;
    server.setScript({{FaultServer::head("200 OK", "Content-Length: 6\r\n") + "abc", 5000}, {"def", 0}});
    HttpClient client;
    WorkLog log;
    log.attach(client);
    client.abort(); // no transfer: nothing happens
    QTimer::singleShot(100, &client, [&] { client.abort(); });
    QElapsedTimer clock;
    clock.start();
    QVERIFY_THROWS_EXCEPTION(EAbort, client.get(server.url("/x"), FInstall->filePath("x")));
    QVERIFY(clock.elapsed() < 3000);
    QVERIFY(!client.isBusy());
    QCOMPARE(log.events.last(), QStringLiteral("end"));
    QCOMPARE(log.events.count(QStringLiteral("end")), 1);
    QCOMPARE(filesIn(FInstall->path()), QStringList{});

    FaultServer again;
    again.setScript({{FaultServer::head("200 OK", "Content-Length: 3\r\n") + "xyz", 0}});
    client.get(again.url("/y"), FInstall->filePath("y"));
    QCOMPARE(testsupport::readFile(FInstall->filePath("y")), QByteArray("xyz"));
}

namespace {

using Steps = QList<FaultServer::Step>;

QByteArray lengthHeader(qsizetype n)
{
    return "Content-Length: " + QByteArray::number(n) + "\r\n";
}

// A 206 answer head for bytes first..total-1 of a file of `total` bytes.
QByteArray partialHead(qint64 first, qint64 total, const QByteArray &extra = "ETag: \"v1\"\r\n")
{
    return FaultServer::head("206 Partial Content",
                             lengthHeader(total - first) + "Content-Range: bytes " + QByteArray::number(first) + "-" +
                                 QByteArray::number(total - 1) + "/" + QByteArray::number(total) + "\r\n" + extra);
}

QByteArray headerOf(const QByteArray &requestHead, const QByteArray &name)
{
    for (const QByteArray &line : requestHead.split('\n'))
        if (line.toLower().startsWith(name.toLower() + ":"))
            return line.mid(name.size() + 1).trimmed();
    return {};
}

// The work counts reported between the n-th begin event and its end.
QList<qint64> workOfAttempt(const WorkLog &log, int n)
{
    QList<qint64> counts;
    int begins = -1;
    for (const QString &event : log.events) {
        if (event.startsWith("begin "))
            ++begins;
        else if (begins == n && event.startsWith("work "))
            counts << event.mid(5).toLongLong();
    }
    return counts;
}

const QByteArray kModified = "Tue, 07 May 2024 10:11:12 GMT";

} // namespace

// A transfer that is cut continues with a range request for the rest, and the pieces make up the
// file exactly.
void TestHttpClient::resumeAfterCut_data()
{
    QTest::addColumn<QByteArray>("validator"); // header line of the first answer
    QTest::addColumn<QByteArray>("ifRange");
    QTest::addColumn<int>("cutAfter");
    QTest::addColumn<int>("stallMs"); // after the cut bytes, before the connection closes
    QTest::newRow("etag, connection closed") << QByteArray("ETag: \"v1\"\r\n") << QByteArray("\"v1\"") << 30000 << 0;
    QTest::newRow("last-modified, connection closed") << "Last-Modified: " + kModified + "\r\n"
                                                      << kModified << 12345 << 0;
    QTest::newRow("etag and last-modified: the etag goes back")
        << "ETag: \"v1\"\r\nLast-Modified: " + kModified + "\r\n"
        << QByteArray("\"v1\"") << 1 << 0;
    QTest::newRow("etag, stalled") << QByteArray("ETag: \"v1\"\r\n") << QByteArray("\"v1\"") << 65536 << 5000;
}

void TestHttpClient::resumeAfterCut()
{
    QFETCH(QByteArray, validator);
    QFETCH(QByteArray, ifRange);
    QFETCH(int, cutAfter);
    QFETCH(int, stallMs);
    const QByteArray body = bodyOfSize(100000);
    FaultServer server;
    // Qt itself may send a request again when a connection closes early, so the answers depend on
    // what is asked, not on how often.
    server.setResponder([=](const QByteArray &head, int) -> Steps {
        const QByteArray range = headerOf(head, "Range");
        if (range.isEmpty())
            return {
                {FaultServer::head("200 OK", lengthHeader(body.size()) + validator) + body.left(cutAfter), stallMs}};
        if (range != "bytes=" + QByteArray::number(cutAfter) + "-" || headerOf(head, "If-Range") != ifRange)
            return {{FaultServer::head("200 OK", lengthHeader(body.size()) + validator) + body, 0}};
        return {{partialHead(cutAfter, body.size(), validator) + body.mid(cutAfter), 0}};
    });
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");
    HttpClient client;
    client.setInactivityTimeout(300ms);
    client.setRetryPause(10ms);
    WorkLog log;
    log.attach(client);
    client.get(server.url("/pkg.zlb"), destination);

    QCOMPARE(testsupport::readFile(destination), body);
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
    const auto requests = server.requests();
    QCOMPARE(headerOf(requests.first(), "Range"), QByteArray());
    QCOMPARE(headerOf(requests.last(), "Range"), "bytes=" + QByteArray::number(cutAfter) + "-");
    QCOMPARE(headerOf(requests.last(), "If-Range"), ifRange);
    // Both attempts report the whole file; the second counts from what the first left.
    QCOMPARE(log.events.count(QStringLiteral("begin %1").arg(body.size())), 2);
    QCOMPARE(log.count("end"), 2);
    const QList<qint64> first = workOfAttempt(log, 0);
    const QList<qint64> second = workOfAttempt(log, 1);
    QVERIFY(!first.isEmpty() && first.last() == cutAfter);
    QVERIFY2(!second.isEmpty() && second.first() > cutAfter, qPrintable(log.events.join(", ")));
    QCOMPARE(second.last(), body.size());
}

// A file the caller knows (a signed list's digest line): a file of another length is refused on
// its head, one of other bytes when it has arrived; neither replaces the destination or stays
// behind, and a partial file of other bytes is not trusted either.
void TestHttpClient::expectedFile_data()
{
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QByteArray>("partial"); // left by an earlier attempt, with its info
    QTest::addColumn<QString>("refusal");    // empty: the file is taken
    QTest::addColumn<int>("requests");
    const QByteArray body = bodyOfSize(40000);
    QByteArray other = body;
    other[39999] = '!';
    QByteArray otherStart = body.left(15000);
    otherStart[0] = '!';
    QTest::newRow("the expected file") << body << QByteArray() << QString() << 1;
    QTest::newRow("shorter, announced as such") << body.left(39000) << QByteArray() << "length 39000" << 1;
    QTest::newRow("longer") << body + "x" << QByteArray() << "length 40001" << 1;
    QTest::newRow("same length, other bytes") << other << QByteArray() << "digest" << 1;
    QTest::newRow("continued from a partial of it") << body << body.left(15000) << QString() << 1;
    // The earlier bytes are what differs: the whole file is asked for once more.
    QTest::newRow("continued from a partial of other bytes") << body << otherStart << QString() << 2;
    QTest::newRow("other bytes after a partial") << other << body.left(15000) << "digest" << 2;
}

void TestHttpClient::expectedFile()
{
    QFETCH(QByteArray, served);
    QFETCH(QByteArray, partial);
    QFETCH(QString, refusal);
    QFETCH(int, requests);
    const QByteArray body = bodyOfSize(40000);
    FaultServer server;
    server.setResponder([=](const QByteArray &head, int) -> Steps {
        const QByteArray range = headerOf(head, "Range");
        if (range.isEmpty() || served.size() != body.size())
            return {{FaultServer::head("200 OK", lengthHeader(served.size()) + "ETag: \"v1\"\r\n") + served, 0}};
        const qsizetype from = range.mid(6).chopped(1).toLongLong();
        return {{partialHead(from, served.size()) + served.mid(from), 0}};
    });
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");
    if (!partial.isEmpty()) {
        testsupport::writeFile(destination + ".klvpart", partial);
        testsupport::writeFile(destination + ".klvpart.info", "length=40000\r\netag=\"v1\"\r\n");
    }
    HttpClient client;
    client.setRetryPause(10ms);
    const ExpectedFile expected{body.size(), Sha256::hash(body)};
    QString error;
    try {
        client.get(server.url("/pkg.zlb"), destination, &expected);
    } catch (const EContentMismatch &e) {
        error = e.digestDiffers() ? QStringLiteral("digest") : QStringLiteral("length %1").arg(e.actualLength());
    }
    QCOMPARE(error, refusal);
    QCOMPARE(testsupport::readFile(destination), refusal.isEmpty() ? body : QByteArray("earlier"));
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
    QCOMPARE(server.requests().size(), requests);
}

// A file taken whole or not at all (a package list): bounded in length, never continued from what
// an earlier attempt or run left, and nothing of a failed attempt kept.
void TestHttpClient::boundedWholeTransfer_data()
{
    QTest::addColumn<int>("served");
    QTest::addColumn<int>("cutAt");     // the first answer ends there; 0: not cut
    QTest::addColumn<bool>("leftOver"); // a partial file and its info from an earlier run
    QTest::addColumn<bool>("taken");
    QTest::newRow("at the limit") << 1000 << 0 << false << true;
    QTest::newRow("above the limit") << 1001 << 0 << false << false;
    QTest::newRow("a partial file left") << 1000 << 0 << true << true;
    QTest::newRow("cut, then asked whole") << 1000 << 300 << false << true;
}

void TestHttpClient::boundedWholeTransfer()
{
    QFETCH(int, served);
    QFETCH(int, cutAt);
    QFETCH(bool, leftOver);
    QFETCH(bool, taken);
    const QByteArray body = bodyOfSize(served);
    FaultServer server;
    server.setResponder([=](const QByteArray &, int index) -> Steps {
        const QByteArray head = FaultServer::head("200 OK", lengthHeader(body.size()) + "ETag: \"v1\"\r\n");
        return {{head + (index == 0 && cutAt > 0 ? body.left(cutAt) : body), 0}};
    });
    const QString destination = FInstall->filePath("list.klv");
    testsupport::writeFile(destination, "earlier");
    if (leftOver) {
        testsupport::writeFile(destination + ".klvpart", "another version's start");
        testsupport::writeFile(destination + ".klvpart.info", "length=1000\r\netag=\"v1\"\r\n");
    }
    HttpClient client;
    client.setRetryPause(10ms);
    QString error;
    try {
        client.get(server.url("/list.klv"), destination, nullptr, TransferLimits{1000, false});
    } catch (const ETooLarge &e) {
        error = QStringLiteral("%1 > %2").arg(e.announced()).arg(e.limit());
    }
    QCOMPARE(error, taken ? QString() : QStringLiteral("1001 > 1000"));
    QCOMPARE(testsupport::readFile(destination), taken ? body : QByteArray("earlier"));
    QCOMPARE(filesIn(FInstall->path()), QStringList{"list.klv"});
    for (const QByteArray &request : server.requests())
        QCOMPARE(headerOf(request, "Range"), QByteArray());
}

// What the server answers to a range request for a partial file that an earlier run left: only a
// proper continuation of the same file is appended; anything else starts over and still yields
// the right file.
void TestHttpClient::resumeAnswers_data()
{
    QTest::addColumn<QByteArray>("partial");
    QTest::addColumn<QByteArray>("info");
    QTest::addColumn<QByteArray>("rangeAnswer"); // to a request with a Range header
    QTest::addColumn<bool>("rangeAsked");        // the first request carried one
    QTest::addColumn<int>("requests");

    const QByteArray body = bodyOfSize(50000);
    const int n = 20000;
    const QByteArray info = "length=50000\r\netag=\"v1\"\r\n";
    const QByteArray stale(n, 'x'); // not the start of this file: appending to it would show
    const QByteArray rest = body.mid(n);
    const auto range = [&](const QByteArray &contentRange, const QByteArray &extra = "ETag: \"v1\"\r\n") {
        return FaultServer::head("206 Partial Content",
                                 lengthHeader(rest.size()) + "Content-Range: " + contentRange + "\r\n" + extra) +
               rest;
    };
    const QByteArray whole = FaultServer::head("200 OK", lengthHeader(body.size()) + "ETag: \"v2\"\r\n") + body;

    QTest::newRow("continued") << body.left(n) << info << partialHead(n, body.size()) + rest << true << 1;
    QTest::newRow("continued, no validator in the answer")
        << body.left(n) << info << partialHead(n, body.size(), "") + rest << true << 1;
    QTest::newRow("continued on last-modified")
        << body.left(n) << "length=50000\r\nlast-modified=" + kModified + "\r\n"
        << partialHead(n, body.size(), "Last-Modified: " + kModified + "\r\n") + rest << true << 1;
    QTest::newRow("continued on last-modified, etag new in the answer")
        << body.left(n) << "length=50000\r\nlast-modified=" + kModified + "\r\n"
        << partialHead(n, body.size(), "ETag: \"v1\"\r\nLast-Modified: " + kModified + "\r\n") + rest << true << 1;
    QTest::newRow("etag turned weak") << stale << info << partialHead(n, body.size(), "ETag: W/\"v1\"\r\n") + rest
                                      << true << 2;
    QTest::newRow("range ignored: the whole file") << stale << info << whole << true << 1;
    QTest::newRow("another etag") << stale << info << partialHead(n, body.size(), "ETag: \"v2\"\r\n") + rest << true
                                  << 2;
    QTest::newRow("another last-modified")
        << stale << "length=50000\r\nlast-modified=" + kModified + "\r\n"
        << partialHead(n, body.size(), "Last-Modified: Wed, 08 May 2024 10:11:12 GMT\r\n") + rest << true << 2;
    QTest::newRow("range not satisfiable")
        << stale << info << FaultServer::head("416 Range Not Satisfiable", lengthHeader(0)) << true << 2;
    QTest::newRow("range starts elsewhere")
        << stale << info
        << FaultServer::head("206 Partial Content",
                             lengthHeader(body.size()) + "Content-Range: bytes 0-49999/50000\r\nETag: \"v1\"\r\n") +
               body
        << true << 2;
    QTest::newRow("range ends early") << stale << info << range("bytes 20000-49998/50000") << true << 2;
    QTest::newRow("another total") << stale << info << range("bytes 20000-49999/50001") << true << 2;
    QTest::newRow("no content range") << stale << info
                                      << FaultServer::head("206 Partial Content", lengthHeader(rest.size())) + rest
                                      << true << 2;
    QTest::newRow("content range not bytes") << stale << info << range("items 20000-49999/50000") << true << 2;
    QTest::newRow("content range with sign") << stale << info << range("bytes +20000-49999/50000") << true << 2;
    QTest::newRow("length disagrees with the range")
        << stale << info
        << FaultServer::head("206 Partial Content",
                             lengthHeader(rest.size() - 1) + "Content-Range: bytes 20000-49999/50000\r\n") +
               rest.chopped(1)
        << true << 2;
    QTest::newRow("partial as long as the file") << body << info << whole << false << 1;
    QTest::newRow("partial longer than the file") << body + "more" << info << whole << false << 1;
    QTest::newRow("empty partial") << QByteArray("") << info << whole << false << 1;
    QTest::newRow("info without validator") << stale << QByteArray("length=50000\r\n") << whole << false << 1;
    QTest::newRow("info with a damaged length")
        << stale << QByteArray("length=5x000\r\netag=\"v1\"\r\n") << whole << false << 1;
    QTest::newRow("no info") << stale << QByteArray() << whole << false << 1;
}

void TestHttpClient::resumeAnswers()
{
    QFETCH(QByteArray, partial);
    QFETCH(QByteArray, info);
    QFETCH(QByteArray, rangeAnswer);
    QFETCH(bool, rangeAsked);
    QFETCH(int, requests);
    const QByteArray body = bodyOfSize(50000);
    FaultServer server;
    server.setResponder([=](const QByteArray &head, int) -> Steps {
        if (!headerOf(head, "Range").isEmpty())
            return {{rangeAnswer, 0}};
        return {{FaultServer::head("200 OK", lengthHeader(body.size()) + "ETag: \"v2\"\r\n") + body, 0}};
    });
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");
    testsupport::writeFile(destination + ".klvpart", partial);
    if (!info.isNull())
        testsupport::writeFile(destination + ".klvpart.info", info);

    HttpClient client;
    client.setRetries(0);
    WorkLog log;
    log.attach(client);
    client.get(server.url("/pkg.zlb"), destination);

    QCOMPARE(testsupport::readFile(destination), body);
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
    const auto received = server.requests();
    QCOMPARE(received.size(), requests);
    QCOMPARE(headerOf(received[0], "Range").isEmpty(), !rangeAsked);
    if (requests > 1)
        QCOMPARE(headerOf(received[1], "Range"), QByteArray());
    QCOMPARE(log.count("begin"), requests);
    QCOMPARE(log.count("end"), requests);
    QCOMPARE(log.events.at(log.events.size() - 2), QStringLiteral("work %1").arg(body.size()));
}

// Against a real server: a partial file that an interrupted run left is continued, and only the
// rest goes over the line.
void TestHttpClient::resumeAgainstNginx_data()
{
    QTest::addColumn<bool>("abortedBefore"); // else the partial and its info are written here
    QTest::newRow("etag, left by an aborted transfer") << true;
    QTest::newRow("last-modified, left by a killed process") << false;
}

void TestHttpClient::resumeAgainstNginx()
{
    QFETCH(bool, abortedBefore);
    // Larger than the client's read buffer, so that the first work event comes before the end.
    const QByteArray body = bodyOfSize(6 * 1024 * 1024);
    publish("pkg.zlb", body);
    const QString path = FTestFolder + "/pkg.zlb";
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");
    if (abortedBefore) {
        auto client = nginxClient();
        client->OnWork = [](WorkMode, int64_t) { throw EAbort(); };
        QVERIFY_THROWS_EXCEPTION(EAbort, client->get(nginxUrl(path), destination));
        const QByteArray info = testsupport::readFile(destination + ".klvpart.info");
        QVERIFY2(info.startsWith("length=6291456\r\netag=\""), info.constData());
    } else {
        const QDateTime modified = QFileInfo(FDocroot + "/" + path).lastModified().toUTC();
        const QString date = QLocale::c().toString(modified, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
        testsupport::writeFile(destination + ".klvpart", body.left(2500000));
        testsupport::writeFile(destination + ".klvpart.info",
                               "length=6291456\r\nlast-modified=" + date.toLatin1() + "\r\n");
    }
    const qint64 present = QFileInfo(destination + ".klvpart").size();
    QVERIFY2(present > 0 && present < body.size(), qPrintable(QString::number(present)));
    QCOMPARE(testsupport::readFile(destination + ".klvpart"), body.left(present));

    auto client = nginxClient();
    client->get(nginxUrl(path), destination);
    QCOMPARE(testsupport::readFile(destination), body);
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
    const QStringList lines = logLinesFor("/" + path);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.last().contains(QStringLiteral(" 206 %1 ").arg(body.size() - present)), qPrintable(lines.last()));
}

// What a cut transfer leaves for later (no retries here): a partial file and its info only when
// the server gave a length and a validator.
void TestHttpClient::whatACutLeaves_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("info"); // expected; empty: nothing kept
    QTest::newRow("length and etag") << lengthHeader(10000) + "ETag: \"v1\"\r\n"
                                     << QByteArray("length=10000\r\netag=\"v1\"\r\n");
    QTest::newRow("length and last-modified") << lengthHeader(10000) + "Last-Modified: " + kModified + "\r\n"
                                              << "length=10000\r\nlast-modified=" + kModified + "\r\n";
    QTest::newRow("no validator") << lengthHeader(10000) << QByteArray();
    QTest::newRow("weak etag only") << lengthHeader(10000) + "ETag: W/\"v1\"\r\n" << QByteArray();
    QTest::newRow("etag with a control character") << lengthHeader(10000) + "ETag: \"v\x01" + "1\"\r\n" << QByteArray();
    QTest::newRow("etag but no length") << QByteArray("Transfer-Encoding: chunked\r\nETag: \"v1\"\r\n") << QByteArray();
}

void TestHttpClient::whatACutLeaves()
{
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, info);
    const QByteArray chunked = headers.contains("chunked") ? QByteArray("1000\r\n") : QByteArray();
    FaultServer server;
    server.setScript({{FaultServer::head("200 OK", headers) + chunked + bodyOfSize(4096), 0}});
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");
    HttpClient client;
    client.setRetries(0);
    QVERIFY_THROWS_EXCEPTION(Exception, client.get(server.url("/pkg.zlb"), destination));

    QCOMPARE(testsupport::readFile(destination), QByteArray("earlier"));
    if (info.isEmpty()) {
        QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
        return;
    }
    QCOMPARE(filesIn(FInstall->path()), (QStringList{"pkg.zlb", "pkg.zlb.klvpart", "pkg.zlb.klvpart.info"}));
    QCOMPARE(testsupport::readFile(destination + ".klvpart"), bodyOfSize(4096));
    QCOMPARE(testsupport::readFile(destination + ".klvpart.info"), info);
    const QStringList names = HttpClient::temporaryFileNames(destination);
    QVERIFY(names.contains(destination + ".klvpart"));
    QVERIFY(names.contains(destination + ".klvpart.info"));
}

// A package that arrives at once costs no info file; one that takes a while has it on the disk
// while it runs, so that a process killed then leaves a partial file that can be continued.
void TestHttpClient::infoWrittenOnceTheTransferRuns()
{
    const QByteArray body = bodyOfSize(60000);
    FaultServer server;
    server.setScript(
        {{FaultServer::head("200 OK", "Content-Length: 60000\r\nETag: \"v1\"\r\n") + body.left(20000), 800},
         {body.mid(20000), 0}});
    const QString destination = FInstall->filePath("pkg.zlb");
    HttpClient client;
    QList<bool> infoThere; // at each work event
    client.OnWork = [&](WorkMode, int64_t) { infoThere << QFile::exists(destination + ".klvpart.info"); };
    client.get(server.url("/pkg.zlb"), destination);

    QCOMPARE(testsupport::readFile(destination), body);
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
    QVERIFY(infoThere.size() >= 2);
    QVERIFY2(!infoThere.first(), "the info was written before the transfer had run a moment");
    QVERIFY2(infoThere.last(), "no info while the transfer ran");
}

// Attempts within one get(): a cut transfer is tried again and continued, other failures are not.
void TestHttpClient::retries_data()
{
    QTest::addColumn<QList<QByteArray>>("answers"); // to no range, bytes=10000-, bytes=20000-
    QTest::addColumn<int>("retries");               // -1: the default
    QTest::addColumn<QString>("failure");           // class name; empty: success
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("kept"); // partial file bytes left after a failure, -1 none

    const QByteArray body = bodyOfSize(30000);
    const QByteArray first =
        FaultServer::head("200 OK", lengthHeader(body.size()) + "ETag: \"v1\"\r\n") + body.left(10000);
    const QByteArray second = partialHead(10000, body.size()) + body.mid(10000, 10000);
    const QByteArray third = partialHead(20000, body.size()) + body.mid(20000);
    const QByteArray error = FaultServer::head("503 Service Unavailable", lengthHeader(0));
    const QByteArray away =
        FaultServer::head("302 Found", "Location: http://localhost:1/pkg.zlb\r\n" + lengthHeader(0));
    using L = QList<QByteArray>;
    QTest::newRow("cut twice, default retries") << L{first, second, third} << -1 << "" << 3 << -1;
    QTest::newRow("cut twice, no retries") << L{first, second, third} << 0 << "ENetworkError" << 1 << 10000;
    QTest::newRow("cut twice, one retry") << L{first, second, third} << 1 << "ENetworkError" << 2 << 20000;
    QTest::newRow("error status after a cut") << L{first, error} << 3 << "EIdHTTPProtocolException" << 2 << -1;
    QTest::newRow("refused redirect") << L{away} << 3 << "Exception" << 1 << -1;
}

void TestHttpClient::retries()
{
    QFETCH(QList<QByteArray>, answers);
    QFETCH(int, retries);
    QFETCH(QString, failure);
    QFETCH(int, requests);
    QFETCH(int, kept);
    FaultServer server;
    server.setResponder([=](const QByteArray &head, int) -> Steps {
        const QByteArray range = headerOf(head, "Range");
        return {{answers.value(range.isEmpty() ? 0 : range.mid(6, 5).toInt() / 10000), 0}};
    });
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");
    HttpClient client;
    QCOMPARE(client.retries(), 3);
    if (retries >= 0)
        client.setRetries(retries);
    client.setRetryPause(20ms);
    WorkLog log;
    log.attach(client);
    try {
        client.get(server.url("/pkg.zlb"), destination);
        QVERIFY2(failure.isEmpty(), "no exception");
        QCOMPARE(testsupport::readFile(destination), bodyOfSize(30000));
        QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
    } catch (const Exception &e) {
        QVERIFY2(e.className() == failure, qPrintable(e.className() + ": " + e.message()));
        QCOMPARE(testsupport::readFile(destination), QByteArray("earlier"));
        if (kept < 0) {
            QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
        } else {
            QCOMPARE(testsupport::readFile(destination + ".klvpart"), bodyOfSize(30000).left(kept));
            QVERIFY(QFileInfo::exists(destination + ".klvpart.info"));
        }
    }
    QByteArrayList ranges;
    for (const QByteArray &head : server.requests())
        if (ranges.isEmpty() || ranges.last() != headerOf(head, "Range")) // Qt may send one again
            ranges << headerOf(head, "Range");
    QCOMPARE(ranges, (QByteArrayList{"", "bytes=10000-", "bytes=20000-"}.mid(0, requests)));
    QCOMPARE(log.count("begin"), requests);
    QCOMPARE(log.count("end"), requests);
}

// The minimum average rate ends a transfer that a trickle of bytes keeps alive, and leaves one
// that is slow but steady alone.
void TestHttpClient::minimumRate_data()
{
    QTest::addColumn<QList<FaultServer::Step>>("script");
    QTest::addColumn<int>("windowMs");
    QTest::addColumn<bool>("ended");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    const QByteArray body = bodyOfSize(65536);
    Steps trickle{{FaultServer::head("200 OK", lengthHeader(100)), 0}};
    for (int i = 0; i < 10; ++i)
        trickle << FaultServer::Step{body.mid(i, 1), 2000};
    Steps steady{{FaultServer::head("200 OK", lengthHeader(body.size())), 0}};
    for (int i = 0; i < 8; ++i)
        steady << FaultServer::Step{body.mid(i * 8192, 8192), 250};
    QTest::newRow("a byte every two seconds") << trickle << 3000 << true << 2900 << 5500;
    QTest::newRow("nothing at all") << Steps{{QByteArray(), 20000}} << 1000 << true << 900 << 3000;
    QTest::newRow("slow but steady") << steady << 1000 << false << 1500 << 10000;
}

void TestHttpClient::minimumRate()
{
    QFETCH(QList<FaultServer::Step>, script);
    QFETCH(int, windowMs);
    QFETCH(bool, ended);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    FaultServer server;
    server.setScript(script);
    HttpClient client;
    client.setInactivityTimeout(10s);
    client.setRetries(0);
    client.setMinimumRate(1024, std::chrono::milliseconds(windowMs));
    const QString destination = FInstall->filePath("pkg.zlb");
    QElapsedTimer clock;
    clock.start();
    try {
        client.get(server.url("/pkg.zlb"), destination);
        QVERIFY2(!ended, "the trickle was not ended");
        QCOMPARE(testsupport::readFile(destination), bodyOfSize(65536));
    } catch (const Exception &e) {
        QVERIFY2(ended, qPrintable(e.message()));
        QCOMPARE(e.message(), QStringLiteral("The transfer was slower than 1024 bytes per second for %1 seconds; it "
                                             "was ended")
                                  .arg(windowMs / 1000));
    }
    QVERIFY2(clock.elapsed() >= minMs && clock.elapsed() <= maxMs, qPrintable(QString::number(clock.elapsed())));
}

// abort() or the client's end during the pause before the next attempt ends get() at once.
void TestHttpClient::abortDuringRetryPause_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("abort") << false;
    QTest::newRow("client destroyed") << true;
}

void TestHttpClient::abortDuringRetryPause()
{
    QFETCH(bool, destroy);
    FaultServer server;
    server.setScript({{FaultServer::head("200 OK", lengthHeader(100)) + "cut", 0}});
    auto *client = new HttpClient;
    client->setRetryPause(10s);
    QCOMPARE(client->retryPause(), 10s);
    WorkLog log;
    log.attach(*client);
    client->OnWorkEnd = [&](WorkMode) {
        log.events << "end";
        QTimer::singleShot(200, [&] {
            if (destroy) {
                delete client;
                client = nullptr;
            } else {
                client->abort();
            }
        });
    };
    QElapsedTimer clock;
    clock.start();
    QVERIFY_THROWS_EXCEPTION(EAbort, client->get(server.url("/pkg.zlb"), FInstall->filePath("pkg.zlb")));
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(log.events.first(), QStringLiteral("begin 100"));
    QCOMPARE(log.count("end"), 1);
    QCOMPARE(destroy, client == nullptr);
    if (client) {
        QVERIFY(!client->isBusy());
        delete client;
    }
    QCOMPARE(filesIn(FInstall->path()), QStringList{});
}

// A full disk: the write fails with the reason a user can act on, and no half file is left that
// could be taken for a whole one.
void TestHttpClient::fullDisk()
{
#ifdef _WIN32
    QSKIP("a small volume needs a mount, which this test does only on Linux");
#else
    if (geteuid() != 0)
        QSKIP("mounting a small tmpfs needs root");
    const QString volume = FInstall->filePath("full");
    QVERIFY(QDir().mkpath(volume));
    QByteArray output;
    if (testsupport::run("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", volume}, &output) != 0)
        QSKIP(qPrintable("tmpfs could not be mounted: " + QString::fromLocal8Bit(output)));
    const auto unmount = qScopeGuard([&] { testsupport::run("umount", {volume}); });
    const QString destination = volume + "/pkg.zlb";
    testsupport::writeFile(destination, "earlier");
    publish("big.zlb", bodyOfSize(300000));
    auto client = nginxClient();
    try {
        client->get(nginxUrl(FTestFolder + "/big.zlb"), destination);
        QFAIL("no exception");
    } catch (const EInOutError &e) {
        QVERIFY2(e.message().endsWith(": Schijf vol"), qPrintable(e.message()));
        QVERIFY2(e.message().startsWith("Cannot write file \""), qPrintable(e.message()));
    }
    QCOMPARE(testsupport::readFile(destination), QByteArray("earlier"));
    QCOMPARE(filesIn(volume), QStringList{"pkg.zlb"});
#endif
}

// The whole file arrived but cannot take the destination's place (a folder of that name): the
// transfer fails naming the destination, the folder stays, and no partial file is left.
void TestHttpClient::destinationNotReplaceable()
{
    const QString destination = FInstall->filePath("pkg.zlb");
    QVERIFY(QDir().mkpath(destination + "/inside"));
    publish("small.zlb", bodyOfSize(1000));
    auto client = nginxClient();
    try {
        client->get(nginxUrl(FTestFolder + "/small.zlb"), destination);
        QFAIL("no exception");
    } catch (const EInOutError &e) {
        QVERIFY2(e.message().startsWith("Cannot write file \"" + QDir::toNativeSeparators(destination) + "\": "),
                 qPrintable(e.message()));
    }
    QVERIFY(QFileInfo(destination + "/inside").isDir());
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb/"});
}

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
