#include "ErrorLog.h"
#include "SqlScriptEngine.h"
#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "platform/Clock.h"
#include "platform/Exceptions.h"

#include "TestDatabases.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QLocale>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <thread>

using namespace klv;
Q_DECLARE_METATYPE(klv::ChangedScript)

namespace {
// Records what the engine shows, and what the database holds at that moment.
class RecordingDisplay : public StatementDisplay
{
public:
    void showScriptNumber(Runner runner, uint16_t number) override
    {
        numbers << (runner == Runner::Conversion ? QStringLiteral("C") : QStringLiteral("U")) + QString::number(number);
    }
    void showStatement(const QStringList &sql) override { shown << sql.join(u'|'); }
    QStringList numbers, shown;
};
} // namespace

// The SQL script engine on real SQLite and PostgreSQL databases.
class TestScriptEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void fourLineScript_data();
    void fourLineScript();
    void failingStatement_data();
    void failingStatement();
    void statementOfSeveralPartsFailsWhole_data();
    void statementOfSeveralPartsFailsWhole();
    void onlySqlLinesReachDatabase_data();
    void onlySqlLinesReachDatabase();
    void emptyStatementDiffers();
    void unterminatedLastStatementRuns_data();
    void unterminatedLastStatementRuns();
    void headerLine_data();
    void headerLine();
    void scrambledScript();
    void missingFileRaises();
    void emptyUpdateScriptRaises();
    void errorLogLayout();
    void unwritableLogReplacesError();
    void carriesOnAfterLastSettledStatement_data();
    void carriesOnAfterLastSettledStatement();
    void changedScript_data();
    void changedScript();
    void waitsForKilledRunsLastStatement_data();
    void waitsForKilledRunsLastStatement();
    void queryCompletedByEarlierAttempt();

private:
    bool open(const QString &driver);
    void script(const QString &name, const QByteArray &text);
    QStringList values(); // rows of table T, in insertion order
    QStringList steps();  // the numbers in table STEPS, sorted, repeats kept

    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<testsupport::PgTestDatabase> FPg;
    std::unique_ptr<KlvDatabase> FDb;
    std::unique_ptr<FixedClock> FClock;
    std::unique_ptr<ErrorLog> FLog;
    std::unique_ptr<RecordingDisplay> FDisplay;
    std::unique_ptr<ScriptHistory> FHistory;
    std::unique_ptr<SqlScriptEngine> FEngine;
};

void TestScriptEngine::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    FClock = std::make_unique<FixedClock>(QDateTime(QDate(2026, 12, 8), QTime(9, 30)));
    FLog = std::make_unique<ErrorLog>(FDir->filePath(QStringLiteral("AuError.txt")), *FClock);
    FDisplay = std::make_unique<RecordingDisplay>();
}

void TestScriptEngine::cleanup()
{
    FEngine.reset();
    FHistory.reset();
    FDb.reset();
    FPg.reset();
}

bool TestScriptEngine::open(const QString &driver)
{
    FDb = testsupport::openKlvDatabase(driver, FDir->path(), FPg);
    if (!FDb)
        return false;
    FHistory = std::make_unique<ScriptHistory>(*FDb, *FClock, QStringLiteral("136.46"), QStringLiteral("PC1"));
    FEngine = std::make_unique<SqlScriptEngine>(*FDb, *FDisplay, *FLog, FDir->path() + u'/', *FHistory);
    TKvQuery q(*FDb);
    q.SQL = QStringList{"create table T (ID integer primary key, V varchar(40))"};
    q.ExecSQL();
    return true;
}

void TestScriptEngine::script(const QString &name, const QByteArray &text)
{
    testsupport::writeFile(FDir->filePath(name), text);
}

QStringList TestScriptEngine::values()
{
    TKvQuery q(*FDb);
    q.SQL = QStringList{"select V from T order by ID"};
    q.Open();
    QStringList out;
    for (; !q.Eof(); q.Next())
        out << q.fieldAsString(QStringLiteral("V"));
    return out;
}

QStringList TestScriptEngine::steps()
{
    TKvQuery q(*FDb);
    q.SQL = QStringList{"select N from STEPS order by N"};
    q.Open();
    QStringList out;
    for (; !q.Eof(); q.Next())
        out << q.fieldAsString(QStringLiteral("N"));
    return out;
}

static void drivers()
{
    QTest::addColumn<QString>("driver");
    for (const QString &driver : testsupport::allDrivers())
        QTest::newRow(testsupport::driverTag(driver)) << driver;
}

void TestScriptEngine::fourLineScript_data()
{
    drivers();
}

void TestScriptEngine::fourLineScript()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    script(QStringLiteral("137.SQL"), "insert into T values (1, 'a')\r\n;\r\ninsert into T values (2, 'b')\r\nGO\r\n");
    FEngine->RunConversionScript(137);
    QCOMPARE(FDisplay->shown, (QStringList{"insert into T values (1, 'a')", "insert into T values (2, 'b')"}));
    QCOMPARE(FDisplay->numbers, (QStringList{"C137", "C137"}));
    QCOMPARE(values(), (QStringList{"a", "b"}));
    QVERIFY(!FDb->InTransaction());
    QVERIFY(!QFile::exists(FLog->path()));
}

void TestScriptEngine::failingStatement_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QByteArray>("terminator");
    QTest::addColumn<bool>("absorbed");
    QTest::newRow("sqlite goo") << "QSQLITE" << QByteArray("goo") << true;
    QTest::newRow("sqlite GO") << "QSQLITE" << QByteArray("GO") << false;
    QTest::newRow("sqlite ;") << "QSQLITE" << QByteArray(";") << false;
    for (const QString &driver : testsupport::serverDrivers()) {
        QTest::newRow(testsupport::driverTag(driver) + " GoO") << driver << QByteArray("GoO") << true;
        QTest::newRow(testsupport::driverTag(driver) + " go") << driver << QByteArray("go") << false;
    }
}

void TestScriptEngine::failingStatement()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QFETCH(QByteArray, terminator);
    QFETCH(bool, absorbed);
    QVERIFY(open(driver));
    script(QStringLiteral("U1011.SQL"), "insert into T values (1, 'before')\r\n;\r\n"
                                        "create table T (X integer)\r\n" +
                                            terminator + "\r\ninsert into T values (2, 'after')\r\n;\r\n");
    if (absorbed) {
        FEngine->RunUpdateScript(1011, QString());
        QCOMPARE(values(), (QStringList{"before", "after"}));
    } else {
        QVERIFY_THROWS_EXCEPTION(EDBEngineError, FEngine->RunUpdateScript(1011, QString()));
        QCOMPARE(values(), QStringList{"before"});
    }
    // Rolled back: the connection takes new work.
    QVERIFY(!FDb->InTransaction());
    TKvQuery q(*FDb);
    q.SQL = QStringList{"insert into T values (3, 'still usable')"};
    q.ExecSQL();
    // One entry: a line end, the date, a line end, class " / " message.
    const QString log = QString::fromLatin1(testsupport::readFile(FLog->path()));
    const QString prefix = QStringLiteral("\r\n%1\r\nEDBEngineError / ")
                               .arg(QLocale::system().toString(QDate(2026, 12, 8), QLocale::ShortFormat));
    QVERIFY2(log.startsWith(prefix), qPrintable(log));
    QCOMPARE(log.count(QStringLiteral("\r\n")), 2);
}

void TestScriptEngine::statementOfSeveralPartsFailsWhole_data()
{
    drivers();
}

// A statement whose text holds two, the second failing, leaves nothing of the first; the next
// statement runs and stays.
void TestScriptEngine::statementOfSeveralPartsFailsWhole()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    script(QStringLiteral("U1012.SQL"), "insert into T values (1, 'before')\r\n;\r\n"
                                        "insert into T values (5, 'first part');\r\n"
                                        "insert into MISSING values (1)\r\nGOO\r\n"
                                        "insert into T values (2, 'after')\r\n;\r\n");
    FEngine->RunUpdateScript(1012, QString());
    QCOMPARE(values(), (QStringList{"before", "after"}));
    QVERIFY(!FDb->InTransaction());
    QCOMPARE(QString::fromLatin1(testsupport::readFile(FLog->path())).count(QStringLiteral("EDBEngineError / ")), 1);
}

void TestScriptEngine::onlySqlLinesReachDatabase_data()
{
    drivers();
}

void TestScriptEngine::onlySqlLinesReachDatabase()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    // Each ignored line would be a syntax error if it reached the database; the ";" and "--"
    // inside SQL lines and the colon in the literal must arrive unchanged.
    script(QStringLiteral("U1012.SQL"),
           "BEGIN TRANSACTION\r\n-- a comment\r\n\r\n"
           "insert into T values (1, 'semi;colon')  \r\n;\r\n"
           "begin transaction\r\ninsert into T\r\n  values (2, 'tijd 12:30 :x') -- note\r\n"
           "\tGO \r\ncommit work\r\n");
    FEngine->RunUpdateScript(1012, QString());
    QCOMPARE(values(), (QStringList{"semi;colon", "tijd 12:30 :x"}));
    QCOMPARE(FDisplay->shown, (QStringList{"insert into T values (1, 'semi;colon')",
                                           "insert into T|values (2, 'tijd 12:30 :x') -- note"}));
    QCOMPARE(FDisplay->numbers, (QStringList{"U1012", "U1012"}));
}

void TestScriptEngine::emptyStatementDiffers()
{
    QVERIFY(open(QStringLiteral("QSQLITE")));
    const QByteArray text = "insert into T values (1, 'a')\r\nGO\r\n;\r\ninsert into T values (2, 'b')\r\n;\r\n";
    script(QStringLiteral("138.SQL"), text);
    script(QStringLiteral("U1013.SQL"), text);
    FEngine->RunConversionScript(138); // the empty statement ends the script
    QCOMPARE(values(), QStringList{"a"});
    TKvQuery q(*FDb);
    q.SQL = QStringList{"delete from T"};
    q.ExecSQL();
    FEngine->RunUpdateScript(1013, QString()); // skipped
    QCOMPARE(values(), (QStringList{"a", "b"}));
}

void TestScriptEngine::unterminatedLastStatementRuns_data()
{
    QTest::addColumn<bool>("conversion");
    QTest::newRow("conversion") << true;
    QTest::newRow("update") << false;
}

void TestScriptEngine::unterminatedLastStatementRuns()
{
    QFETCH(bool, conversion);
    QVERIFY(open(QStringLiteral("QSQLITE")));
    const QByteArray text = "insert into T values (1, 'a')\r\n;\r\ninsert into T\r\nvalues (2, 'b')";
    script(QStringLiteral("139.SQL"), text);
    script(QStringLiteral("U1014.SQL"), text);
    if (conversion)
        FEngine->RunConversionScript(139);
    else
        FEngine->RunUpdateScript(1014, QString());
    QCOMPARE(values(), (QStringList{"a", "b"}));
}

void TestScriptEngine::headerLine_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<bool>("skipped");
    QTest::newRow("non-zero number") << QByteArray("138") << true;
    QTest::newRow("zeros") << QByteArray("000") << false;
    QTest::newRow("letters") << QByteArray("abc") << false;
}

void TestScriptEngine::headerLine()
{
    QFETCH(QByteArray, first);
    QFETCH(bool, skipped);
    QVERIFY(open(QStringLiteral("QSQLITE")));
    // A first line that is no header becomes part of the first statement, which then fails.
    script(QStringLiteral("U1015.SQL"), first + "\r\ninsert into T values (1, 'a')\r\n;\r\n");
    script(QStringLiteral("140.SQL"), first + "\r\ninsert into T values (1, 'a')\r\n;\r\n");
    if (skipped) {
        FEngine->RunUpdateScript(1015, QString());
        QCOMPARE(values(), QStringList{"a"});
    } else {
        QVERIFY_THROWS_EXCEPTION(EDBEngineError, FEngine->RunUpdateScript(1015, QString()));
        QCOMPARE(FDisplay->shown.first(), QString::fromLatin1(first + "|insert into T values (1, 'a')"));
    }
    // The conversion runner knows no header.
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, FEngine->RunConversionScript(140));
}

void TestScriptEngine::scrambledScript()
{
    KLV_SKIP_WITHOUT_DRIVER(QStringLiteral("QPSQL"));
    QVERIFY(open(QStringLiteral("QPSQL")));
    const QByteArray payload =
        "141\r\ninsert into T values (1, 'caf\xE9')\r\n;\r\ninsert into T values (2, 'x')\r\nGO\r\n";
    script(QStringLiteral("em_fix.sql"), testsupport::scrambleScript(payload));
    FEngine->RunUpdateScript(1, FDir->filePath(QStringLiteral("EM_FIX.SQL")));
    QCOMPARE(values(), (QStringList{QStringLiteral("caf\u00E9"), "x"}));
    QCOMPARE(FDisplay->numbers.first(), QStringLiteral("U1"));
}

void TestScriptEngine::missingFileRaises()
{
    QVERIFY(open(QStringLiteral("QSQLITE")));
    QVERIFY_THROWS_EXCEPTION(EInOutError, FEngine->RunConversionScript(150));
    QVERIFY_THROWS_EXCEPTION(EInOutError, FEngine->RunUpdateScript(1500, QString()));
    QVERIFY_THROWS_EXCEPTION(EInOutError, FEngine->RequiredDbVersion(1500));
    QVERIFY(FDisplay->shown.isEmpty());
}

void TestScriptEngine::emptyUpdateScriptRaises()
{
    QVERIFY(open(QStringLiteral("QSQLITE")));
    script(QStringLiteral("U1016.SQL"), "");
    QVERIFY_THROWS_EXCEPTION(Exception, FEngine->RunUpdateScript(1016, QString()));
    script(QStringLiteral("151.SQL"), "");
    FEngine->RunConversionScript(151);
}

void TestScriptEngine::errorLogLayout()
{
    FLog->append(QStringLiteral("first"));
    FClock->set(QDateTime(QDate(2026, 12, 9), QTime(1, 0)));
    FLog->append(QStringLiteral("tweede be\u00EBindigd"));
    const QLocale locale = QLocale::system();
    const QByteArray expected = "\r\n" + locale.toString(QDate(2026, 12, 8), QLocale::ShortFormat).toLatin1() +
                                "\r\nfirst\r\n" + locale.toString(QDate(2026, 12, 9), QLocale::ShortFormat).toLatin1() +
                                "\r\ntweede be\xEBindigd";
    QCOMPARE(testsupport::readFile(FLog->path()), expected);
}

void TestScriptEngine::unwritableLogReplacesError()
{
    QVERIFY(open(QStringLiteral("QSQLITE")));
    QDir().mkpath(FLog->path()); // a folder where the log should be
    script(QStringLiteral("U1017.SQL"), "create table T (X integer)\r\nGOO\r\n");
    QVERIFY_THROWS_EXCEPTION(EInOutError, FEngine->RunUpdateScript(1017, QString()));
}

void TestScriptEngine::carriesOnAfterLastSettledStatement_data()
{
    drivers();
}

// A script that stopped is carried on after its last settled statement: nothing that took effect
// runs twice, a statement passed over ("GOO") is not tried again, and its history row tells.
void TestScriptEngine::carriesOnAfterLastSettledStatement()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    TKvQuery create(*FDb);
    create.SQL = QStringList{"create table STEPS (N integer)"};
    create.ExecSQL();
    const QByteArray text = "insert into STEPS values (1)\r\n;\r\n"
                            "insert into MISSING values (2)\r\nGOO\r\n"
                            "insert into STEPS values (3)\r\n;\r\n"
                            "insert into LATER values (4)\r\n;\r\n"
                            "insert into STEPS values (5)\r\n;\r\n";
    script(QStringLiteral("U1011.SQL"), text);
    FEngine->setRelease(138);
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, FEngine->RunUpdateScript(1011, QString()));
    QCOMPARE(steps(), (QStringList{"1", "3"}));
    QList<ScriptRunRecord> rows = FHistory->latest(10);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].outcome, QStringLiteral("mislukt"));
    QCOMPARE(rows[0].done, 3);
    QCOMPARE(rows[0].failed, 1);
    QCOMPARE(rows[0].failedAt, QStringLiteral("2"));
    QCOMPARE(FEngine->updateStart(1011).statement, 4);

    TKvQuery later(*FDb);
    later.SQL = QStringList{"create table LATER (N integer)"};
    later.ExecSQL();
    FDisplay->shown.clear();
    FEngine->RunUpdateScript(1011, QString());
    QCOMPARE(FDisplay->shown, (QStringList{"insert into LATER values (4)", "insert into STEPS values (5)"}));
    QCOMPARE(steps(), (QStringList{"1", "3", "5"}));
    rows = FHistory->latest(10);
    QCOMPARE(rows.size(), 1); // the same run, carried on
    const ScriptRunRecord &row = rows[0];
    QCOMPARE(row.kind, QStringLiteral("updatescript"));
    QCOMPARE(row.fileName, QStringLiteral("U1011.SQL"));
    QCOMPARE(row.sha256, QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(row.release, 138);
    QCOMPARE(row.outcome, QStringLiteral("voltooid"));
    QCOMPARE(row.done, 5);
    QCOMPARE(row.failed, 1);
    QCOMPARE(row.started, QDateTime(QDate(2026, 12, 8), QTime(9, 30)).toUTC());
    QCOMPARE(row.ended, row.started);
    QCOMPARE(row.computer, QStringLiteral("PC1"));
    QVERIFY(!FDb->InTransaction());
}

void TestScriptEngine::changedScript_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<ChangedScript>("choice");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("refused") << "QSQLITE" << ChangedScript::Refuse << QStringList{"1"};
    QTest::newRow("refused, postgres") << "QPSQL" << ChangedScript::Refuse << QStringList{"1"};
    QTest::newRow("run whole") << "QSQLITE" << ChangedScript::RunWhole << QStringList{"1", "1", "2"};
    QTest::newRow("marked done") << "QSQLITE" << ChangedScript::MarkDone << QStringList{"1"};
}

// A script whose bytes changed since it was partly run: nothing of it runs unless somebody in the
// service mode decides to run it whole or to mark it done.
void TestScriptEngine::changedScript()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QFETCH(ChangedScript, choice);
    QFETCH(QStringList, after);
    QVERIFY(open(driver));
    TKvQuery create(*FDb);
    create.SQL = QStringList{"create table STEPS (N integer)"};
    create.ExecSQL();
    script(QStringLiteral("138.SQL"), "insert into STEPS values (1)\r\n;\r\ninsert into LATER values (2)\r\n;\r\n");
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, FEngine->RunConversionScript(138));
    script(QStringLiteral("138.SQL"), "insert into STEPS values (1)\r\n;\r\ninsert into STEPS values (2)\r\n;\r\n");
    QVERIFY(FEngine->conversionStart(138).changed);
    int asked = 0;
    FEngine->OnChangedScript = [&](const QString &name, int settled) {
        ++asked;
        return name == u"138.SQL" && settled == 1 ? choice : ChangedScript::Refuse;
    };
    if (choice == ChangedScript::Refuse) {
        try {
            FEngine->RunConversionScript(138);
            QFAIL("a changed script ran");
        } catch (const Exception &e) {
            QCOMPARE(e.message(), QStringLiteral("Het script 138.SQL is eerder tot en met statement 1 uitgevoerd en is "
                                                 "sindsdien veranderd; er is niets van uitgevoerd. In de servicemodus "
                                                 "kunt u het helemaal opnieuw laten uitvoeren of als uitgevoerd "
                                                 "afvinken."));
        }
    } else {
        FEngine->RunConversionScript(138);
    }
    QCOMPARE(asked, 1);
    QCOMPARE(steps(), after);
    const QList<ScriptRunRecord> rows = FHistory->latest(10);
    const QStringList outcomes = [&] {
        QStringList out;
        for (const ScriptRunRecord &r : rows)
            out << r.outcome;
        return out;
    }();
    const QStringList expected = choice == ChangedScript::Refuse     ? QStringList{"mislukt"}
                                 : choice == ChangedScript::RunWhole ? QStringList{"voltooid", "vervangen"}
                                                                     : QStringList{"afgevinkt", "vervangen"};
    QCOMPARE(outcomes, expected);
    // Decided once: the next run does not ask again; a script marked done stays done.
    if (choice == ChangedScript::MarkDone) {
        FEngine->OnChangedScript = nullptr;
        QCOMPARE(FEngine->conversionStart(138).statement, 3);
        FEngine->RunConversionScript(138);
        QCOMPARE(steps(), after);
    }
}

// A killed updater's last statement may still be at work on the server, and commit after the next
// run has read the history: that run waits for it and carries on after it, instead of running it
// again.
void TestScriptEngine::waitsForKilledRunsLastStatement_data()
{
    QTest::addColumn<QString>("driver");
    for (const QString &driver : testsupport::serverDrivers())
        QTest::newRow(testsupport::driverTag(driver)) << driver;
}

void TestScriptEngine::waitsForKilledRunsLastStatement()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    const QByteArray text = "insert into STEPS values (1)\r\n;\r\ninsert into STEPS values (2)\r\n;\r\n"
                            "insert into STEPS values (3)\r\n;\r\n";
    script(QStringLiteral("U1011.SQL"), text);
    const qint64 id =
        FHistory->start(ScriptKind::Update, QStringLiteral("U1011.SQL"),
                        QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()), 138);
    TKvQuery first(*FDb);
    first.ParamCheck = false;
    first.SQL = QStringList{"create table STEPS (N integer);", ScriptHistory::progressSql(id, 1) + u';',
                            "insert into STEPS values (1)"};
    first.ExecAllSQL();

    // Statement 2 as the killed run sent it: its record and itself in one implicit transaction,
    // on a connection of its own, still busy for a moment.
    const QString base = FPg->connection().connectionName();
    QString inFlightError;
    std::jthread inFlight([&] {
        {
            QSqlDatabase c = QSqlDatabase::cloneDatabase(base, QStringLiteral("killed run"));
            QSqlQuery q(c);
            if (!c.open() || !q.exec(ScriptHistory::progressSql(id, 2) +
                                     QStringLiteral("; insert into STEPS values (2); select pg_sleep(0.7)")))
                inFlightError = q.lastError().text() + c.lastError().text();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("killed run"));
    });
    TKvQuery busy(*FDb);
    busy.SQL = QStringList{"select count(*) as N from pg_stat_activity where query like '%pg_sleep(0.7)%' "
                           "and state = 'active' and pid <> pg_backend_pid()"};
    for (int i = 0; i < 200; ++i) {
        busy.Open();
        const bool started = busy.fieldAsInteger(QStringLiteral("N")) > 0;
        busy.Close();
        if (started)
            break;
        QTest::qWait(10);
    }

    FDisplay->shown.clear();
    FEngine->RunUpdateScript(1011, QString());
    inFlight.join();
    QVERIFY2(inFlightError.isEmpty(), qPrintable(inFlightError));
    QCOMPARE(FDisplay->shown, QStringList{"insert into STEPS values (3)"});
    QCOMPARE(steps(), (QStringList{"1", "2", "3"}));
    QCOMPARE(FHistory->latest(1).value(0).done, 3);
}

QTEST_GUILESS_MAIN(TestScriptEngine)
// A query command whose script completed just before the run was stopped, before the command
// was marked done: carried on, it must not run the script again; another command with the same
// file does.
void TestScriptEngine::queryCompletedByEarlierAttempt()
{
    QVERIFY(open(QStringLiteral("QSQLITE")));
    TKvQuery create(*FDb);
    create.SQL = QStringList{"create table STEPS (N integer)"};
    create.ExecSQL();
    const QByteArray bytes = "insert into STEPS values (1)\r\n;\r\ninsert into STEPS values (2)\r\n";
    const QList<sqlscript::Statement> statements = {
        {{"insert into STEPS values (1)"}, sqlscript::Terminator::Semicolon},
        {{"insert into STEPS values (2)"}, sqlscript::Terminator::Semicolon}};
    QList<qint64> noted;
    FEngine->setCommandRun({std::nullopt, [&](qint64 run) { noted << run; }});
    FEngine->runQueryFile(QStringLiteral("slow.sql"), bytes, statements);
    QCOMPARE(steps(), (QStringList{"1", "2"}));
    QCOMPARE(noted.size(), 1);

    FEngine->setCommandRun({noted.first(), [&](qint64 run) { noted << run; }});
    FEngine->runQueryFile(QStringLiteral("slow.sql"), bytes, statements);
    QCOMPARE(steps(), (QStringList{"1", "2"}));
    QCOMPARE(noted.size(), 1);

    FEngine->setCommandRun({});
    FEngine->runQueryFile(QStringLiteral("slow.sql"), bytes, statements);
    QCOMPARE(steps(), (QStringList{"1", "1", "2", "2"}));
}

#include "tst_scriptengine.moc"
