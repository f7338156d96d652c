#include "AutoUpdateFrm.h"
#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "platform/Exceptions.h"

#include "ServerFixture.h"
#include "TestDatabases.h"
#include "TestSupport.h"
#include "UpdaterProcess.h"
#include "WindowFixture.h"
#include "platform/ServerAddress.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTest>

using namespace klv;
using namespace Qt::StringLiterals;
using Kind = Dialogs::Kind;

namespace {
const QString kList = QStringLiteral("/supports/whatsnewKEY1234567.klv");
const QString kAllDone = QStringLiteral("Auto Update is voltooid.");
const QString kConversionWaiting = QStringLiteral("Download is voltooid, start update indien nodig.");
const QString kOtherUsers = QStringLiteral("Er zijn nog andere gebruikers actief. Sluit Kelvora op die P.C's");
const QString kConversionDone = QStringLiteral("Conversie succesvol be\u00EBindigd");
// The data source as the target systems know it; the alias file does not list it.
const QString kDsn = QStringLiteral("KLV_ODBC");
// A listed alias that reaches the same data source through QODBC, counting like PostgreSQL.
const QString kListed = QStringLiteral("KLV_PG");

} // namespace

// The database route of the target systems: the alias is an ODBC data source (unixODBC with the
// PostgreSQL driver, configured in a folder of this test's own) and every statement of the
// probe, the download run and the conversion goes through QODBC.
class TestOdbc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void probeCountsConnections_data();
    void probeCountsConnections();
    void unlistedAliasDownloadRun();
    void wholeRoadThroughDataSource();
    void unattendedRunOnDataSource();
    void statementsOverOdbc_data();
    void statementsOverOdbc();
    void transactionsOverOdbc();
    void readsTextsInBlocks();

private:
    void start(const QString &alias);
    void ophalen() { F.click("BtnDownload"); }
    QStringList info() { return F.dialogs->texts(Kind::Information); }
    // Runs statements on the PostgreSQL database directly and closes that connection again, so
    // that the updater's connection is the only one while a window runs.
    bool pgExec(const QStringList &statements);
    QStringList pgColumn(const QString &select);
    void closeDirectConnection();
    void openOwnDatabase(KlvDatabase &db);

    std::unique_ptr<testsupport::PgTestDatabase> FPg;
    WindowFixture F;
    ServerFixture S;
};

void TestOdbc::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
    QVERIFY2(QSqlDatabase::isDriverAvailable(QStringLiteral("QODBC")),
             "Qt's ODBC driver plugin is missing: install libqt6sql6-odbc (scripts/install-deps.sh)");
    QVERIFY2(!testsupport::psqlOdbcDriver().isEmpty(),
             "The PostgreSQL ODBC driver (psqlodbcw.so) was not found: install the Debian packages unixodbc and "
             "odbc-postgresql (scripts/install-deps.sh), then configure the build again");
    FPg = std::make_unique<testsupport::PgTestDatabase>();
    QVERIFY2(FPg->isValid(), "PostgreSQL test server not reachable (fixture postgres, KLV_TEST_PG_PORT)");
    // One data source for the whole test program, defined before the first connection to it.
    QVERIFY2(testsupport::defineDataSource(kDsn, FPg->name(), FPg->port()),
             "the test's ODBC files cannot be written (ODBCSYSINI, ODBCINI)");
}

void TestOdbc::init()
{
    F.setUp();
    F.serverBase = S.setUp();
    QByteArray aliases = testsupport::readFile(F.ini);
    aliases += "[" + kListed.toUtf8() + "]\r\nDriver=QODBC\r\nDatabase=" + kDsn.toUtf8() + "\r\nDialect=postgres\r\n";
    testsupport::writeFile(F.ini, aliases);
    // A fresh schema in the one database behind the data source.
    QStringList reset{"set client_min_messages to warning", "drop schema public cascade", "create schema public"};
    reset << testsupport::klvSchema()
          << QStringList{"insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP, LASTSYSKEY) "
                         "values (137, 1010, null, '00000100')",
                         "insert into SYSTEMINFO values ('08', '4711')",
                         "insert into LICENSE values ('  KEY1234567  ')", "create table RUNLOG (NAME varchar(20))"};
    QVERIFY(pgExec(reset));
}

void TestOdbc::cleanup()
{
    F.tearDown();
    S.tearDown();
    closeDirectConnection();
}

void TestOdbc::cleanupTestCase()
{
    FPg.reset();
}

void TestOdbc::start(const QString &alias)
{
    F.create({QStringLiteral("11"), QStringLiteral("22"), alias})->show();
    QVERIFY(F.window);
}

bool TestOdbc::pgExec(const QStringList &statements)
{
    const bool ok = testsupport::execAll(FPg->connection(), statements);
    closeDirectConnection();
    return ok;
}

QStringList TestOdbc::pgColumn(const QString &select)
{
    QStringList out;
    {
        QSqlQuery q(FPg->connection());
        if (!q.exec(select))
            out << QStringLiteral("<failed: %1>").arg(select);
        while (q.next())
            out << q.value(0).toString();
    }
    closeDirectConnection();
    return out;
}

void TestOdbc::closeDirectConnection()
{
    QVERIFY(FPg->closeConnection());
}

void TestOdbc::openOwnDatabase(KlvDatabase &db)
{
    db.AliasName = kDsn;
    db.OnLogin = [](KlvDatabase &, ParamList &params) {
        params.setValue(QStringLiteral("USER NAME"), QStringLiteral("orvant"));
        params.setValue(QStringLiteral("PASSWORD"), QStringLiteral("wimbrel"));
    };
    db.Open();
    QCOMPARE(db.connection().driverName(), QStringLiteral("QODBC"));
}

// The probe over ODBC: the connection count is asked in the alias's dialect. The data source on
// its own means sa_db_info, which PostgreSQL does not know: the probe shows the driver's error
// as information and reads the versions and credentials all the same.
void TestOdbc::probeCountsConnections_data()
{
    QTest::addColumn<QString>("alias");
    QTest::addColumn<bool>("otherUser");
    QTest::addColumn<QString>("dialect");
    QTest::addColumn<QString>("message"); // expected information text, or "*x*" for one containing x

    QTest::newRow("listed, alone") << kListed << false << "postgres"
                                   << "";
    QTest::newRow("listed, another user") << kListed << true << "postgres" << kOtherUsers;
    QTest::newRow("data source, alone") << kDsn << false << "sa_db_info"
                                        << "*sa_db_info*";
    QTest::newRow("data source, another user") << kDsn << true << "sa_db_info"
                                               << "*sa_db_info*";
}

void TestOdbc::probeCountsConnections()
{
    QFETCH(QString, alias);
    QFETCH(bool, otherUser);
    QFETCH(QString, dialect);
    QFETCH(QString, message);
    if (otherUser)
        QVERIFY(FPg->connection().isOpen()); // stays open while the window probes
    start(alias);
    QCOMPARE(F.window->gblKlvDBS->connection().driverName(), QStringLiteral("QODBC"));
    QCOMPARE(F.window->gblKlvDBS->config().database, kDsn);
    QCOMPARE(F.window->gblKlvDBS->config().dialect, dialect);
    QVERIFY(F.window->gblKlvDBS->Connected());

    QCOMPARE(F.dialogs->entries().size(), message.isEmpty() ? 0 : 1);
    if (message.startsWith(u'*')) {
        const QString text = F.dialogs->entries().first().text;
        QCOMPARE(F.dialogs->entries().first().kind, Kind::Information);
        QVERIFY2(text.contains(message.mid(1, message.size() - 2)), qPrintable(text));
    } else if (!message.isEmpty()) {
        QCOMPARE(info(), QStringList{message});
    }
    // The probe went on after the count, whatever it gave.
    QCOMPARE(F.text("LblDB"), QStringLiteral("Versie KLV-database: 137"));
    QCOMPARE(F.text("LblDbSql"), QStringLiteral("Versie KLV-database: 1010"));
    QCOMPARE(F.window->FDeelnemerNr, QStringLiteral("4711"));
    QCOMPARE(F.window->FCustomerKey, QStringLiteral("KEY1234567"));
    QCOMPARE(gRegioCode, QStringLiteral("08"));
}

// The production route: the alias is only the data source's name. "Ophalen" works all the way,
// the date stamp included; the conversion stops at the connection count, which this server
// cannot answer in the sa_db_info dialect, before any script runs.
void TestOdbc::unlistedAliasDownloadRun()
{
    S.serve(kList, "[KLV137]\r\nx.dll=t\r\n[SQL137]\r\nUPDATE=1011\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/x.zlb"), {{QStringLiteral("x.dll"), "x"}});
    S.servePackage(QStringLiteral("/supports/u1011.zlb"),
                   {{QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n"}});
    start(kDsn);
    ophalen();
    QCOMPARE(S.requests(), (QStringList{kList, "/supports/klv137/x.zlb", "/supports/u1011.zlb"}));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("x.dll")), QByteArray("x"));
    // One sa_db_info error per probe: when shown and at the start of the run.
    const QStringList messages = info();
    QCOMPARE(messages.size(), 3);
    QVERIFY2(messages[0].contains(QStringLiteral("sa_db_info")), qPrintable(messages[0]));
    QCOMPARE(messages[1], messages[0]);
    QCOMPARE(messages[2], kConversionWaiting);
    QCOMPARE(pgColumn(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{"2026-12-08"});

    F.dialogs->queueAnswer(true); // backup made
    F.click("BtnUpdate");
    const QStringList errors = F.dialogs->texts(Kind::Error);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].contains(QStringLiteral("sa_db_info")), qPrintable(errors[0]));
    QVERIFY(pgColumn(QStringLiteral("select NAME from RUNLOG")).isEmpty());
    QCOMPARE(pgColumn(QStringLiteral("select IUPDATE_SPP from SYSPROPS")), QStringList{"1010"});
    QVERIFY(F.window);
    // As after any failure of the run: both buttons stay disabled, the window can be closed.
    QVERIFY(!F.child<QPushButton>("BtnUpdate")->isEnabled());
    QVERIFY(!F.child<QPushButton>("BtnClose2")->isEnabled());

    F.window->close();
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(F.shell->executes.last().params, kDsn);
    QVERIFY(F.shell->executes.last().file.endsWith(QStringLiteral("KLV.EXE"), Qt::CaseInsensitive));
}

// The whole road over QODBC: packages, a premium list, a conversion script and an update
// script, the "Update" tab, the conversion, the close and the hand-over; the database is then
// read through a connection of its own.
void TestOdbc::wholeRoadThroughDataSource()
{
    QVERIFY(pgExec({"insert into ARNMATERIAAL values ('MAT00001', 'M1', 'T')"}));
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "klv.exe=136\r\n");
    const QString newExe = F.dir->filePath(QStringLiteral("new.exe"));
    QVERIFY(testsupport::makeVersionedExe(newExe, {{QStringLiteral("IntegerVersion"), QStringLiteral("138")}}));
    S.serve(kList, "[KLV137]\r\nklv.exe=137\r\n[SQL137]\r\nVERSIE=138\r\nUPDATE=1011\r\n"
                   "[CMD137]\r\npremielijst$premies.csv=\r\nforcedupdate$=\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/klv.zlb"),
                   {{QStringLiteral("klv.exe"), testsupport::readFile(newExe)},
                    {QStringLiteral("premies.csv"),
                     "20261201 premies december\r\n07;M1;x;9;st;9;9;9\r\n08;M1;x;1,5;st;2;3;6,5\r\n"}});
    // Script text reaches the server as written: a colon is no parameter, a "::" cast stays.
    S.servePackage(QStringLiteral("/supports/138.zlb"),
                   {{QStringLiteral("138.SQL"), "insert into RUNLOG values ('138 at 12:00')\r\n;\r\n"
                                                "update SYSPROPS set VERSIENUMMER = '138'::integer\r\n;\r\n"}});
    S.servePackage(QStringLiteral("/supports/u1011.zlb"),
                   {{QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n"
                                                  "update SYSPROPS set IUPDATE_SPP = 1011\r\n;\r\n"}});
    start(kListed);
    QVERIFY(F.dialogs->entries().isEmpty()); // our connection is the only one
    ophalen();
    QCOMPARE(info(), (QStringList{"klv.exe 137 137", kConversionWaiting}));
    QCOMPARE(pgColumn(QStringLiteral("select SSYSKEY_MAT || ' ' || SREGIO_PRM || ' ' || NNORM_PRM || ' ' || "
                                     "NTOTAAL_PRM || ' ' || DINGANG_PRM from ARNPREMIE")),
             QStringList{"MAT00001 08 1.5 6.5 2026-12-01 00:00:00"});
    QCOMPARE(F.child<QTabWidget>("PgCtrlUpdate")->currentWidget()->objectName(), QStringLiteral("TsUpdate"));
    QCOMPARE(F.text("LblEXE"), QStringLiteral("Versie KLV.EXE: 138"));
    QCOMPARE(F.text("LblUSql"), QStringLiteral("Versie uXXXX.sql: 1011"));

    F.dialogs->queueAnswer(true); // backup made
    F.click("BtnUpdate");
    QCOMPARE(info().last(), kConversionDone);
    QCOMPARE(F.dialogs->texts(Kind::Error), QStringList{});
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(F.shell->executes.last().params, kListed);
    QVERIFY(F.shell->executes.last().file.endsWith(QStringLiteral("KLV.EXE"), Qt::CaseInsensitive));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")), QByteArray("klv.exe=137\r\n"));
    QVERIFY(QDir(F.install).entryList({QStringLiteral("*.zlb")}, QDir::Files).isEmpty());
    QVERIFY(!QFile::exists(F.install + QStringLiteral("AuError.txt")));

    QStringList runlog = pgColumn(QStringLiteral("select NAME from RUNLOG"));
    runlog.sort();
    QCOMPARE(runlog, (QStringList{"138 at 12:00", "U1011"}));
    QCOMPARE(
        pgColumn(QStringLiteral("select VERSIENUMMER || ' ' || IUPDATE_SPP || ' ' || DAUTOUPDATE_SPP from SYSPROPS")),
        QStringList{"138 1011 2026-12-08"});
    // The premium row took one system key.
    QCOMPARE(pgColumn(QStringLiteral("select LASTSYSKEY from SYSPROPS")), QStringList{"00000101"});
}

// The updater as a scheduled task runs it, on the data source: packages, a premium list, a query
// file, a conversion script and an update script, without a person; exit status 0 and every
// change in the database.
void TestOdbc::unattendedRunOnDataSource()
{
    QVERIFY(pgExec({"insert into ARNMATERIAAL values ('MAT00001', 'M1', 'T')",
                    "insert into ARNMATERIAAL values ('MAT00002', 'M2', 'T')",
                    "insert into ARNMATERIAAL values ('MAT00003', 'M3', 'T')"}));
    const QString updater = F.install + QFileInfo(QStringLiteral(KLV_AUTOUPDATE_EXE)).fileName();
    QVERIFY(QFile::copy(QStringLiteral(KLV_AUTOUPDATE_EXE), updater));
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "klv.exe=136\r\n");
    const QString newExe = F.dir->filePath(QStringLiteral("new.exe"));
    QVERIFY(testsupport::makeVersionedExe(newExe, {{QStringLiteral("IntegerVersion"), QStringLiteral("138")}}));
    S.serve(kList, "[KLV137]\r\nklv.exe=137\r\n[SQL137]\r\nVERSIE=138\r\nUPDATE=1011\r\n"
                   "[CMD137]\r\npremielijst$premies.csv=\r\nquery$fix.sql=\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/klv.zlb"),
                   {{QStringLiteral("klv.exe"), testsupport::readFile(newExe)},
                    {QStringLiteral("premies.csv"), "20261201\r\n08;M1;x;1,5;st;2;3;6,5\r\n07;M1;x;9;st;9;9;9\r\n"
                                                    "08;M2;x;2;st;0;0;2\r\n08;M1;x;4;st;0;0;4\r\n"},
                    {QStringLiteral("fix.sql"), "insert into RUNLOG values ('query')\r\n;\r\n"}});
    S.servePackage(QStringLiteral("/supports/138.zlb"),
                   {{QStringLiteral("138.SQL"), "insert into RUNLOG values ('138')\r\n;\r\n"
                                                "update SYSPROPS set VERSIENUMMER = 138\r\n;\r\n"}});
    S.servePackage(QStringLiteral("/supports/u1011.zlb"),
                   {{QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n"
                                                  "update SYSPROPS set IUPDATE_SPP = 1011\r\n;\r\n"}});
    QByteArray output;
    const int status =
        updaterprocess::run({updater, F.install, klv::unscrambleServerBase(F.serverBase)},
                            {"0", "0", kListed, "--unattended", "--convert", "--backup-made", "--no-restart"}, &output);
    QVERIFY2(status == 0, output.constData());
    QVERIFY(!QFile::exists(F.install + QStringLiteral("AuError.txt")));
    QStringList runlog = pgColumn(QStringLiteral("select NAME from RUNLOG"));
    runlog.sort();
    QCOMPARE(runlog, (QStringList{"138", "U1011", "query"}));
    QCOMPARE(pgColumn(QStringLiteral("select VERSIENUMMER || ' ' || IUPDATE_SPP from SYSPROPS")),
             QStringList{"138 1011"});
    // The region's rows in the list's order, each with its key; the same material asked for once
    // serves both its rows.
    QCOMPARE(pgColumn(QStringLiteral("select SSYSKEY_PRM || ' ' || SSYSKEY_MAT || ' ' || NTOTAAL_PRM from ARNPREMIE "
                                     "order by SSYSKEY_PRM")),
             (QStringList{"00000101 MAT00001 6.5", "00000102 MAT00002 2", "00000103 MAT00001 4"}));
}

// Single statements through TKvQuery over QODBC, with parameters (prepared, bound by position
// by the driver) and without (sent as text).
void TestOdbc::statementsOverOdbc_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<bool>("paramCheck");
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<QString>("check");
    QTest::addColumn<QString>("expected");

    QTest::newRow("date") << "Update SYSPROPS Set DAUTOUPDATE_SPP = :dautoupdate_spp" << true
                          << QVariantMap{{"dautoupdate_spp", QDate(2026, 12, 8)}}
                          << "select DAUTOUPDATE_SPP as V from SYSPROPS"
                          << "2026-12-08";
    QTest::newRow("timestamp and float")
        << "insert into ARNPREMIE (SSYSKEY_PRM, DINGANG_PRM, NNORM_PRM) values (:k, :t, :n)" << true
        << QVariantMap{{"k", "00000001"}, {"t", QDateTime(QDate(2026, 12, 1), QTime(0, 0))}, {"n", 2.25}}
        << "select DINGANG_PRM || ' ' || NNORM_PRM as V from ARNPREMIE"
        << "2026-12-01 00:00:00 2.25";
    QTest::newRow("name twice, other case")
        << "update SYSTEMINFO set SREGIOCODE_INF = :Regio, SDEELNEMERNR_INF = :regio || 'x'" << true
        << QVariantMap{{"REGIO", "08"}} << "select SREGIOCODE_INF || SDEELNEMERNR_INF as V from SYSTEMINFO"
        << "0808x";
    QTest::newRow("null") << "update SYSTEMINFO set SREGIOCODE_INF = :r" << true << QVariantMap{{"r", QVariant()}}
                          << "select coalesce(SREGIOCODE_INF, 'null') as V from SYSTEMINFO"
                          << "null";
    QTest::newRow("placeholder without value is null")
        << "update SYSTEMINFO set SREGIOCODE_INF = :r" << true << QVariantMap{}
        << "select coalesce(SREGIOCODE_INF, 'null') as V from SYSTEMINFO"
        << "null";
    QTest::newRow("text beyond ASCII") << "update LICENSE set LICENSE = :l" << true
                                       << QVariantMap{{"l", QStringLiteral("be\u00EBindigd \u20AC")}}
                                       << "select LICENSE as V from LICENSE" << QStringLiteral("be\u00EBindigd \u20AC");
    QTest::newRow("integer parameter in a select")
        << "insert into RUNLOG select cast(VERSIENUMMER + :step as varchar(20)) from SYSPROPS" << true
        << QVariantMap{{"step", 3}} << "select NAME as V from RUNLOG"
        << "140";
    QTest::newRow("script text with colons")
        << "insert into RUNLOG values (':x at 12:00')" << false << QVariantMap{} << "select NAME as V from RUNLOG"
        << ":x at 12:00";
    QTest::newRow("cast, no parameters") << "update SYSPROPS set VERSIENUMMER = '140'::integer" << true << QVariantMap{}
                                         << "select VERSIENUMMER as V from SYSPROPS"
                                         << "140";
    QTest::newRow("question mark in text")
        << "insert into RUNLOG values ('why?')" << false << QVariantMap{} << "select NAME as V from RUNLOG"
        << "why?";
    QTest::newRow("script DDL") << "create table EXTRA (A integer)" << false << QVariantMap{}
                                << "select count(*) as V from EXTRA"
                                << "0";
}

void TestOdbc::statementsOverOdbc()
{
    QFETCH(QString, statement);
    QFETCH(bool, paramCheck);
    QFETCH(QVariantMap, params);
    QFETCH(QString, check);
    QFETCH(QString, expected);
    KlvDatabase db(AliasTable(F.ini), nullptr);
    openOwnDatabase(db);
    {
        TKvQuery query(db);
        query.ParamCheck = paramCheck;
        query.SQL = statement.split(u'\n');
        for (auto it = params.cbegin(); it != params.cend(); ++it)
            query.setParam(it.key(), it.value());
        query.Prepare();
        db.StartTransaction();
        try {
            query.ExecSQL();
            db.Commit();
        } catch (const std::exception &e) {
            db.Rollback();
            QFAIL(qPrintable(exceptionMessage(e)));
        }
    }
    // Read back over ODBC as well as directly.
    {
        TKvQuery read(db);
        read.UniDirectional = true;
        read.SQL = QStringList{check};
        read.Open();
        QVERIFY(!read.Eof());
        QCOMPARE(read.fieldAsString(QStringLiteral("V")), expected);
    }
    db.Close();
    QCOMPARE(pgColumn(check), QStringList{expected});
}

// Each statement of a script runs in a transaction of its own; a failed one is rolled back
// and the next one runs as if nothing happened.
void TestOdbc::transactionsOverOdbc()
{
    KlvDatabase db(AliasTable(F.ini), nullptr);
    openOwnDatabase(db);
    const auto run = [&db](const QString &sql) {
        TKvQuery query(db);
        query.ParamCheck = false;
        query.SQL = QStringList{sql};
        ExecInOwnTransaction(query);
    };
    run(QStringLiteral("insert into RUNLOG values ('first')"));
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, run(QStringLiteral("insert into NOPE values (1)")));
    try {
        run(QStringLiteral("insert into RUNLOG values (1, 2)"));
        QFAIL("a statement with too many values was accepted");
    } catch (const EDBEngineError &e) {
        QVERIFY2(!exceptionMessage(e).isEmpty(), "the driver's message is reported");
    }
    run(QStringLiteral("insert into RUNLOG values ('after')"));

    // Rolled back explicitly: nothing stays.
    {
        TKvQuery query(db);
        query.SQL = QStringList{QStringLiteral("insert into RUNLOG values (:n)")};
        query.setParam(QStringLiteral("n"), QStringLiteral("undone"));
        query.Prepare();
        db.StartTransaction();
        query.ExecSQL();
        db.Rollback();
    }
    QVERIFY(!db.InTransaction());
    QStringList names = pgColumn(QStringLiteral("select NAME from RUNLOG"));
    names.sort();
    QCOMPARE(names, (QStringList{"after", "first"}));
    db.Close();
}

// Rows read in blocks are the rows QSqlQuery reads one at a time: texts, empty texts, nulls,
// characters beyond ASCII, over several fetches; texts bound to markers select rows; a value
// longer than the reader takes is refused.
void TestOdbc::readsTextsInBlocks()
{
    KlvDatabase db(AliasTable(F.ini), nullptr);
    openOwnDatabase(db);
    const QString sql = QStringLiteral("select g::text, case when g % 3 = 0 then null else repeat(chr(233) || "
                                       "'x''\\\"', g % 40) end from generate_series(1, 2500) g order by g");
    const auto line = [](const QString &a, const QString &b) { return a + u'|' + (b.isNull() ? u"<null>"_s : b); };
    QStringList expected;
    {
        QSqlQuery q(db.connection());
        QVERIFY2(q.exec(sql), qPrintable(q.lastError().text()));
        while (q.next())
            expected << line(q.value(0).toString(), q.value(1).isNull() ? QString() : q.value(1).toString());
    }
    QStringList read;
    odbc::readTexts(db.connection(), sql, 2, [&](const QString *values) { read << line(values[0], values[1]); });
    QCOMPARE(read.size(), 2500);
    QCOMPARE(read, expected);
    QVERIFY(read.contains(u"40|"_s));
    read.clear();
    odbc::readTexts(db.connection(), u"select g::text from generate_series(1, 2500) g where g::text in (?, ?, ?)"_s, 1,
                    [&](const QString *values) { read << values[0]; }, {u"1"_s, u"2500"_s, u""_s});
    QCOMPARE(read, (QStringList{u"1"_s, u"2500"_s}));
    QVERIFY_THROWS_EXCEPTION(
        EDBEngineError, odbc::readTexts(db.connection(), u"select repeat('x', 5000)"_s, 1, [](const QString *) {}));
    db.Close();
}

QTEST_MAIN(TestOdbc)
#include "tst_odbc.moc"
