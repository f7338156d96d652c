#include "AutoUpdateFrm.h"
#include "archive/ZLBWriter.h"
#include "platform/HttpClient.h"
#include "platform/ServerAddress.h"

#include "FaultServer.h"
#include "ServerFixture.h"
#include "TestDatabases.h"
#include "TestSupport.h"
#include "WindowFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTest>

using namespace klv;
using Kind = Dialogs::Kind;

namespace {
const QString kList = QStringLiteral("/supports/whatsnewKEY1234567.klv");
const QString kAllDone = QStringLiteral("Auto Update is voltooid.");
const QString kUnverified = QStringLiteral(
    "Let op: deze AutoUpdate is gebouwd zonder sleutel van de maker; updates worden niet op echtheid gecontroleerd.");
const QString kConversionWaiting = QStringLiteral("Download is voltooid, start update indien nodig.");
} // namespace

// "Ophalen" from the package list to the finished installation, against a real nginx.
class TestDownloadRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void customerKeyFallsBackToGeneralList();
    void retryYesThenSuccess();
    void failuresExplained_data();
    void failuresExplained();
    void versionedEntries_data();
    void versionedEntries();
    void numberedEntry_data();
    void numberedEntry();
    void forcedEntries();
    void upperCaseForcedIsAVersion();
    void emptyValueNamesTheKey();
    void databaseAndScriptPackagesInOrder();
    void subfolderKeyUsesBareName();
    void commandFailingMidway();
    void listWithoutThisRelease();
    void notAPackageList();
    void corruptPackage();
    void selfRenewClosesMidway();
    void endsOnUpdateTabWhenConversionWaits();
    void runOnPostgres();
    void serverStopsServingMidway();
    void largePackageList();
    void wholeRoadAsUser();
    void closeDuringTransfer();
    void pathsOutsideRefused_data();
    void pathsOutsideRefused();

private:
    void start(const QStringList &args = {QStringLiteral("11"), QStringLiteral("22"), QStringLiteral("KLV")});
    void ophalen() { F.click("BtnDownload"); }
    QStringList log() { return F.child<QPlainTextEdit>("Memo1")->toPlainText().split(u'\n', Qt::SkipEmptyParts); }
    QStringList info() { return F.dialogs->texts(Kind::Information); }

    WindowFixture F;
    ServerFixture S;
};

void TestDownloadRun::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
    QVERIFY(ServerFixture::addUser(QStringLiteral("4712"), QStringLiteral("ABC")));
}

void TestDownloadRun::init()
{
    F.setUp();
    F.serverBase = S.setUp();
}

void TestDownloadRun::cleanup()
{
    F.tearDown();
    S.tearDown();
}

void TestDownloadRun::start(const QStringList &args)
{
    F.create(args)->show();
    QVERIFY(F.dialogs->entries().isEmpty());
}

void TestDownloadRun::customerKeyFallsBackToGeneralList()
{
    QVERIFY(F.sql({"update SYSTEMINFO set SDEELNEMERNR_INF = '4712'", "update LICENSE set LICENSE = 'ABC'"}));
    S.serve(QStringLiteral("/supports/whatsnew.klv"), "[KLV137]\r\n");
    start();
    ophalen();
    QCOMPARE(S.requests(), (QStringList{"/supports/whatsnewABC.klv", "/supports/whatsnew.klv"}));
    // A build without the maker's keys says so once per run.
    QCOMPARE(log(), (QStringList{"Download: whatsnew.klv", "Downloaded: whatsnew.klv", kUnverified}));
    QCOMPARE(info(), QStringList{kAllDone});
    QTRY_VERIFY(F.window.isNull());
}

void TestDownloadRun::retryYesThenSuccess()
{
    start();
    F.dialogs->queueAnswer(true);
    // The list appears on the server while the question is open.
    F.dialogs->OnMessage = [this](const ScriptedDialogs::Entry &e) {
        if (e.kind == Kind::Confirmation)
            S.serve(kList, "[KLV137]\r\n");
    };
    ophalen();
    QCOMPARE(F.dialogs->texts(Kind::Confirmation),
             QStringList{QStringLiteral("Website is niet beschikbaar, wilt u het opnieuw proberen?")});
    QCOMPARE(S.requests(), (QStringList{kList, "/supports/whatsnew.klv", kList}));
    QCOMPARE(log().first(), QStringLiteral("Download: whatsnew.klv"));
    QCOMPARE(log().mid(log().size() - 2), (QStringList{"Downloaded: whatsnewKEY1234567.klv", kUnverified}));
    QCOMPARE(info(), QStringList{kAllDone});
}

// Each way the server can fail, as the person at the screen meets it: one Dutch text that says
// what happened and what to do, in the download log and in the box, and the retry question only
// where another try may help. Answered "Nee", the run stops with "Ophalen" disabled.
void TestDownloadRun::failuresExplained_data()
{
    QTest::addColumn<QString>("server"); // nginx, closed, unknown, fault500
    QTest::addColumn<bool>("wrongKey");
    QTest::addColumn<QString>("text"); // the start of the explanation
    QTest::addColumn<bool>("asked");
    QTest::newRow("connection refused") << "closed" << false << "De updateserver weigert de verbinding." << true;
    QTest::newRow("name not found") << "unknown" << false << "De updateserver is niet gevonden" << true;
    QTest::newRow("key refused") << "nginx" << true
                                 << "De updateserver weigert de klantcode van deze installatie (HTTP 401)" << false;
    QTest::newRow("list missing") << "nginx" << false << "Een bestand van de update staat (nog) niet op de updateserver"
                                  << true;
    QTest::newRow("server error") << "fault500" << false << "De updateserver meldt een storing (HTTP 500)." << true;
}

void TestDownloadRun::failuresExplained()
{
    QFETCH(QString, server);
    QFETCH(bool, wrongKey);
    QFETCH(QString, text);
    QFETCH(bool, asked);
    FaultServer fault;
    fault.setScript({{FaultServer::head("500 Internal Server Error", "Content-Length: 0\r\n"), 0}});
    if (server == u"closed")
        F.serverBase = scrambleServerBase(QStringLiteral("http://127.0.0.1:9"));
    else if (server == u"unknown")
        F.serverBase = scrambleServerBase(QStringLiteral("http://klv-update.invalid"));
    else if (server == u"fault500")
        F.serverBase = scrambleServerBase(fault.url(QString()).toString());
    if (wrongKey)
        QVERIFY(F.sql({"update LICENSE set LICENSE = 'WRONGKEY00'"}));
    start();
    F.dialogs->queueAnswer(false);
    ophalen();
    QCOMPARE(F.dialogs->texts(Kind::Confirmation).size(), asked ? 1 : 0);
    const QStringList errors = F.dialogs->texts(Kind::Error);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].startsWith(text), qPrintable(errors[0]));
    QVERIFY2(log().contains(errors[0]), qPrintable(log().join(u'\n')));
    QVERIFY(!F.child<QPushButton>("BtnDownload")->isEnabled());
    QVERIFY(!F.window->FRunActive);
    QVERIFY(F.window);
}

void TestDownloadRun::versionedEntries_data()
{
    QTest::addColumn<QString>("installed"); // FileVersion of help.dll in the updater folder
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<bool>("needed");
    QTest::newRow("lower build") << "5.2.1.7"
                                 << "5.2.1.8" << true;
    QTest::newRow("5.2.10.0 older than 5.3.0.0") << "5.2.10.0"
                                                 << "5.3.0.0" << true;
    QTest::newRow("5.3.0.0 newer than 5.2.10.0") << "5.3.0.0"
                                                 << "5.2.10.0" << false;
    QTest::newRow("equal") << "5.2.0.1"
                           << "5.2.0.1" << false;
    QTest::newRow("missing file") << ""
                                  << "1.0.0.0" << true;
}

void TestDownloadRun::versionedEntries()
{
    QFETCH(QString, installed);
    QFETCH(QString, wanted);
    QFETCH(bool, needed);
    if (!installed.isEmpty())
        QVERIFY(testsupport::makeVersionedExe(F.updater + QStringLiteral("help.dll"),
                                              {{QStringLiteral("FileVersion"), installed}}));
    S.serve(kList, "[KLV137]\r\nhelp.dll=" + wanted.toLatin1() + "\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/help.zlb"), {{QStringLiteral("help.dll"), "new help"}});
    start();
    ophalen();
    QCOMPARE(S.requestCount(QStringLiteral("/supports/klv137/help.zlb")), needed ? 1 : 0);
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("help.dll")) == "new help", needed);
    QCOMPARE(info(), QStringList{kAllDone});
    if (needed) {
        QCOMPARE(F.shell->executes.first().file, QStringLiteral("attrib"));
        QCOMPARE(F.shell->executes.first().params, QStringLiteral("-R \"") + F.install + QStringLiteral("help.dll\""));
        QCOMPARE(F.shell->executes.first().show, int(Shell::SW_HIDE));
        QVERIFY(log().contains(QStringLiteral("Download help.zlb")));
    }
    QVERIFY(!QFile::exists(F.install + QStringLiteral("help.zlb"))); // fetched archives are removed
}

void TestDownloadRun::numberedEntry_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("weHave");
    QTest::addColumn<QByteArray>("weHaveAfter");
    // The name keeps the spelling it had in the list.
    QTest::newRow("137 over 136") << true << QByteArray("KLV.EXE=136\r\n") << QByteArray("KLV.EXE=137\r\n");
    QTest::newRow("missing file counts as 0")
        << false << QByteArray("klv.exe=137\r\n") << QByteArray("klv.exe=137\r\n");
}

void TestDownloadRun::numberedEntry()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, weHave);
    QFETCH(QByteArray, weHaveAfter);
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), weHave);
    if (!present)
        QFile::rename(F.install + QStringLiteral("KLV.EXE"), F.install + QStringLiteral("elsewhere.exe"));
    QFile::copy(F.install + (present ? QStringLiteral("KLV.EXE") : QStringLiteral("elsewhere.exe")),
                F.dir->filePath(QStringLiteral("new.exe")));
    S.serve(kList, "[KLV137]\r\nklv.exe=137\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/klv.zlb"),
                   {{QStringLiteral("klv.exe"), testsupport::readFile(F.dir->filePath(QStringLiteral("new.exe")))}});
    start();
    ophalen();
    QCOMPARE(S.requestCount(QStringLiteral("/supports/klv137/klv.zlb")), 1);
    QCOMPARE(info(), (QStringList{"klv.exe 137 137", kAllDone}));
    QCOMPARE(F.shell->posts.size(), 2);
    QCOMPARE(F.shell->posts[0].wnd, 11);
    QCOMPARE(F.shell->posts[1].wnd, 22);
    QCOMPARE(F.shell->posts[0].msg, 1040u);
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")), weHaveAfter);
}

void TestDownloadRun::forcedEntries()
{
    S.serve(kList, "[KLV137]\r\nKLV.EXE=t\r\nx.dll=t12\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/KLV.zlb"), {{QStringLiteral("note.txt"), "a"}});
    S.servePackage(QStringLiteral("/supports/klv137/x.zlb"), {{QStringLiteral("x.dll"), "x"}});
    start();
    ophalen();
    QCOMPARE(S.requests().mid(1), (QStringList{"/supports/klv137/KLV.zlb", "/supports/klv137/x.zlb"}));
    QCOMPARE(info(), (QStringList{"x.dll 12 12", kAllDone}));
    QVERIFY(F.shell->posts.isEmpty()); // KLV.EXE in capitals does not warn the main program
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")), QByteArray("x.dll=12\r\n"));
}

void TestDownloadRun::upperCaseForcedIsAVersion()
{
    S.serve(kList, "[KLV137]\r\nx.dll=T12\r\n");
    start();
    ophalen();
    QCOMPARE(info().size(), 1);
    QVERIFY2(info()[0].contains(QStringLiteral("T12")), qPrintable(info()[0]));
    QVERIFY(F.window); // the run ended; the window stays
    QVERIFY(F.child<QPushButton>("BtnDownload")->isEnabled());
}

void TestDownloadRun::emptyValueNamesTheKey()
{
    S.serve(kList, "[KLV137]\r\ntools\\x.dll=t\r\nx.dll=\r\n");
    start();
    ophalen();
    // The value of tools\x.dll stands under x.dll, which is empty.
    QCOMPARE(info(), QStringList{QStringLiteral("De pakketlijst geeft geen waarde voor tools\\x.dll.")});
    QVERIFY(S.requests().size() == 1);
}

void TestDownloadRun::databaseAndScriptPackagesInOrder()
{
    S.serve(kList, "[SQL137]\r\nVERSIE=140\r\nUPDATE=1010\r\n");
    for (int k : {138, 139, 140})
        S.servePackage(QStringLiteral("/supports/%1.zlb").arg(k),
                       {{QStringLiteral("%1.SQL").arg(k), "select 1\r\n;\r\n"}});
    start();
    ophalen();
    QCOMPARE(S.requests().mid(1), (QStringList{"/supports/138.zlb", "/supports/139.zlb", "/supports/140.zlb"}));
    QVERIFY(QFile::exists(F.install + QStringLiteral("140.SQL")));
    QCOMPARE(log().filter(QStringLiteral("Unzip ")).size(), 3);
}

void TestDownloadRun::subfolderKeyUsesBareName()
{
    QDir().mkpath(F.install + QStringLiteral("sub"));
    S.serve(kList, "[KLV137]\r\nsub\\x.dll=t\r\nx.dll=t\r\nsub\\only.dll=t\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/x.zlb"), {{QStringLiteral("x.dll"), "x"}});
    start();
    F.dialogs->queueAnswer(false); // not reached: nothing fails
    ophalen();
    // sub\only.dll has no value under "only.dll": versioned 0.0.0.0, not fetched.
    QCOMPARE(S.requests().mid(1), (QStringList{"/supports/klv137/x.zlb", "/supports/klv137/x.zlb"}));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("sub/x.dll")), QByteArray("x"));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("x.dll")), QByteArray("x"));
    QCOMPARE(F.shell->executes[0].params, QStringLiteral("-R \"") + F.install + QStringLiteral("x.dll\""));
    QVERIFY(QFile::exists(F.install + QStringLiteral("sub/x.zlb"))); // archives in subfolders stay
    QVERIFY(!QFile::exists(F.install + QStringLiteral("x.zlb")));
}

void TestDownloadRun::commandFailingMidway()
{
    QVERIFY(F.sql({"create table T (V varchar(10))"}));
    F.putFile(QStringLiteral("good.sql"), "insert into T values ('good')\r\n;\r\n");
    F.putFile(QStringLiteral("bad.sql"), "insert into NOPE values (1)\r\n;\r\n");
    S.serve(kList, "[KLV137]\r\nx.dll=t\r\n[CMD137]\r\nquery$good.sql=\r\nquery$bad.sql=\r\nexec$later.exe=\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/x.zlb"), {{QStringLiteral("x.dll"), "x"}});
    start();
    ophalen();
    QCOMPARE(F.column(QStringLiteral("select V from T")), QStringList{"good"});
    QCOMPARE(info().size(), 1);
    QVERIFY2(info()[0].contains(QStringLiteral("NOPE")), qPrintable(info()[0]));
    QVERIFY(F.shell->executes.size() == 1);                      // attrib only; later.exe not started
    QVERIFY(QFile::exists(F.install + QStringLiteral("x.zlb"))); // end of run skipped
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("x.dll")), QByteArray("x"));
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});
}

void TestDownloadRun::listWithoutThisRelease()
{
    S.serve(kList, "[KLV136]\r\nx.dll=t\r\n[CMD136]\r\nexec$old.exe=\r\n");
    start();
    ophalen();
    QCOMPARE(S.requests().size(), 1);
    QCOMPARE(info(), QStringList{kAllDone});
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{"2026-12-08"});
    QTRY_VERIFY(F.window.isNull());
}

void TestDownloadRun::notAPackageList()
{
    S.serve(kList, "<html><body>Service unavailable</body></html>\r\n");
    start();
    ophalen();
    QCOMPARE(info(), QStringList{QStringLiteral("Het bestand whatsnewKEY1234567.klv is geen pakketlijst.")});
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});
    QVERIFY(F.window);
}

void TestDownloadRun::corruptPackage()
{
    testsupport::writeFile(F.install + QStringLiteral("x.dll"), "old");
    S.serve(kList, "[KLV137]\r\nx.dll=t\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/x.zlb"), {{QStringLiteral("x.dll"), QByteArray(4000, 'n')}});
    start();
    // Damage the package on the server: one byte in the middle of the data.
    const QString path = S.localPath(QStringLiteral("/supports/klv137/x.zlb"));

    QByteArray bytes = testsupport::readFile(path);
    bytes[20] = char(bytes[20] ^ 0x40);
    testsupport::writeFile(path, bytes);
    ophalen();
    QCOMPARE(info().size(), 1);
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("x.dll")), QByteArray("old"));
    QVERIFY(F.window);
}

void TestDownloadRun::selfRenewClosesMidway()
{
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "");
    S.serve(kList, "[KLV137]\r\nx.dll=t5\r\n[CMD137]\r\nselfrenew$9.9.9.9=\r\nexec$after.exe=\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/x.zlb"), {{QStringLiteral("x.dll"), "x"}});
    start();
    ophalen();
    QCOMPARE(info(), (QStringList{"x.dll 5 5", QStringLiteral("Autoupdate wordt afgesloten en opnieuw opgestart, "
                                                              "vanwege een interne update.")}));
    QTRY_VERIFY(F.window.isNull());
    // Klv.exe started by the close; after.exe never; no end of run.
    QCOMPARE(F.shell->executes.size(), 2);
    QCOMPARE(F.shell->executes[1].params, QStringLiteral("KLV"));
    QVERIFY(QFile::exists(F.install + QStringLiteral("x.zlb")));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")), QByteArray("x.dll=5\r\n"));
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});
}

void TestDownloadRun::endsOnUpdateTabWhenConversionWaits()
{
    S.serve(kList, "[SQL137]\r\nUPDATE=1011\r\n");
    S.servePackage(QStringLiteral("/supports/u1011.zlb"), {{QStringLiteral("u1011.sql"), "select 1\r\n;\r\n"}});
    start();
    ophalen();
    QCOMPARE(info(), QStringList{kConversionWaiting});
    QCOMPARE(F.child<QTabWidget>("PgCtrlUpdate")->currentWidget()->objectName(), QStringLiteral("TsUpdate"));
    QVERIFY(F.child<QPushButton>("BtnUpdate")->isEnabled());
    QVERIFY(F.child<QPushButton>("BtnDownload")->isEnabled());
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{"2026-12-08"});
    // No speed stays on the screen as if something were still arriving.
    QCOMPARE(F.child<QLabel>("StatusBar1Panel0")->text(), QString());
    QCOMPARE(F.child<QLabel>("StatusBar1Panel1")->text(), QStringLiteral("Downloaden is voltooid."));
}

void TestDownloadRun::runOnPostgres()
{
    KLV_SKIP_WITHOUT_DRIVER(QStringLiteral("QPSQL"));
    testsupport::PgTestDatabase pg;
    QVERIFY(pg.isValid());
    pg.addAlias(F.ini, QStringLiteral("PG"));
    QVERIFY(testsupport::execAll(
        pg.connection(),
        {"insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (137, 1010, null)",
         "insert into SYSTEMINFO values ('07', '4711')", "insert into LICENSE values ('KEY1234567')"}));
    QVERIFY(pg.closeConnection());
    S.serve(kList, "[KLV137]\r\nx.dll=t\r\n[SQL137]\r\nVERSIE=138\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/x.zlb"), {{QStringLiteral("x.dll"), "x"}});
    S.servePackage(QStringLiteral("/supports/138.zlb"), {{QStringLiteral("138.SQL"), "select 1\r\n;\r\n"}});
    start({QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("PG")});
    ophalen();
    QCOMPARE(info(), QStringList{kAllDone});
    QTRY_VERIFY(F.window.isNull());
    QSqlQuery q(pg.connection());
    QVERIFY(pg.connection().open());
    QVERIFY(q.exec(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")) && q.next());
    QCOMPARE(q.value(0).toDate(), QDate(2026, 12, 8));
    QVERIFY(QFile::exists(F.install + QStringLiteral("138.SQL")));
}

void TestDownloadRun::serverStopsServingMidway()
{
    testsupport::writeFile(F.install + QStringLiteral("b.dll"), "old b");
    S.serve(kList, "[KLV137]\r\na.dll=t\r\nb.dll=t\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/a.zlb"), {{QStringLiteral("a.dll"), "new a"}});
    start();
    ophalen();
    QCOMPARE(info().size(), 1); // the 404 of b.zlb, with its own text
    QVERIFY2(info()[0].contains(QStringLiteral("404")), qPrintable(info()[0]));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("a.dll")), QByteArray("new a"));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("b.dll")), QByteArray("old b"));
    QVERIFY(!QFile::exists(F.install + QStringLiteral("b.zlb")));
}

void TestDownloadRun::largePackageList()
{
    // Some megabytes: many comment lines and twenty thousand entries that are up to date.
    QByteArray list = "[KLV137]\r\n";
    const QByteArray comment = "; " + QByteArray(200, 'c') + "\r\n";
    for (int i = 0; i < 15000; ++i)
        list += comment;
    for (int i = 0; i < 20000; ++i)
        list += "f" + QByteArray::number(i) + ".dll=0.0.0.0\r\n";
    list += "last.dll=t\r\n";
    S.serve(kList, list);
    S.servePackage(QStringLiteral("/supports/klv137/last.zlb"), {{QStringLiteral("last.dll"), "z"}});
    start();
    QElapsedTimer timer;
    timer.start();
    ophalen();
    QCOMPARE(info(), QStringList{kAllDone});
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("last.dll")), QByteArray("z"));
    QVERIFY2(timer.elapsed() < 60000, qPrintable(QString::number(timer.elapsed())));
}

// The whole road in one go: start with arguments, "Ophalen", packages, a premium list, script
// packages, the "Update" tab, the conversion, the close and the hand-over.
void TestDownloadRun::wholeRoadAsUser()
{
    QVERIFY(F.sql({"insert into ARNMATERIAAL values ('MAT00001', 'M1', 'T')",
                   "update SYSPROPS set LASTSYSKEY = '00000100'", "create table RUNLOG (NAME varchar(20))"}));
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "klv.exe=136\r\n");
    const QByteArray newExe = testsupport::readFile(F.install + QStringLiteral("KLV.EXE"));
    S.serve(kList, "[KLV137]\r\nklv.exe=137\r\n[SQL137]\r\nUPDATE=1011\r\n"
                   "[CMD137]\r\npremielijst$premies.csv=\r\nforcedupdate$=\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/klv.zlb"),
                   {{QStringLiteral("klv.exe"), newExe},
                    {QStringLiteral("premies.csv"), "20261201 premies december\r\n07;M1;x;1;st;2;3;6\r\n"}});
    S.servePackage(QStringLiteral("/supports/u1011.zlb"),
                   {{QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n"}});
    start({QStringLiteral("11"), QStringLiteral("22"), QStringLiteral("KLV")});
    ophalen();
    QCOMPARE(info(), (QStringList{"klv.exe 137 137", kConversionWaiting}));
    QCOMPARE(F.column(QStringLiteral("select SSYSKEY_MAT from ARNPREMIE")), QStringList{"MAT00001"});
    QCOMPARE(F.child<QTabWidget>("PgCtrlUpdate")->currentWidget()->objectName(), QStringLiteral("TsUpdate"));
    F.dialogs->queueAnswer(true); // backup made
    F.click("BtnUpdate");
    QCOMPARE(F.column(QStringLiteral("select NAME from RUNLOG")), QStringList{"U1011"});
    QCOMPARE(info().last(), QStringLiteral("Conversie succesvol be\u00EBindigd"));
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(F.shell->executes.last().params, QStringLiteral("KLV"));
    QVERIFY(QFileInfo::exists(F.shell->executes.last().file));
    QVERIFY(F.shell->executes.last().file.endsWith(QStringLiteral("KLV.EXE"), Qt::CaseInsensitive));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")), QByteArray("klv.exe=137\r\n"));
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{"2026-12-08"});
    QVERIFY(QDir(F.install).entryList({QStringLiteral("*.zlb")}, QDir::Files).isEmpty());
    QVERIFY(QFile::exists(F.install + QStringLiteral("u1011.sql")));
}

void TestDownloadRun::closeDuringTransfer()
{
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "a.dll=1\r\n");
    testsupport::writeFile(F.install + QStringLiteral("big.dll"), "old");
    S.serve(kList, "[KLV137]\r\na.dll=t2\r\nbig.dll=t\r\nc.dll=t\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/a.zlb"), {{QStringLiteral("a.dll"), "a"}});
    QByteArray noise(20 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) >> 3); // compresses badly enough to stay large
    S.servePackage(QStringLiteral("/supports/klv137/big.zlb"), {{QStringLiteral("big.dll"), noise}});
    start();
    auto &http = *F.window->IdHTTP1;
    const auto original = http.OnWork;
    bool closed = false;
    http.OnWork = [&](WorkMode mode, int64_t count) {
        if (!closed && count > 0 && S.requests().contains(QStringLiteral("/supports/klv137/big.zlb"))) {
            closed = true;
            F.window->close(); // the user closes the window during the transfer
        }
        original(mode, count);
    };
    ophalen();
    QVERIFY(closed);
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(info(), QStringList{"a.dll 2 2"}); // nothing shown after the close
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("big.dll")), QByteArray("old"));
    QVERIFY(!S.requests().contains(QStringLiteral("/supports/klv137/c.zlb")));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")), QByteArray("a.dll=2\r\n"));
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});
    QCOMPARE(F.shell->executes.last().params, QStringLiteral("KLV")); // handed over all the same
}

// A list that names a path outside the installation folder (or, for the commands that work in
// it, the updater's folder) stops the run with a message naming the line; nothing is written,
// read, run or deleted outside, and the run does not end as done.
void TestDownloadRun::pathsOutsideRefused_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("message");

    const QString key = QStringLiteral("De pakketlijst noemt een bestand buiten de installatiemap: ");
    QTest::newRow("key two folders up") << QByteArray("[KLV137]\r\n..\\..\\evil.dll=t\r\n") << key + "..\\..\\evil.dll";
    QTest::newRow("key with slashes") << QByteArray("[KLV137]\r\n../../evil=t\r\n") << key + "../../evil";
    QTest::newRow("key climbing after a folder")
        << QByteArray("[KLV137]\r\nsub/..\\..\\evil.dll=t\r\n") << key + "sub/..\\..\\evil.dll";
    QTest::newRow("key that is only dots") << QByteArray("[KLV137]\r\nsub\\..=t\r\n") << key + "sub\\..";
    QTest::newRow("unzip above") << QByteArray("[CMD137]\r\nunzip$..\\evil.zlb=\r\n")
                                 << "Script-fout: unzip$..\\evil.zlb (buiten de installatiemap)";
    QTest::newRow("erasefile above") << QByteArray("[CMD137]\r\nerasefile$..\\victim.txt=\r\n")
                                     << "Script-fout: erasefile$..\\victim.txt (buiten de map van AutoUpdate)";
    QTest::newRow("erasefile with a slash")
        << QByteArray("[CMD137]\r\nerasefile$sub/../../victim.txt=\r\n")
        << "Script-fout: erasefile$sub/../../victim.txt (buiten de map van AutoUpdate)";
    QTest::newRow("erasefile absolute") << QByteArray("[CMD137]\r\nerasefile$/victim.txt=\r\n")
                                        << "Script-fout: erasefile$/victim.txt (buiten de map van AutoUpdate)";
    QTest::newRow("erasefile on a drive") << QByteArray("[CMD137]\r\nerasefile$C:\\victim.txt=\r\n")
                                          << "Script-fout: erasefile$C:\\victim.txt (buiten de map van AutoUpdate)";
    QTest::newRow("query above") << QByteArray("[CMD137]\r\nquery$..\\evil.sql=\r\n")
                                 << "Script-fout: query$..\\evil.sql (buiten de map van AutoUpdate)";
    QTest::newRow("premium list above") << QByteArray("[CMD137]\r\npremielijst$../evil.csv=\r\n")
                                        << "Script-fout: premielijst$../evil.csv (buiten de installatiemap)";
    QTest::newRow("exec above") << QByteArray("[CMD137]\r\nexec$..\\evil.exe /S=\r\n")
                                << "Script-fout: exec$..\\evil.exe /S (buiten de installatiemap)";
    QTest::newRow("exec of a quoted name above") << QByteArray("[CMD137]\r\nexec$\"..\\my evil.exe\"=\r\n")
                                                 << "Script-fout: exec$\"..\\my evil.exe\" (buiten de installatiemap)";
}

void TestDownloadRun::pathsOutsideRefused()
{
    QFETCH(QByteArray, list);
    QFETCH(QString, message);
    QVERIFY(F.sql({"create table T (V varchar(10))"}));
    // What the hostile lines aim at, one folder above the installation.
    const QString above = QFileInfo(F.install + QStringLiteral("..")).canonicalFilePath() + u'/';
    testsupport::writeFile(above + QStringLiteral("victim.txt"), "keep");
    testsupport::writeFile(above + QStringLiteral("evil.sql"), "insert into T values ('evil')\r\n;\r\n");
    testsupport::writeFile(above + QStringLiteral("evil.csv"), "20261201 evil\r\n");
    testsupport::writeFile(above + QStringLiteral("evil.exe"), "MZ");
    testsupport::writeFile(above + QStringLiteral("my evil.exe"), "MZ");
    S.servePackage(QStringLiteral("/supports/klv137/evil.zlb"), {{QStringLiteral("evil.dll"), "evil"}});
    {
        klv::ZLBWriter writer(above + QStringLiteral("evil.zlb"));
        writer.addData("evil", QStringLiteral("evil.dll"));
        writer.finish();
    }
    const QStringList before = QDir(above).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    S.serve(kList, list);
    start();
    ophalen();

    QCOMPARE(info(), QStringList{message});
    QVERIFY(log().contains(message) || message.startsWith(QStringLiteral("De pakketlijst")));
    QCOMPARE(QDir(above).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot), before);
    QCOMPARE(testsupport::readFile(above + QStringLiteral("victim.txt")), QByteArray("keep"));
    QVERIFY(F.column(QStringLiteral("select V from T")).isEmpty());
    QVERIFY(F.shell->executes.isEmpty());
    QVERIFY(!S.requests().contains(QStringLiteral("/supports/klv137/evil.zlb")));
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});
    QVERIFY(F.window);
}

QTEST_MAIN(TestDownloadRun)
#include "tst_downloadrun.moc"
