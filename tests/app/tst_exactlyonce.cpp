#include "ServerFixture.h"
#include "TestDatabases.h"
#include "TestSupport.h"
#include "UpdaterProcess.h"
#include "WindowFixture.h"
#include "platform/ServerAddress.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#include <memory>

namespace {
QString updaterName()
{
    return QFileInfo(QStringLiteral(KLV_AUTOUPDATE_EXE)).fileName();
}

const QString kList = QStringLiteral("/supports/whatsnewKEY1234567.klv");
const QStringList kConverting{"--unattended", "--convert", "--backup-made", "--no-restart"};
constexpr int kStatements = 40;
const QString kDsn = QStringLiteral("KLV_ODBC_ONCE");

// Statements that are not safe to run twice: each adds a row for its own number, after a
// moment of work, so that a kill often lands inside one.
QByteArray slowInserts(const char *kind, int count)
{
    QByteArray sql;
    for (int i = 1; i <= count; ++i)
        sql += "insert into STEPS (KIND, N) select '" + QByteArray(kind) + "', " + QByteArray::number(i) +
               " from (with recursive c(x) as (select 1 union all select x + 1 from c where x < 60000) "
               "select count(*) as n from c) q\r\n;\r\n";
    return sql;
}

} // namespace

// The updater killed at random statements of a conversion script, an SQL update script and a
// query file, then run again until it succeeds: every statement's effect is there exactly once,
// on SQLite, PostgreSQL and an ODBC data source in front of PostgreSQL.
class TestExactlyOnce : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void killedScriptsTakeEffectOnce_data();
    void killedScriptsTakeEffectOnce();

private:
    // Prepares the database behind `alias` ("KLV": SQLite; "KPG": PostgreSQL; "KODBC": the data
    // source); false when it cannot be had here (the reason is given with QSKIP by the caller).
    bool prepareDatabase(const QString &alias);
    QStringList column(const QString &alias, const QString &select);
    void serveRelease(const QString &script);

    WindowFixture F;
    ServerFixture S;
    QString FServerUrl;
    std::unique_ptr<testsupport::PgTestDatabase> FPg;
};

void TestExactlyOnce::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
}

void TestExactlyOnce::init()
{
    F.setUp();
    FServerUrl = klv::unscrambleServerBase(S.setUp());
    QVERIFY(QFile::copy(QStringLiteral(KLV_AUTOUPDATE_EXE), F.install + updaterName()));
    QFile::setPermissions(F.install + updaterName(), QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
}

void TestExactlyOnce::cleanup()
{
    F.tearDown();
    S.tearDown();
    FPg.reset();
}

bool TestExactlyOnce::prepareDatabase(const QString &alias)
{
    const QStringList steps{"create table STEPS (KIND varchar(10), N integer)"};
    if (alias == u"KLV")
        return F.sql(steps);
    FPg = std::make_unique<testsupport::PgTestDatabase>();
    if (!FPg->isValid())
        return false;
    const QStringList rows{"insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP, LASTSYSKEY) "
                           "values (137, 1010, null, '00000100')",
                           "insert into SYSTEMINFO values ('08', '4711')", "insert into LICENSE values ('KEY1234567')"};
    if (!testsupport::execAll(FPg->connection(), rows + steps) || !FPg->closeConnection())
        return false;
    if (alias == u"KPG") {
        FPg->addAlias(F.ini, alias);
        return true;
    }
    // Read by the updater's processes only, each of which starts afresh.
    if (!testsupport::defineDataSource(kDsn, FPg->name(), FPg->port()))
        return false;
    testsupport::writeFile(F.ini, testsupport::readFile(F.ini) + "[KODBC]\r\nDriver=QODBC\r\nDatabase=" +
                                      kDsn.toUtf8() + "\r\nDialect=postgres\r\n");
    return true;
}

QStringList TestExactlyOnce::column(const QString &alias, const QString &select)
{
    if (alias == u"KLV")
        return F.column(select);
    QStringList out;
    {
        QSqlQuery q(FPg->connection());
        if (!q.exec(select))
            out << QStringLiteral("<failed: %1>").arg(select);
        while (q.next())
            out << q.value(0).toString();
    }
    FPg->closeConnection();
    return out;
}

// A release whose work is the script under test: conversion script 138, SQL update script 1011,
// or the query file of a forced package.
void TestExactlyOnce::serveRelease(const QString &script)
{
    if (script == u"conversion") {
        // KLV.EXE of the release, in place already, wants 138: the list's sections for 138 bring
        // the database package.
        S.serve(kList, "[KLV138]\r\n[SQL138]\r\nVERSIE=138\r\n");
        S.servePackage(QStringLiteral("/supports/138.zlb"),
                       {{QStringLiteral("138.SQL"),
                         slowInserts("c", kStatements) + "update SYSPROPS set VERSIENUMMER = 138\r\n;\r\n"}});
        QVERIFY(testsupport::makeVersionedExe(F.install + QStringLiteral("KLV.EXE"),
                                              {{QStringLiteral("FileVersion"), QStringLiteral("5.3.0.0")},
                                               {QStringLiteral("IntegerVersion"), QStringLiteral("138")}}));
    } else if (script == u"update") {
        S.serve(kList, "[KLV137]\r\n[SQL137]\r\nUPDATE=1011\r\n");
        S.servePackage(QStringLiteral("/supports/u1011.zlb"),
                       {{QStringLiteral("u1011.sql"),
                         slowInserts("u", kStatements) + "update SYSPROPS set IUPDATE_SPP = 1011\r\n;\r\n"}});
    } else {
        S.serve(kList, "[KLV137]\r\nslow.sql=t1\r\n[CMD137]\r\nquery$slow.sql=\r\n");
        S.servePackage(QStringLiteral("/supports/klv137/slow.zlb"),
                       {{QStringLiteral("slow.sql"), slowInserts("q", kStatements)}});
    }
}

void TestExactlyOnce::killedScriptsTakeEffectOnce_data()
{
    QTest::addColumn<QString>("alias");
    QTest::addColumn<QString>("script");
    for (const char *alias : {"KLV", "KPG", "KODBC"})
        for (const char *script : {"conversion", "update", "query"})
            QTest::addRow("%s %s", alias, script) << QString::fromLatin1(alias) << QString::fromLatin1(script);
}

void TestExactlyOnce::killedScriptsTakeEffectOnce()
{
    QFETCH(QString, alias);
    QFETCH(QString, script);
    if (alias == u"KPG" && testsupport::effectiveDriver(QStringLiteral("QPSQL")) != u"QPSQL")
        QSKIP("no PostgreSQL client library for Windows here: the KODBC rows reach the same server over ODBC");
    if (alias == u"KODBC")
        KLV_SKIP_WITHOUT_DRIVER(QStringLiteral("QODBC"));
    QVERIFY2(prepareDatabase(alias), "the test database cannot be prepared (fixture postgres, psqlODBC)");
    serveRelease(script);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KLV_INSTALL_DIR"), F.install);
    env.insert(QStringLiteral("KLV_ALIASES"), F.ini);
    env.insert(QStringLiteral("KLV_UPDATE_SERVER"), FServerUrl);
    env.insert(QStringLiteral("KLV_RETRY_PAUSE_MS"), QStringLiteral("10"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QStringList args = QStringList{"0", "0", alias} + kConverting;
    const char kind = script == u"conversion" ? 'c' : script == u"update" ? 'u' : 'q';

    // Killed inside the script a few times, at random statements (rising: a run carries on after
    // the last one that took effect); then run until it succeeds.
    QRandomGenerator random(uint32_t(qHash(alias + script)));
    QList<int> targets;
    for (int k = 0; k < 4; ++k)
        targets << 2 + k * (kStatements / 4) + random.bounded(kStatements / 4 - 2);
    int kills = 0, status = -1;
    QByteArray output;
    for (int attempt = 0; attempt < 12 && status != 0; ++attempt) {
        updaterprocess::Watched process(env, F.install + updaterName(), F.install);
        QVERIFY(process.start(args));
        if (attempt < targets.size()) {
            // Shown statements name their number; a query file's are not shown, so its kill comes
            // once its rows reach the target. A moment of time alone let the file end before the
            // third kill on a fast machine.
            bool seen = false;
            if (kind == 'q') {
                seen = process.waitForLine("ExecQuery");
                QElapsedTimer waited;
                waited.start();
                while (seen && process.isRunning() && waited.elapsed() < 60000 &&
                       column(alias, QStringLiteral("select count(*) from STEPS")).value(0).toInt() <
                           targets[attempt] - 1)
                    QThread::msleep(5);
            } else {
                seen = process.waitForLine("SQL: insert into STEPS (KIND, N) select '" + QByteArray(1, kind) + "', " +
                                           QByteArray::number(targets[attempt]) + " ");
            }
            if (seen)
                QThread::msleep(random.bounded(40));
            if (seen && process.isRunning()) {
                process.kill();
                // A kill may come just after the run completed, while the process was ending. That
                // run is the last one: a run after it applies the release again, and its forced
                // package's query file with it, as every "Ophalen" does.
                if (process.output().contains("Auto Update is voltooid")) {
                    status = 0;
                    output = process.output();
                    break;
                }
                ++kills;
                continue;
            }
        }
        status = process.finish();
        output = process.output();
    }
    QVERIFY2(status == 0, output.constData());
    QVERIFY2(kills >= 3, qPrintable(QString::number(kills)));

    // Every statement's row exactly once.
    QStringList expected;
    for (int i = 1; i <= kStatements; ++i)
        expected << QString::number(i);
    std::sort(expected.begin(), expected.end());
    QCOMPARE(column(alias, QStringLiteral("select N from STEPS order by 1")).join(u','),
             column(alias, QStringLiteral("select distinct N from STEPS order by 1")).join(u','));
    QStringList numbers = column(alias, QStringLiteral("select N from STEPS"));
    std::sort(numbers.begin(), numbers.end());
    QCOMPARE(numbers, expected);
    // The history: the script's last run is complete, with every statement settled.
    const QString file = kind == 'c'   ? QStringLiteral("138.SQL")
                         : kind == 'u' ? QStringLiteral("U1011.SQL")
                                       : QStringLiteral("slow.sql");
    const QStringList last =
        column(alias, QStringLiteral("select OUTCOME || ' ' || STATEMENTS_DONE || ' ' || STATEMENTS_FAILED from "
                                     "AUTOUPDATE_HISTORY where upper(FILE_NAME) = upper('%1') order by RUN_ID desc")
                          .arg(file));
    QVERIFY(!last.isEmpty());
    QCOMPARE(last.first().trimmed(), QStringLiteral("voltooid %1 0").arg(kind == 'q' ? kStatements : kStatements + 1));
    // One run of the script, carried on after each kill.
    QCOMPARE(last.size(), 1);
    if (kind == 'c')
        QCOMPARE(column(alias, QStringLiteral("select VERSIENUMMER from SYSPROPS")), QStringList{"138"});
    if (kind == 'u')
        QCOMPARE(column(alias, QStringLiteral("select IUPDATE_SPP from SYSPROPS")), QStringList{"1011"});
}

QTEST_MAIN(TestExactlyOnce)
#include "tst_exactlyonce.moc"
