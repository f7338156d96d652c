#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "platform/Exceptions.h"

#include "TestDatabases.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace klv;
using testsupport::PgTestDatabase;

// The database component and the query class on real SQLite files and a real PostgreSQL server.
class TestDatabase : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void aliasResolution_data();
    void aliasResolution();
    void aliasFileFromEnvironment();
    void loginHandlerOnEveryOpen();
    void wrongPasswordRaises();
    void paramReplacedNotRepeated();
    void rowsNullsAndFields_data();
    void rowsNullsAndFields();
    void paramCheckOffPassesTextUnchanged();
    void transactions_data();
    void transactions();
    void connectionCount_data();
    void connectionCount();
    void statementsCommitThemselves_data();
    void statementsCommitThemselves();
    void queryOnClosedDatabaseRaises();
    void statementWithoutParametersNotPrepared_data();
    void statementWithoutParametersNotPrepared();

private:
    // Opens the alias "KLV" on the driver named by the current data row.
    std::unique_ptr<KlvDatabase> openKlv(const QString &driver);

    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<PgTestDatabase> FPg;
    QString FIni;
};

void TestDatabase::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    FIni = FDir->filePath(QStringLiteral("KlvAliases.ini"));
    FPg.reset();
}

std::unique_ptr<KlvDatabase> TestDatabase::openKlv(const QString &driver)
{
    return testsupport::openKlvDatabase(driver, FDir->path(), FPg);
}

void TestDatabase::aliasResolution_data()
{
    QTest::addColumn<QString>("alias");
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("database");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("countSql");
    QTest::newRow("listed sqlite, relative file") << "Local"
                                                  << "QSQLITE"
                                                  << "<dir>/data/klv.db" << -1 << "select 1 as ConnCount";
    QTest::newRow("listed, case of the name ignored") << "LOCAL"
                                                      << "QSQLITE"
                                                      << "<dir>/data/klv.db" << -1 << "select 1 as ConnCount";
    QTest::newRow("listed postgres") << "Server"
                                     << "QPSQL"
                                     << "klv" << 5433 << "postgres";
    QTest::newRow("listed odbc with its own dialect") << "Dsn"
                                                      << "QODBC"
                                                      << "KLVDSN" << -1 << "postgres";
    QTest::newRow("unlisted is an ODBC data source") << "ODBC_OVT"
                                                     << "QODBC"
                                                     << "ODBC_OVT" << -1 << "sa_db_info";
}

void TestDatabase::aliasResolution()
{
    QFETCH(QString, alias);
    QFETCH(QString, driver);
    QFETCH(QString, database);
    QFETCH(int, port);
    QFETCH(QString, countSql);
    testsupport::writeFile(FIni, "[Local]\nDriver=qsqlite\nDatabase=data\\klv.db\n"
                                 "[Server]\nDriver=QPSQL\nDatabase=klv\nHost=127.0.0.1\nPort=5433\n"
                                 "[Dsn]\nDriver=QODBC\nDatabase=KLVDSN\nDialect=postgres\n");
    const AliasConfig config = AliasTable(FIni).resolve(alias);
    QCOMPARE(config.driver, driver);
    // The same file, however the system spells its separators.
    QCOMPARE(QDir::fromNativeSeparators(config.database),
             QString(database).replace(QStringLiteral("<dir>"), FDir->path()));
    QCOMPARE(config.port, port);
    KlvDatabase db(AliasTable(FIni), nullptr);
    db.AliasName = alias;
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, db.Open()); // QODBC has no data source; the sqlite folder is missing
    if (countSql != QLatin1String("postgres"))
        QCOMPARE(db.connectionCountSql(), countSql);
    else
        QVERIFY(db.connectionCountSql().contains(QStringLiteral("pg_stat_activity")));
}

void TestDatabase::aliasFileFromEnvironment()
{
    testsupport::writeFile(FDir->filePath(QStringLiteral("other.ini")), "[X]\nDriver=QSQLITE\nDatabase=x.db\n");
    qputenv("KLV_ALIASES", FDir->filePath(QStringLiteral("other.ini")).toLocal8Bit());
    const AliasTable fromEnv = AliasTable::fromEnvironment(FDir->path() + u'/');
    qunsetenv("KLV_ALIASES");
    QCOMPARE(fromEnv.resolve(QStringLiteral("X")).driver, QStringLiteral("QSQLITE"));
    QCOMPARE(AliasTable::fromEnvironment(FDir->path() + u'/').path(), FIni);
}

void TestDatabase::loginHandlerOnEveryOpen()
{
    KLV_SKIP_WITHOUT_DRIVER(QStringLiteral("QPSQL"));
    PgTestDatabase pg;
    QVERIFY(pg.isValid());
    pg.addAlias(FIni, QStringLiteral("KLV"));
    KlvDatabase db(AliasTable(FIni), nullptr);
    int logins = 0;
    db.OnLogin = [&](KlvDatabase &, ParamList &p) {
        ++logins;
        QCOMPARE(p.value(QStringLiteral("USER NAME")), QString());
        p.setValue(QStringLiteral("USER NAME"), QStringLiteral("orvant"));
        p.setValue(QStringLiteral("PASSWORD"), QStringLiteral("wimbrel"));
    };
    db.AliasName = QStringLiteral("KLV");
    db.Open();
    db.Open();
    QVERIFY(db.Connected());
    QCOMPARE(logins, 2);
    db.Close();
    QVERIFY(!db.Connected());
}

void TestDatabase::wrongPasswordRaises()
{
    KLV_SKIP_WITHOUT_DRIVER(QStringLiteral("QPSQL"));
    PgTestDatabase pg;
    QVERIFY(pg.isValid());
    pg.addAlias(FIni, QStringLiteral("KLV"));
    KlvDatabase db(AliasTable(FIni), nullptr);
    db.OnLogin = [](KlvDatabase &, ParamList &p) {
        p.setValue(QStringLiteral("USER NAME"), QStringLiteral("orvant"));
        p.setValue(QStringLiteral("PASSWORD"), QStringLiteral("wrong"));
    };
    db.AliasName = QStringLiteral("KLV");
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, db.Open());
    QVERIFY(!db.Connected());
}

void TestDatabase::paramReplacedNotRepeated()
{
    ParamList params;
    for (int i = 0; i < 3; ++i)
        params.setValue(QStringLiteral("BLOB SIZE"), QStringLiteral("128"));
    params.setValue(QStringLiteral("blob size"), QStringLiteral("64"));
    QCOMPARE(params.count(QStringLiteral("BLOB SIZE")), 1);
    QCOMPARE(params.value(QStringLiteral("Blob Size")), QStringLiteral("64"));
}

void TestDatabase::rowsNullsAndFields_data()
{
    QTest::addColumn<QString>("driver");
    for (const QString &driver : testsupport::allDrivers())
        QTest::newRow(testsupport::driverTag(driver)) << driver;
}

void TestDatabase::rowsNullsAndFields()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    auto db = openKlv(driver);
    QVERIFY(db);
    {
        TKvQuery insert(*db);
        insert.SQL = QStringList{"insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP)", "values (:v, :u)"};
        for (const auto &[v, u] : {std::pair{QVariant(135), QVariant(7)}, {QVariant(), QVariant(9)}}) {
            insert.setParam(QStringLiteral("v"), v);
            insert.setParam(QStringLiteral(":U"), u);
            insert.ExecSQL();
        }
    }
    TKvQuery query(*db);
    query.UniDirectional = true;
    query.SQL = QStringList{"select VERSIENUMMER, IUPDATE_SPP", "from SYSPROPS order by IUPDATE_SPP"};
    query.Open();
    QVERIFY(!query.Eof());
    QCOMPARE(query.fieldAsInteger(QStringLiteral("versienummer")), 135);
    query.Next();
    QCOMPARE(query.fieldAsInteger(QStringLiteral("VERSIENUMMER")), 0);
    QCOMPARE(query.fieldAsString(QStringLiteral("VERSIENUMMER")), QString());
    QCOMPARE(query.fieldAsInteger(QStringLiteral("IUPDATE_SPP")), 9);
    query.Next();
    QVERIFY(query.Eof());
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, query.FieldByName(QStringLiteral("NOPE")));
    CloseAndUnprepare(query);
    QVERIFY(!query.Active());
    QVERIFY(!query.Prepared());
}

void TestDatabase::paramCheckOffPassesTextUnchanged()
{
    KLV_SKIP_WITHOUT_DRIVER(QStringLiteral("QPSQL"));
    auto db = openKlv(QStringLiteral("QPSQL"));
    QVERIFY(db);
    // A colon name inside the text is no parameter when parsing is off.
    TKvQuery query(*db);
    query.ParamCheck = false;
    query.SQL = QStringList{"select 'a:b' as t, 2::integer as v", "-- :missing"};
    query.Open();
    QCOMPARE(query.fieldAsString(QStringLiteral("t")), QStringLiteral("a:b"));
    QCOMPARE(query.fieldAsInteger(QStringLiteral("v")), 2);
}

void TestDatabase::transactions_data()
{
    rowsNullsAndFields_data();
}

void TestDatabase::transactions()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    auto db = openKlv(driver);
    QVERIFY(db);
    const auto insert = [&](int v) {
        TKvQuery q(*db);
        q.SQL = QStringList{"insert into SYSPROPS (VERSIENUMMER) values (:v)"};
        q.setParam(QStringLiteral("v"), v);
        q.ExecSQL();
    };
    db->StartTransaction();
    insert(1);
    db->Rollback();
    db->StartTransaction();
    insert(2);
    db->Commit();
    QVERIFY(!db->InTransaction());
    TKvQuery q(*db);
    q.SQL = QStringList{"select count(*) as N, max(VERSIENUMMER) as M from SYSPROPS"};
    q.Open();
    QCOMPARE(q.fieldAsInteger(QStringLiteral("N")), 1);
    QCOMPARE(q.fieldAsInteger(QStringLiteral("M")), 2);
}

void TestDatabase::statementsCommitThemselves_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<bool>("commitsEach");
    for (const QString &driver : testsupport::allDrivers())
        QTest::newRow(testsupport::driverTag(driver)) << driver << (driver != u"QSQLITE");
}

// Whether a statement and its record may go in one round trip outside a transaction: PostgreSQL
// through its own driver and through ODBC, where its driver reports transactional schema changes.
void TestDatabase::statementsCommitThemselves()
{
    QFETCH(QString, driver);
    QFETCH(bool, commitsEach);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    auto db = openKlv(driver);
    QVERIFY(db);
    QCOMPARE(db->commitsEachStatement(), commitsEach);
    QVERIFY(!db->schemaChangesCommit());
}

void TestDatabase::connectionCount_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<int>("extraConnections");
    QTest::addColumn<int>("expected");
    QTest::newRow("sqlite counts itself only") << "QSQLITE" << 1 << 1;
    QTest::newRow("postgres alone") << "QPSQL" << 0 << 1;
    QTest::newRow("postgres with two others") << "QPSQL" << 2 << 3;
}

void TestDatabase::connectionCount()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QFETCH(int, extraConnections);
    QFETCH(int, expected);
    auto db = openKlv(driver);
    QVERIFY(db);
    // The set-up connection is not one of ours; wait until the server has let it go, or it
    // may still be counted.
    if (FPg)
        QVERIFY(FPg->closeConnection());
    std::vector<std::unique_ptr<KlvDatabase>> others;
    for (int i = 0; i < extraConnections; ++i) {
        others.push_back(std::make_unique<KlvDatabase>(AliasTable(FIni), nullptr));
        testsupport::loginAsUpdater(*others.back());
        others.back()->AliasName = QStringLiteral("KLV");
        others.back()->Open();
    }
    TKvQuery q(*db);
    q.ParamCheck = false;
    q.SQL = QStringList{db->connectionCountSql()};
    q.Open();
    QCOMPARE(q.fieldAsInteger(QStringLiteral("ConnCount")), expected);
}

void TestDatabase::queryOnClosedDatabaseRaises()
{
    KlvDatabase db(AliasTable(FIni), nullptr);
    TKvQuery q(db);
    q.SQL = QStringList{"select 1"};
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, q.Open());
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, db.StartTransaction());
}

void TestDatabase::statementWithoutParametersNotPrepared_data()
{
    rowsNullsAndFields_data();
}

void TestDatabase::statementWithoutParametersNotPrepared()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    auto db = openKlv(driver);
    QVERIFY(db);
    // A server that prepares only queries and data changes still takes table definitions.
    TKvQuery create(*db);
    create.SQL = QStringList{"create table EXTRA (X integer)"};
    create.ExecSQL();
    TKvQuery insert(*db);
    insert.SQL = QStringList{"insert into EXTRA values (1)"};
    insert.setParam(QStringLiteral("unknown"), 5);
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, insert.ExecSQL());
    TKvQuery wrongName(*db);
    wrongName.SQL = QStringList{"insert into EXTRA values (:x)"};
    wrongName.setParam(QStringLiteral("y"), 5);
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, wrongName.ExecSQL());
}

QTEST_GUILESS_MAIN(TestDatabase)
#include "tst_database.moc"
