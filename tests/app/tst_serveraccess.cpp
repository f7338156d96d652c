#include "AutoUpdateFrm.h"
#include "platform/Exceptions.h"
#include "platform/HttpClient.h"
#include "platform/ServerAddress.h"

#include "TestSupport.h"
#include "WindowFixture.h"

#include <QDir>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QTest>

using namespace klv;
using Kind = Dialogs::Kind;

namespace {
const QString kRestarting =
    QStringLiteral("Autoupdate wordt afgesloten en opnieuw opgestart, vanwege een interne update.");

QString decimal(const char *number)
{
    return QString::fromLatin1(number).replace(u'.', QLocale::system().decimalPoint());
}
} // namespace

// Fetching from a real nginx with the customer's credentials, transfer progress and the
// updater's own renewal, through the window.
class TestServerAccess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void download_data();
    void download();
    void failuresLeaveNothing_data();
    void failuresLeaveNothing();
    void progressTexts_data();
    void progressTexts();
    void progressOfRealTransfer();
    void progressOfResumedTransfer();
    void selfRenewal_data();
    void selfRenewal();
    void newUpdater_data();
    void newUpdater();

private:
    void serve(const QString &path, const QByteArray &bytes);
    int requestsFor(const QString &path);
    QString panel(int index) { return F.child<QLabel>(index == 0 ? "StatusBar1Panel0" : "StatusBar1Panel1")->text(); }

    WindowFixture F;
    QString FRoot; // this test's folder below the server's document root
};

void TestServerAccess::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY2(!qEnvironmentVariable("KLV_NGINX_DIR").isEmpty(), "needs the nginx fixture");
    // The installation's own credentials: participant 4711, customer key KEY1234567.
    QByteArray hash;
    QCOMPARE(testsupport::run(QStringLiteral("openssl"), {"passwd", "-apr1", "KEY1234567"}, &hash), 0);
    const QString htpasswd = qEnvironmentVariable("KLV_NGINX_DIR") + QStringLiteral("/htpasswd");
    const QByteArray line = "4711:" + hash.trimmed() + "\n";
    if (!testsupport::readFile(htpasswd).contains("\n4711:"))
        testsupport::writeFile(htpasswd, testsupport::readFile(htpasswd) + line);
}

void TestServerAccess::init()
{
    F.setUp();
    FRoot = QStringLiteral("t%1").arg(QRandomGenerator::global()->generate());
    F.serverBase = scrambleServerBase(
        QStringLiteral("http://127.0.0.1:%1/%2").arg(qEnvironmentVariable("KLV_NGINX_HTTP_PORT"), FRoot));
}

void TestServerAccess::cleanup()
{
    F.tearDown();
    QDir(qEnvironmentVariable("KLV_NGINX_DOCROOT") + u'/' + FRoot).removeRecursively();
}

void TestServerAccess::serve(const QString &path, const QByteArray &bytes)
{
    testsupport::writeFile(qEnvironmentVariable("KLV_NGINX_DOCROOT") + u'/' + FRoot + path, bytes);
}

int TestServerAccess::requestsFor(const QString &path)
{
    const QByteArray log =
        testsupport::readFile(qEnvironmentVariable("KLV_NGINX_DIR") + QStringLiteral("/logs/access.log"));
    return int(log.count(("GET /" + FRoot + path).toUtf8()));
}

void TestServerAccess::download_data()
{
    QTest::addColumn<QString>("subfolder");
    QTest::addColumn<QString>("written");
    QTest::newRow("installation folder") << ""
                                         << "help.zlb";
    QTest::newRow("subfolder") << "Extra\\"
                               << "Extra/help.zlb";
}

void TestServerAccess::download()
{
    QFETCH(QString, subfolder);
    QFETCH(QString, written);
    QDir().mkpath(F.install + QStringLiteral("Extra"));
    const QByteArray body(300000, 'z');
    serve(QStringLiteral("/supports/klv137/help.zlb"), body);
    F.create()->show();
    F.window->DownloadSupportFile(QStringLiteral("help.zlb"), QStringLiteral("klv137/"), subfolder);
    QCOMPARE(testsupport::readFile(F.install + written), body);
    QCOMPARE(requestsFor(QStringLiteral("/supports/klv137/help.zlb")), 1);
}

void TestServerAccess::failuresLeaveNothing_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("license");
    QTest::addColumn<QString>("subfolder");
    QTest::addColumn<int>("status"); // 0: no request at all
    QTest::newRow("missing file") << "gone.zlb"
                                  << "KEY1234567"
                                  << "" << 404;
    QTest::newRow("wrong customer key") << "list.klv"
                                        << "WRONGKEY99"
                                        << "" << 401;
    QTest::newRow("missing subfolder") << "list.klv"
                                       << "KEY1234567"
                                       << "Nope\\" << 0;
}

void TestServerAccess::failuresLeaveNothing()
{
    QFETCH(QString, file);
    QFETCH(QString, license);
    QFETCH(QString, subfolder);
    QFETCH(int, status);
    serve(QStringLiteral("/supports/list.klv"), "[KLV137]\r\n");
    QVERIFY(F.sql({QStringLiteral("update LICENSE set LICENSE = '%1'").arg(license)}));
    testsupport::writeFile(F.install + file, "earlier");
    F.create()->show();
    bool raised = false;
    try {
        F.window->DownloadSupportFile(file, QString(), subfolder);
    } catch (const EIdHTTPProtocolException &e) {
        raised = true;
        QCOMPARE(e.errorCode(), status);
    } catch (const Exception &) {
        raised = true;
        QCOMPARE(status, 0);
    }
    QVERIFY(raised);
    QCOMPARE(testsupport::readFile(F.install + file), QByteArray("earlier"));
    QCOMPARE(QDir(F.install).entryList(QDir::Files).filter(QStringLiteral("list.klv")).size(),
             0 + (file == u"list.klv"));
    QCOMPARE(requestsFor(QStringLiteral("/supports/") + file), status == 0 ? 0 : 1);
}

void TestServerAccess::progressTexts_data()
{
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<int>("elapsedMs");
    QTest::addColumn<qint64>("count");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("remaining");
    QTest::newRow("same millisecond") << qint64(500 * 1024) << 0 << qint64(4096) << 500 * 1024
                                      << " Download snelheid 0.00 KB/s"
                                      << "";
    QTest::newRow("500 KB, 100 KB after 2 s")
        << qint64(500 * 1024) << 2000 << qint64(100 * 1024) << 500 * 1024 << " Download snelheid 50.00 KB/s"
        << " Resterende tijd 00:00:09";
    // No length: the gauge keeps its maximum of 100 and the time is computed from it.
    QTest::newRow("no length") << qint64(0) << 1000 << qint64(2048) << 100 << " Download snelheid 2.00 KB/s"
                               << " Resterende tijd 00:00:01";
    QTest::newRow("hours") << qint64(100000 * 1024) << 1000 << qint64(10 * 1024) << 100000 * 1024
                           << " Download snelheid 10.00 KB/s"
                           << " Resterende tijd 02:46:40";
}

void TestServerAccess::progressTexts()
{
    QFETCH(qint64, expected);
    QFETCH(int, elapsedMs);
    QFETCH(qint64, count);
    QFETCH(int, maximum);
    QFETCH(QString, speed);
    QFETCH(QString, remaining);
    F.create();
    const QDateTime start = F.clock->now();
    F.window->WorkBegin(expected);
    F.clock->set(start.addMSecs(elapsedMs));
    F.window->Work(0, count);
    auto *gauge = F.child<QProgressBar>("Gauge1");
    QCOMPARE(gauge->maximum(), maximum);
    QCOMPARE(gauge->value(), int(std::min<qint64>(count, maximum)));
    QCOMPARE(panel(0), decimal(qPrintable(speed)));
    QCOMPARE(panel(1), remaining);
    F.window->WorkEnd();
    QCOMPARE(panel(0), decimal(qPrintable(speed)));
    QCOMPARE(panel(1), QStringLiteral("Downloaden is voltooid."));
    QCOMPARE(gauge->value(), 0);
    QCOMPARE(F.window->FSpeed, 0.0);
}

void TestServerAccess::progressOfRealTransfer()
{
    serve(QStringLiteral("/supports/big.zlb"), QByteArray(3 * 1024 * 1024, 'b'));
    F.create()->show();
    // The gauge names the file and the megabytes while it runs, and is plain again after.
    auto *gauge = F.child<QProgressBar>("Gauge1");
    QStringList texts;
    const auto work = F.window->IdHTTP1->OnWork;
    F.window->IdHTTP1->OnWork = [&](WorkMode mode, int64_t count) {
        work(mode, count);
        texts << gauge->format();
    };
    F.window->DownloadSupportFile(QStringLiteral("big.zlb"), QString(), QString());
    QVERIFY(!texts.isEmpty());
    QVERIFY2(texts[0].startsWith(QStringLiteral("Bestand 1 van 1: big.zlb, ")), qPrintable(texts[0]));
    QVERIFY2(texts[0].endsWith(decimal(" van 3.0 MB (%p%)")), qPrintable(texts[0]));
    QCOMPARE(gauge->format(), QStringLiteral("%p%"));
    QCOMPARE(F.child<QProgressBar>("Gauge1")->maximum(), 3 * 1024 * 1024);
    QCOMPARE(F.child<QProgressBar>("Gauge1")->value(), 0);
    QVERIFY(panel(0).startsWith(QStringLiteral(" Download snelheid ")));
    QCOMPARE(panel(1), QStringLiteral("Downloaden is voltooid."));
}

// A transfer that continues a partial file: the gauge shows the whole file, the speed is that of
// what this attempt fetched, not of the bytes that were there already.
void TestServerAccess::progressOfResumedTransfer()
{
    // Large enough that the first block of a local transfer is a small part of it.
    constexpr int kSize = 24 * 1024 * 1024;
    serve(QStringLiteral("/supports/big.zlb"), QByteArray(kSize, 'b'));
    F.create()->show();
    HttpClient &http = *F.window->IdHTTP1;
    const auto work = http.OnWork;
    http.OnWork = [&](WorkMode mode, int64_t count) {
        work(mode, count);
        if (count > 0)
            http.abort(); // the user closed: the partial file stays to be continued
    };
    QVERIFY_THROWS_EXCEPTION(EAbort, F.window->DownloadSupportFile(QStringLiteral("big.zlb"), QString(), QString()));
    QVERIFY(QFile::exists(F.install + QStringLiteral("big.zlb") + QLatin1String(HttpClient::kPartialSuffix)));

    int64_t resumedFrom = -1;
    int64_t firstCount = -1;
    double firstSpeed = -1;
    const QDateTime start = F.clock->now();
    http.OnWork = [&](WorkMode mode, int64_t count) {
        F.clock->set(start.addSecs(2));
        work(mode, count);
        if (firstCount < 0) {
            resumedFrom = http.resumedFrom();
            firstCount = count;
            firstSpeed = F.window->FSpeed;
        }
    };
    F.window->DownloadSupportFile(QStringLiteral("big.zlb"), QString(), QString());
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("big.zlb")), QByteArray(kSize, 'b'));
    QVERIFY2(resumedFrom > 0 && resumedFrom < kSize, QByteArray::number(qint64(resumedFrom)).constData());
    QCOMPARE(F.child<QProgressBar>("Gauge1")->maximum(), kSize);
    QCOMPARE(firstSpeed, double(firstCount - resumedFrom) / 1024.0 / 2.0);
}

void TestServerAccess::selfRenewal_data()
{
    QTest::addColumn<QString>("installed"); // empty: no AutoUpdate.exe
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<bool>("built"); // the AutoUpdate.exe of this build is the installed one
    QTest::newRow("equal") << "5.2.0.1"
                           << "5.2.0.1" << false << false;
    QTest::newRow("differs as text") << "5.2.0.1"
                                     << "5.2.0.01" << true << false;
    QTest::newRow("installed newer") << "5.3.0.0"
                                     << "5.2.0.1" << true << false;
    QTest::newRow("missing, 0.0.0.0 wanted") << ""
                                             << "0.0.0.0" << false << false;
    QTest::newRow("missing") << ""
                             << "5.2.0.1" << true << false;
    QTest::newRow("built, its version") << "" << KLV_VERSION << false << true;
    QTest::newRow("built, 0.0.0.0 wanted") << ""
                                           << "0.0.0.0" << true << true;
}

void TestServerAccess::selfRenewal()
{
    QFETCH(QString, installed);
    QFETCH(QString, wanted);
    QFETCH(bool, closes);
    QFETCH(bool, built);
    if (built) {
#ifdef KLV_BUILT_UPDATER
        QVERIFY(QFile::copy(QStringLiteral(KLV_BUILT_UPDATER), F.install + QStringLiteral("AutoUpdate.exe")));
#else
        QSKIP("only the Windows build makes AutoUpdate.exe with a version resource");
#endif
    }
    if (!installed.isEmpty())
        QVERIFY(testsupport::makeVersionedExe(F.install + QStringLiteral("AutoUpdate.exe"),
                                              {{QStringLiteral("FileVersion"), installed}}));
    F.create()->show();
    F.window->CheckSelfRenewal(wanted);
    if (closes) {
        QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{kRestarting});
        QTRY_VERIFY(F.window.isNull());
        QCOMPARE(F.shell->executes.size(), 1); // closing hands over to Kelvora
    } else {
        QVERIFY(F.dialogs->entries().isEmpty());
        QTest::qWait(10);
        QVERIFY(F.window);
    }
}

void TestServerAccess::newUpdater_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
}

void TestServerAccess::newUpdater()
{
    QFETCH(bool, yes);
    serve(QStringLiteral("/public/autoupdate2.exe"), "MZ new updater");
    F.create()->show();
    F.dialogs->queueAnswer(yes);
    F.click("BtnNewAU");
    QCOMPARE(F.dialogs->texts(Kind::Confirmation), QStringList{QStringLiteral("Nieuwe autoupdate ophalen?")});
    QCOMPARE(requestsFor(QStringLiteral("/public/autoupdate2.exe")), yes ? 1 : 0);
    if (yes) {
        QCOMPARE(testsupport::readFile(F.install + QStringLiteral("autoupdate2.exe")), QByteArray("MZ new updater"));
        QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{kRestarting});
        QTRY_VERIFY(F.window.isNull());
    } else {
        QVERIFY(!QFile::exists(F.install + QStringLiteral("autoupdate2.exe")));
        QVERIFY(F.window);
    }
}

QTEST_MAIN(TestServerAccess)
#include "tst_serveraccess.moc"
