// Statements per second of the SQL update script runner, measured beside the databases' own
// command-line clients running the same statements, each in a transaction of its own, in the
// same run.
//
//   bench_scripts [--statements 10000] [--runs 5] [--pg-port 55433] [--odbc DSN]
//
// SQLite: RunUpdateScript against `sqlite3 FILE < script`. PostgreSQL (the test fixture started
// with tests/support/pg-fixture.sh on --pg-port; skipped when it is not there): RunUpdateScript
// against `psql -f script`, which commits every statement by itself. With --odbc, the runner also
// reaches the same server through the ODBC data source DSN (its database replaced by the bench's
// own), again beside `psql -f`. Each run starts from an
// empty table. Each round runs the runner and then the client; the report gives the best of each
// and the median of the rounds' ratios (client time / runner time) with their spread. The
// statement display does nothing here; the window adds its repaint on top.

#include "ErrorLog.h"
#include "PairedRounds.h"
#include "SqlScriptEngine.h"
#include "db/Aliases.h"
#include "db/KlvDatabase.h"
#include "db/ScriptHistory.h"
#include "platform/Clock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <limits>

namespace {

class NoDisplay : public klv::StatementDisplay
{
public:
    void showScriptNumber(Runner, uint16_t) override {}
    void showStatement(const QStringList &) override {}
};

QByteArray script(int statements, const char *terminator)
{
    QByteArray out;
    for (int i = 0; i < statements; ++i)
        out += "insert into BENCH (ID, NAME) values (" + QByteArray::number(i) + ", 'row " + QByteArray::number(i) +
               "')" + terminator;
    return out;
}

// Seconds of one run of `work` after `prepare`; -1 when it failed.
double timed(const std::function<void()> &prepare, const std::function<bool()> &work)
{
    prepare();
    QElapsedTimer t;
    t.start();
    if (!work()) {
        std::fprintf(stderr, "run failed\n");
        return -1;
    }
    return t.nsecsElapsed() / 1e9;
}

bool tool(const QString &program, const QStringList &args, const QString &input, const QStringList &env = {})
{
    QProcess p;
    if (!input.isEmpty())
        p.setStandardInputFile(input);
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString &kv : env)
        e.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
    p.setProcessEnvironment(e);
    p.start(program, args);
    p.waitForFinished(-1);
    if (p.exitCode() != 0)
        std::fprintf(stderr, "%s\n", p.readAllStandardError().constData());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int statements = 10000, runs = 5, pgPort = 55433;
    QString dsn;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--statements"))
            statements = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--runs"))
            runs = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--pg-port"))
            pgPort = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--odbc"))
            dsn = args[i + 1];
    }
    std::printf("%d one-statement transactions, %d round(s); reference: sqlite3 and psql -f on the same "
                "statements\n",
                statements, runs);
    QTemporaryDir dir;
    const QString scriptDir = dir.path() + u'/';
    {
        QFile f(scriptDir + QStringLiteral("U1.SQL"));
        f.open(QIODevice::WriteOnly);
        f.write(script(statements, "\r\n;\r\n"));
        QFile g(scriptDir + QStringLiteral("plain.sql"));
        g.open(QIODevice::WriteOnly);
        g.write(script(statements, ";\n"));
    }
    klv::FixedClock clock(QDateTime::currentDateTime());
    klv::ErrorLog log(scriptDir + QStringLiteral("AuError.txt"), clock);
    NoDisplay display;
    const QString ini = scriptDir + QStringLiteral("aliases.ini");
    {
        QFile f(ini);
        f.open(QIODevice::WriteOnly);
        f.write(
            "[LITE]\nDriver=QSQLITE\nDatabase=bench.db\n[PG]\nDriver=QPSQL\nDatabase=klvbench\nHost=127.0.0.1\nPort=" +
            QByteArray::number(pgPort) + "\n[ODBC]\nDriver=QODBC\nDatabase=" + dsn.toUtf8() +
            ";Database=klvbench\nDialect=postgres\n");
    }
    const auto open = [&](klv::KlvDatabase &db, const QString &alias) {
        db.AliasName = alias;
        db.OnLogin = [](klv::KlvDatabase &, klv::ParamList &p) {
            p.setValue(QStringLiteral("USER NAME"), QStringLiteral("orvant"));
            p.setValue(QStringLiteral("PASSWORD"), QStringLiteral("wimbrel"));
        };
        db.Open();
    };
    const auto reset = [](klv::KlvDatabase &db) {
        QSqlQuery q(db.connection());
        q.exec(QStringLiteral("drop table if exists BENCH"));
        q.exec(QStringLiteral("create table BENCH (ID integer, NAME varchar(40))"));
    };
    // Rounds of the runner and then the client, each on an empty table; false when a run failed.
    const auto paired = [&](klv::KlvDatabase &db, const char *name, const char *goal,
                            const std::function<bool()> &client) {
        // Every statement's progress is kept in the history, as in the updater.
        klv::ScriptHistory history(db, clock, QStringLiteral("bench"), QStringLiteral("bench"));
        klv::SqlScriptEngine engine(db, display, log, scriptDir, history);
        bench::PairedRounds rounds(name);
        for (int r = 0; r < runs; ++r) {
            const double e = timed([&] { reset(db); },
                                   [&] {
                                       engine.RunUpdateScript(1, QString());
                                       return true;
                                   });
            const double c = timed([&] { reset(db); }, client);
            if (e < 0 || c < 0)
                return false;
            rounds.add(e, c);
        }
        rounds.print(goal);
        return true;
    };

    {
        klv::KlvDatabase db(klv::AliasTable(ini), nullptr);
        open(db, QStringLiteral("LITE"));
        if (!paired(db, "SQLite", "no loss against 1.25", [&] {
                return tool(QStringLiteral("sqlite3"), {scriptDir + QStringLiteral("bench.db")},
                            scriptDir + QStringLiteral("plain.sql"));
            }))
            return 1;
    }
    try {
        {
            // A database of its own: the updater's role may not create tables in "postgres".
            QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("admin"));
            admin.setHostName(QStringLiteral("127.0.0.1"));
            admin.setPort(pgPort);
            admin.setDatabaseName(QStringLiteral("postgres"));
            admin.setUserName(QStringLiteral("orvant"));
            admin.setPassword(QStringLiteral("wimbrel"));
            if (admin.open())
                QSqlQuery(admin).exec(QStringLiteral("create database klvbench"));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("admin"));
        const auto psql = [&] {
            return tool(QStringLiteral("psql"),
                        {QStringLiteral("-q"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                         QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                         QString::number(pgPort), QStringLiteral("-U"), QStringLiteral("orvant"), QStringLiteral("-d"),
                         QStringLiteral("klvbench"), QStringLiteral("-f"), scriptDir + QStringLiteral("plain.sql")},
                        QString(), {QStringLiteral("PGPASSWORD=wimbrel")});
        };
        {
            klv::KlvDatabase db(klv::AliasTable(ini), nullptr);
            open(db, QStringLiteral("PG"));
            if (!paired(db, "PostgreSQL", ">= 0.9", psql))
                return 1;
        }
        if (!dsn.isEmpty()) {
            klv::KlvDatabase db(klv::AliasTable(ini), nullptr);
            open(db, QStringLiteral("ODBC"));
            if (!paired(db, "odbc", ">= 0.9", psql))
                return 1;
        }
    } catch (const std::exception &e) {
        std::printf("PostgreSQL skipped: %s\n", e.what());
    }
    return 0;
}
