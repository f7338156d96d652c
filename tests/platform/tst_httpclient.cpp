#include "platform/Exceptions.h"
#include "platform/HttpClient.h"

#include "FaultServer.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace klv;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(QList<FaultServer::Step>)

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
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const QString user = env("KLV_NGINX_USER");
    const QString password = env("KLV_NGINX_PASSWORD");
    QTest::newRow("wrong password") << user << "wrong"
                                    << "pkg.zlb" << true << 401 << "HTTP/1.1 401 Unauthorized";
    QTest::newRow("no credentials") << ""
                                    << ""
                                    << "pkg.zlb" << false << 401 << "HTTP/1.1 401 Unauthorized";
    QTest::newRow("unknown user") << "nobody" << password << "pkg.zlb" << false << 401 << "HTTP/1.1 401 Unauthorized";
    QTest::newRow("missing file") << user << password << "missing.zlb" << true << 404 << "HTTP/1.1 404 Not Found";
    QTest::newRow("missing file, none before")
        << user << password << "missing.zlb" << false << 404 << "HTTP/1.1 404 Not Found";
}

void TestHttpClient::errorStatusWritesNothing()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, path);
    QFETCH(bool, earlierFile);
    QFETCH(int, status);
    QFETCH(QString, message);
    publish("pkg.zlb", "the package");
    const QString destination = FInstall->filePath("pkg.zlb");
    if (earlierFile)
        testsupport::writeFile(destination, "earlier");

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
    QTest::newRow("http to https") << "to-https/" << false << true << "";
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
            QCOMPARE(e.className(), QStringLiteral("Exception"));
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

    const QByteArray body = bodyOfSize(100000);
    const auto length = [](qsizetype n) { return "Content-Length: " + QByteArray::number(n) + "\r\n"; };
    using S = FaultServer::Step;
    const QByteArray chunks = "1000\r\n" + body.left(4096) + "\r\n";
    QTest::newRow("cut midway") << QList<S>{{FaultServer::head("200 OK", length(body.size())) + body.left(30000), 50}}
                                << "Exception"
                                << "";
    QTest::newRow("one byte short") << QList<S>{{FaultServer::head("200 OK", length(1000)) + body.left(999), 50}}
                                    << "Exception"
                                    << "";
    QTest::newRow("chunked, cut before the last chunk")
        << QList<S>{{FaultServer::head("200 OK", "Transfer-Encoding: chunked\r\n") + chunks, 50}} << "Exception"
        << "";
    QTest::newRow("stall inside the body")
        << QList<S>{{FaultServer::head("200 OK", length(1000)) + body.left(100), 5000}} << "Exception"
        << "No data arrived";
    QTest::newRow("stall before the answer") << QList<S>{{QByteArray(), 5000}} << "Exception"
                                             << "No data arrived";
    QTest::newRow("chunked, no length")
        << QList<S>{{FaultServer::head("200 OK", "Transfer-Encoding: chunked\r\n") + chunks + "0\r\n\r\n", 50}}
        << "Exception"
        << "did not announce the length";
    QTest::newRow("no length, ends with the connection")
        << QList<S>{{"HTTP/1.0 200 OK\r\n\r\n" + body.left(5000), 50}} << "Exception"
        << "did not announce the length";
    QTest::newRow("not http") << QList<S>{{"SSH-2.0-Server\r\n\r\n", 0}} << "Exception"
                              << "";
    QTest::newRow("closed without answer") << QList<S>{} << "Exception"
                                           << "";
    QTest::newRow("server error with body")
        << QList<S>{{FaultServer::head("500 Internal Server Error", length(5)) + "oops!", 0}}
        << "EIdHTTPProtocolException"
        << "HTTP/1.1 500 Internal Server Error";
    QTest::newRow("not modified") << QList<S>{{FaultServer::head("304 Not Modified"), 0}} << "EIdHTTPProtocolException"
                                  << "HTTP/1.1 304 Not Modified";
}

void TestHttpClient::faultsLeaveNothing()
{
    QFETCH(QList<FaultServer::Step>, script);
    QFETCH(QString, className);
    QFETCH(QString, message);
    FaultServer server;
    server.setScript(script);
    const QString destination = FInstall->filePath("pkg.zlb");
    testsupport::writeFile(destination, "earlier");

    HttpClient client;
    client.setInactivityTimeout(400ms);
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
    QCOMPARE(filesIn(FInstall->path()), QStringList{"pkg.zlb"});
    QCOMPARE(log.count("begin"), 1);
    QCOMPARE(log.count("end"), 1);
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

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
