#include "ServerFixture.h"
#include "TestSupport.h"
#include "UpdaterProcess.h"
#include "WindowFixture.h"
#include "platform/ServerAddress.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTest>
#include <QUrl>

namespace {
QString updaterName()
{
    return QFileInfo(QStringLiteral(KLV_AUTOUPDATE_EXE)).fileName();
}

const QString kList = QStringLiteral("/supports/whatsnewKEY1234567.klv");

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

#ifdef Q_OS_WIN
// The user's Internet settings as Windows keeps them for WinHTTP: the binary value
// DefaultConnectionSettings below Internet Settings\Connections (a version, a counter, flags, then
// the proxy, the bypass list and the PAC address, each as a length and its characters). An empty
// `proxy` removes it.
bool setInternetSettings(const QString &proxy)
{
    const QString key =
        QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections");
    if (proxy.isEmpty())
        return QProcess::execute(QStringLiteral("reg"), {"delete", key, "/v", "DefaultConnectionSettings", "/f"}) == 0;
    QByteArray blob;
    const auto dword = [&](quint32 v) {
        for (int i = 0; i < 4; ++i)
            blob.append(char((v >> (8 * i)) & 0xFF));
    };
    const auto text = [&](const QByteArray &t) {
        dword(quint32(t.size()));
        blob.append(t);
    };
    dword(0x46);
    dword(1);
    dword(0x3); // direct | proxy
    text(proxy.toLatin1());
    text("");
    text("");
    blob.append(QByteArray(32, '\0'));
    return QProcess::execute(QStringLiteral("reg"), {"add", key, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
                                                     "/d", QString::fromLatin1(blob.toHex()), "/f"}) == 0;
}
#endif

// The proxy's password as it appears anywhere: plain or percent-encoded.
const QList<QByteArray> kPasswordForms = {"Pr0xy:Geh@im", "Pr0xy%3AGeh%40im", "Geh@im", "Geh%40im"};
} // namespace

// Updates through a company's proxy server (a real squid that alone knows the update server's
// name): the system's settings, --proxy and KLV_PROXY, with and without a login, over http and
// https; and what the customer is told when the proxy refuses.
class TestProxy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void wholeRunThroughProxy_data();
    void wholeRunThroughProxy();
    void refusals_data();
    void refusals();
    void windowAsksForLoginOnce();

private:
    // The update server's address as only the proxy knows it.
    QString serverUrl(bool https) const;
    QString proxyUrl(bool login, const QString &password = QStringLiteral("Pr0xy%3AGeh%40im")) const;
    // squid's log lines of this test's folder.
    QStringList proxyLog() const;
    // squid's lines of tunnels (https) to the update server for `user` ("-": none), of any test.
    int tunnels(const QString &user) const;
    // Fails when the password shows in the output or in any file of the installation.
    void verifyNoPassword(const QByteArray &output);

    WindowFixture F;
    ServerFixture S;
    QString FRoot; // this test's folder on the server, "/t123"
};

void TestProxy::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
    QVERIFY(QFile::exists(QStringLiteral(KLV_AUTOUPDATE_EXE)));
}

void TestProxy::init()
{
    F.setUp();
    F.serverBase = S.setUp();
    FRoot = QUrl(klv::unscrambleServerBase(F.serverBase)).path();
    QVERIFY(QFile::copy(QStringLiteral(KLV_AUTOUPDATE_EXE), F.install + updaterName()));
    QFile::setPermissions(F.install + updaterName(), QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
    QVERIFY(F.sql({"create table RUNLOG (NAME varchar(20))"}));
    // A file package, a script package whose conversion runs, and a command.
    S.serve(kList, "[KLV137]\r\nhelp.dll=t3\r\n[SQL137]\r\nUPDATE=1011\r\n[CMD137]\r\nforcedupdate$=\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/help.zlb"), {{QStringLiteral("help.dll"), "help 3"}});
    S.servePackage(QStringLiteral("/supports/u1011.zlb"),
                   {{QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n"}});
}

void TestProxy::cleanup()
{
    F.tearDown();
    S.tearDown();
    for (const char *name : {"http_proxy", "https_proxy", "no_proxy", "KLV_PROXY"})
        qunsetenv(name);
#ifdef Q_OS_WIN
    setInternetSettings(QString());
#endif
}

QString TestProxy::serverUrl(bool https) const
{
    return QStringLiteral("%1://%2:%3%4")
        .arg(https ? "https" : "http", env("KLV_SQUID_HOST"),
             env(https ? "KLV_NGINX_HTTPS_PORT" : "KLV_NGINX_HTTP_PORT"), FRoot);
}

QString TestProxy::proxyUrl(bool login, const QString &password) const
{
    return login ? QStringLiteral("http://%1:%2@127.0.0.1:%3")
                       .arg(env("KLV_SQUID_USER"), password, env("KLV_SQUID_LOGIN_PORT"))
                 : QStringLiteral("http://127.0.0.1:%1").arg(env("KLV_SQUID_OPEN_PORT"));
}

QStringList TestProxy::proxyLog() const
{
    QStringList out;
    const QByteArray log = testsupport::readFile(env("KLV_SQUID_DIR") + QStringLiteral("/access.log"));
    for (const QByteArray &line : log.split('\n'))
        if (line.contains(FRoot.toUtf8() + '/'))
            out << QString::fromUtf8(line);
    return out;
}

int TestProxy::tunnels(const QString &user) const
{
    const QByteArray line =
        QStringLiteral(" %1 CONNECT %2:%3 200").arg(user, env("KLV_SQUID_HOST"), env("KLV_NGINX_HTTPS_PORT")).toUtf8();
    return int(testsupport::readFile(env("KLV_SQUID_DIR") + QStringLiteral("/access.log")).count(line));
}

void TestProxy::verifyNoPassword(const QByteArray &output)
{
    for (const QByteArray &form : kPasswordForms)
        QVERIFY2(!output.contains(form), output.constData());
    QDirIterator files(F.dir->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        const QByteArray bytes = testsupport::readFile(path);
        for (const QByteArray &form : kPasswordForms)
            QVERIFY2(!bytes.contains(form), qPrintable(path));
    }
}

void TestProxy::wholeRunThroughProxy_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("https");
    QTest::addColumn<bool>("login");
    for (const bool https : {false, true}) {
        const char *scheme = https ? "https" : "http";
        QTest::addRow("%s, --proxy without login", scheme) << "--proxy" << https << false;
        QTest::addRow("%s, --proxy with login", scheme) << "--proxy" << https << true;
        QTest::addRow("%s, KLV_PROXY with login", scheme) << "KLV_PROXY" << https << true;
        // The system's settings: on Windows the user's Internet settings (which name no login),
        // elsewhere the proxy variables.
#ifdef Q_OS_WIN
        QTest::addRow("%s, system settings", scheme) << "system" << https << false;
#else
        QTest::addRow("%s, system settings with login", scheme) << "system" << https << true;
#endif
    }
}

// The unattended run fetches and converts through the proxy only: the update server's name is
// known to nobody else.
void TestProxy::wholeRunThroughProxy()
{
    QFETCH(QString, how);
    QFETCH(bool, https);
    QFETCH(bool, login);
    QStringList args{"0", "0", "KLV", "--unattended", "--convert", "--backup-made", "--no-restart"};
    if (how == u"--proxy")
        args << QStringLiteral("--proxy") << proxyUrl(login);
    else if (how == u"KLV_PROXY")
        qputenv("KLV_PROXY", proxyUrl(login).toUtf8());
    else
#ifdef Q_OS_WIN
        QVERIFY(setInternetSettings(proxyUrl(login).mid(7)));
#else
        qputenv(https ? "https_proxy" : "http_proxy", proxyUrl(login).toUtf8());
#endif
    const QString user = login ? env("KLV_SQUID_USER") : QStringLiteral("-");
    const int tunnelsBefore = tunnels(user);
    QByteArray out;
    QCOMPARE(updaterprocess::run({F.install + updaterName(), F.install, serverUrl(https)}, args, &out), 0);
    QVERIFY2(out.contains("Informatie: Conversie succesvol be\xC3\xAB"
                          "indigd"),
             out.constData());
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("help.dll")), QByteArray("help 3"));
    QCOMPARE(F.column(QStringLiteral("select NAME from RUNLOG")), QStringList{"U1011"});
    // Every request went through the proxy, as the proxy's user when it asks for one. (A tunnel
    // shows once, when it closes; the requests inside it show in nginx's log.)
    if (!https) {
        const QStringList lines = proxyLog();
        for (const QString &path :
             {kList, QStringLiteral("/supports/klv137/help.zlb"), QStringLiteral("/supports/u1011.zlb")})
            QVERIFY2(lines.filter(QStringLiteral(" %1 GET http://%2:%3%4%5 200")
                                      .arg(user, env("KLV_SQUID_HOST"), env("KLV_NGINX_HTTP_PORT"), FRoot, path))
                             .size() == 1,
                     qPrintable(lines.join(u'\n')));
    } else {
        QVERIFY2(S.requestCount(QStringLiteral("/supports/u1011.zlb")) == 1, qPrintable(S.requests().join(u',')));
        QTRY_VERIFY(tunnels(user) > tunnelsBefore);
    }
    verifyNoPassword(out);
}

void TestProxy::refusals_data()
{
    QTest::addColumn<QStringList>("proxyArgs");
    QTest::addColumn<QByteArray>("reason");
    const QByteArray login = "127.0.0.1:" + env("KLV_SQUID_LOGIN_PORT").toUtf8();
    QTest::newRow("wrong password") << QStringList{"--proxy", proxyUrl(true, QStringLiteral("Geh%40im-fout"))}
                                    << "De proxyserver " + login + " weigerde de aanmelding van gebruiker kantoor.";
    QTest::newRow("no login given") << QStringList{"--proxy", QStringLiteral("http://") + login}
                                    << "De proxyserver " + login + " vraagt om een aanmelding.";
    QTest::newRow("unreachable") << QStringList{"--proxy", QStringLiteral("http://127.0.0.1:9")}
                                 << QByteArray("De proxyserver 127.0.0.1:9 is niet bereikbaar");
    // Around the proxy the update server's name is unknown.
    QTest::newRow("no proxy") << QStringList{"--no-proxy"} << QByteArray();
}

// A proxy that refuses ends the run as failed, with the reason in Dutch, in the output and in
// AuError.txt, and never with the password.
void TestProxy::refusals()
{
    QFETCH(QStringList, proxyArgs);
    QFETCH(QByteArray, reason);
    qputenv("http_proxy", proxyUrl(true).toUtf8()); // the options win over the system's settings
    QByteArray out;
    QCOMPARE(updaterprocess::run({F.install + updaterName(), F.install, serverUrl(false)},
                                 QStringList{"0", "0", "KLV", "--unattended", "--no-restart"} + proxyArgs, &out),
             1);
    QVERIFY2(out.contains("Fout: " + reason), out.constData());
    QVERIFY(out.trimmed().endsWith("Update mislukt."));
    if (!reason.isEmpty())
        QVERIFY(testsupport::readFile(F.install + QStringLiteral("AuError.txt")).contains(reason));
    // A refused login is not tried again and again: each try may count towards a locked account.
    if (reason.contains("aanmelding"))
        QVERIFY2(!out.contains("opnieuw proberen"), out.constData());
    QVERIFY(!QFile::exists(F.install + QStringLiteral("help.dll")));
    verifyNoPassword(out);
}

// In the window a proxy that wants a login asks for it once; the run carries on with it.
void TestProxy::windowAsksForLoginOnce()
{
    F.serverBase = klv::scrambleServerBase(serverUrl(false));
    QString why;
    F.proxy = *klv::ProxyChoice::fromUrl(QStringLiteral("http://127.0.0.1:") + env("KLV_SQUID_LOGIN_PORT"), why);
    F.dialogs->queueLogin(env("KLV_SQUID_USER"), env("KLV_SQUID_PASSWORD"));
    F.create()->show();
    F.click("BtnDownload");
    QCOMPARE(F.dialogs->texts(klv::Dialogs::Kind::Confirmation),
             QStringList{QStringLiteral("De proxyserver 127.0.0.1:%1 vraagt om een aanmelding. Het wachtwoord wordt "
                                        "alleen voor deze update gebruikt en nergens bewaard.")
                             .arg(env("KLV_SQUID_LOGIN_PORT"))});
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("help.dll")), QByteArray("help 3"));
    QVERIFY(proxyLog().filter(QStringLiteral(" kantoor GET ")).size() >= 2);
    verifyNoPassword(F.window ? F.child<QPlainTextEdit>("Memo1")->toPlainText().toUtf8() : QByteArray());
}

QTEST_MAIN(TestProxy)
#include "tst_proxy.moc"
