// Speed of the premium list import, measured beside the bulk loaders of the same databases in the
// same run: sqlite3's .import and psql's \copy of the same rows into a plain table.
//
//   bench_premium [--rows 100000] [--runs 5] [--pg-port 55433] [--dir /tmp] [--odbc DSN]
//
// Every row of the list belongs to the installation's region and names an official material of
// its own, so each row is looked up and inserted. Each run starts from a fresh database. The
// PostgreSQL server is the test fixture (tests/support/pg-fixture.sh) on --pg-port; without it
// only SQLite is measured. With --odbc the import also runs through the ODBC data source DSN in
// front of that server (its database replaced by the bench's own), beside the same loaders. Each
// round runs the import and then the loader; the report gives the best
// of each and the median of the rounds' ratios (reference time / import time, 1.0: as fast as the
// loader) with their spread.

#include "PairedRounds.h"
#include "PremiumImport.h"
#include "db/Aliases.h"
#include "db/KlvDatabase.h"
#include "platform/Dialogs.h"
#include "platform/Exceptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <limits>

namespace {

const QString kRegio = QStringLiteral("07");

class SilentDialogs : public klv::Dialogs
{
public:
    void message(Kind, const QString &text) override { std::fprintf(stderr, "dialog: %s\n", qPrintable(text)); }
    bool confirm(const QString &) override { return false; }
    QString openFile(const QString &, const QString &) override { return QString(); }
};

[[noreturn]] void fail(const QString &text)
{
    std::fprintf(stderr, "bench_premium: %s\n", qPrintable(text));
    std::exit(1);
}

void exec(QSqlQuery &query, const QString &sql)
{
    if (!query.exec(sql))
        fail(sql + QStringLiteral(": ") + query.lastError().text());
}

QStringList schema()
{
    QFile file(QStringLiteral(KLV_SCHEMA_SQL));
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read the schema"));
    QStringList out;
    for (const QString &part : QString::fromUtf8(file.readAll()).split(u';')) {
        QStringList lines;
        for (const QString &line : part.split(u'\n'))
            if (!line.trimmed().startsWith(QStringLiteral("--")))
                lines << line;
        if (!lines.join(u'\n').trimmed().isEmpty())
            out << lines.join(u'\n');
    }
    return out;
}

// The application's tables, the key counter and one official material per row.
void prepareDatabase(QSqlDatabase db, int rows)
{
    QSqlQuery q(db);
    for (const QString &sql : schema())
        exec(q, sql);
    exec(q, QStringLiteral("insert into SYSPROPS (VERSIENUMMER, LASTSYSKEY) values (137, '00000100')"));
    db.transaction();
    if (!q.prepare(QStringLiteral("insert into ARNMATERIAAL values (?, ?, 'T')")))
        fail(q.lastError().text());
    for (int i = 1; i <= rows; ++i) {
        q.bindValue(0, QStringLiteral("MAT%1").arg(i, 5, 36, QLatin1Char('0')).toUpper());
        q.bindValue(1, QStringLiteral("M%1").arg(i));
        if (!q.exec())
            fail(q.lastError().text());
    }
    db.commit();
}

void writeList(const QString &path, int rows)
{
    QByteArray text = "20240301;Premielijst maart\r\n";
    text.reserve(rows * 40);
    for (int i = 1; i <= rows; ++i)
        text += "07;M" + QByteArray::number(i) + ";x;12,50;st;1.5;2;" + QByteArray::number(16 + i % 7) + "\r\n";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        fail(QStringLiteral("cannot write ") + path);
}

// Runs the import of `list` on the alias and returns its seconds.
double timeImport(const QString &aliasFile, const QString &list, int rows)
{
    klv::KlvDatabase database{klv::AliasTable(aliasFile), nullptr};
    database.AliasName = QStringLiteral("BENCH");
    database.OnLogin = [](klv::KlvDatabase &, klv::ParamList &p) {
        p.setValue(QStringLiteral("USER NAME"), QStringLiteral("orvant"));
        p.setValue(QStringLiteral("PASSWORD"), QStringLiteral("wimbrel"));
    };
    database.Open();
    SilentDialogs dialogs;
    const QString folder = QFileInfo(list).absolutePath();
    klv::PremiumImport import(database, kRegio, klv::Folders(folder, folder), dialogs, [](const QString &) {});
    QElapsedTimer timer;
    timer.start();
    const klv::PremiumImport::Result result = import.ImportPremiumList(list);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!result.imported || result.rows != rows)
        fail(QStringLiteral("import failed: %1 rows, %2").arg(result.rows).arg(result.failure));
    return seconds;
}

double timeProcess(const QString &program, const QStringList &args, const QProcessEnvironment &env = {})
{
    QProcess process;
    if (!env.isEmpty())
        process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    process.start(program, args);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        fail(program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAll()));
    return timer.nsecsElapsed() / 1e9;
}

QString plainTable()
{
    return QStringLiteral("create table PREMIE_IMPORT (REGIO varchar(10), MATERIAAL varchar(20), X varchar(10), "
                          "NORM varchar(20), EENHEID varchar(10), DEMONTAGE varchar(20), INZAMEL varchar(20), "
                          "TOTAAL varchar(20))");
}

struct Pair
{
    double import = std::numeric_limits<double>::max();
    double reference = std::numeric_limits<double>::max();
    double keyed = std::numeric_limits<double>::max(); // the loader into ARNPREMIE itself
};

// The rows the import writes, as the loaders read them: every column of ARNPREMIE.
void writeKeyedRows(const QString &path, int rows)
{
    QByteArray text;
    text.reserve(rows * 60);
    for (int i = 1; i <= rows; ++i)
        text += "K" + QByteArray::number(i).rightJustified(7, '0') + ";M" + QByteArray::number(i) +
                ";07;12.5;st;1.5;2;" + QByteArray::number(16 + i % 7) + ";2024-03-01 00:00:00\r\n";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        fail(QStringLiteral("cannot write ") + path);
}

// The application's create statement of ARNPREMIE, with its key.
QString premieTable()
{
    for (const QString &sql : schema())
        if (sql.contains(QStringLiteral("create table ARNPREMIE"), Qt::CaseInsensitive))
            return sql.trimmed();
    fail(QStringLiteral("the schema has no ARNPREMIE"));
}

Pair benchSqlite(const QString &dir, const QString &list, int rows, int run)
{
    Pair out;
    const QString dbPath = dir + QStringLiteral("/klv%1.db").arg(run);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("setup"));
        db.setDatabaseName(dbPath);
        if (!db.open())
            fail(db.lastError().text());
        prepareDatabase(db, rows);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("setup"));
    const QString aliases = dir + QStringLiteral("/sqlite.ini");
    QFile ini(aliases);
    if (!ini.open(QIODevice::WriteOnly))
        fail(aliases);
    ini.write("[BENCH]\r\nDriver=QSQLITE\r\nDatabase=" + dbPath.toUtf8() + "\r\n");
    ini.close();
    out.import = timeImport(aliases, list, rows);

    const QString refPath = dir + QStringLiteral("/ref%1.db").arg(run);
    out.reference =
        timeProcess(QStringLiteral("sqlite3"),
                    {refPath, plainTable() + u';', QStringLiteral(".mode csv"), QStringLiteral(".separator ;"),
                     QStringLiteral(".import --skip 1 ") + list + QStringLiteral(" PREMIE_IMPORT")});
    QFile::remove(refPath);
    out.keyed = timeProcess(QStringLiteral("sqlite3"),
                            {refPath, premieTable() + u';', QStringLiteral(".mode csv"), QStringLiteral(".separator ;"),
                             QStringLiteral(".import ") + dir + QStringLiteral("/keyed.csv ARNPREMIE")});
    QFile::remove(dbPath);
    QFile::remove(refPath);
    return out;
}

QSqlDatabase pgConnection(const QString &name, const QString &database, int port)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setHostName(QStringLiteral("127.0.0.1"));
    db.setPort(port);
    db.setDatabaseName(database);
    db.setUserName(QStringLiteral("orvant"));
    db.setPassword(QStringLiteral("wimbrel"));
    return db;
}

void pgAdmin(int port, const QString &sql)
{
    {
        QSqlDatabase db = pgConnection(QStringLiteral("admin"), QStringLiteral("postgres"), port);
        if (!db.open())
            fail(QStringLiteral("PostgreSQL on port %1: %2").arg(port).arg(db.lastError().text()));
        QSqlQuery q(db);
        exec(q, sql);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("admin"));
}

// Through Qt's PostgreSQL driver, or through the ODBC data source `dsn` when it is given.
Pair benchPostgres(const QString &dir, const QString &list, int rows, int run, int port, const QString &dsn = {})
{
    Pair out;
    const QString name = QStringLiteral("klvbench_%1_%2").arg(QCoreApplication::applicationPid()).arg(run);
    pgAdmin(port, QStringLiteral("create database ") + name);
    {
        QSqlDatabase db = pgConnection(QStringLiteral("setup"), name, port);
        if (!db.open())
            fail(db.lastError().text());
        prepareDatabase(db, rows);
        QSqlQuery q(db);
        exec(q, plainTable());
        exec(q, QStringLiteral("create table ARNPREMIE_REF (like ARNPREMIE including all)"));
        exec(q, QStringLiteral("analyze ARNMATERIAAL"));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("setup"));
    const QString aliases = dir + QStringLiteral("/pg.ini");
    QFile ini(aliases);
    if (!ini.open(QIODevice::WriteOnly))
        fail(aliases);
    if (dsn.isEmpty())
        ini.write("[BENCH]\r\nDriver=QPSQL\r\nDatabase=" + name.toUtf8() +
                  "\r\nHost=127.0.0.1\r\nPort=" + QByteArray::number(port) + "\r\n");
    else
        ini.write("[BENCH]\r\nDriver=QODBC\r\nDatabase=" + dsn.toUtf8() + ";Database=" + name.toUtf8() +
                  "\r\nDialect=postgres\r\n");
    ini.close();
    out.import = timeImport(aliases, list, rows);

    // Seconds of one psql command on the bench database.
    const auto psql = [&](const QString &command) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PGPASSWORD"), QStringLiteral("wimbrel"));
        return timeProcess(QStringLiteral("psql"),
                           {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                            QString::number(port), QStringLiteral("-U"), QStringLiteral("orvant"), QStringLiteral("-d"),
                            name, QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-c"),
                            command},
                           env);
    };
    out.reference =
        psql(QStringLiteral("\\copy PREMIE_IMPORT from '%1' with (format csv, delimiter ';', header)").arg(list));
    out.keyed =
        psql(QStringLiteral("\\copy ARNPREMIE_REF from '%1/keyed.csv' with (format csv, delimiter ';')").arg(dir));
    pgAdmin(port, QStringLiteral("drop database %1 with (force)").arg(name));
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int rows = 100000;
    int runs = 5;
    int port = qEnvironmentVariableIsSet("KLV_TEST_PG_PORT") ? qEnvironmentVariableIntValue("KLV_TEST_PG_PORT") : 55433;
    QString base = QDir::tempPath();
    QString dsn;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--rows")
            rows = args[i + 1].toInt();
        else if (args[i] == u"--runs")
            runs = args[i + 1].toInt();
        else if (args[i] == u"--pg-port")
            port = args[i + 1].toInt();
        else if (args[i] == u"--dir")
            base = args[i + 1];
        else if (args[i] == u"--odbc")
            dsn = args[i + 1];
        else
            fail(QStringLiteral("unknown option ") + args[i]);
    }
    if (rows < 1 || runs < 1)
        fail(QStringLiteral("--rows and --runs must be positive"));

    QTemporaryDir dir(base + QStringLiteral("/bench_premium-XXXXXX"));
    const QString list = dir.filePath(QStringLiteral("premie.csv"));
    writeList(list, rows);
    std::printf("premium list: %d rows of region %s, %d round(s); reference: sqlite3 .import and psql \\copy "
                "into a table without keys\n",
                rows, qPrintable(kRegio), runs);

    try {
        bench::PairedRounds sqlite("SQLite"), postgres("PostgreSQL");
        // The same loaders into the import's own table, which keeps a primary key up to date.
        bench::PairedRounds sqliteKeyed("SQLite/key"), postgresKeyed("PG/key");
        bench::PairedRounds odbc("odbc"), odbcKeyed("odbc/key");
        writeKeyedRows(dir.filePath(QStringLiteral("keyed.csv")), rows);
        for (int run = 0; run < runs; ++run) {
            const Pair s = benchSqlite(dir.path(), list, rows, run);
            sqlite.add(s.import, s.reference);
            sqliteKeyed.add(s.import, s.keyed);
            const Pair p = benchPostgres(dir.path(), list, rows, run, port);
            postgres.add(p.import, p.reference);
            postgresKeyed.add(p.import, p.keyed);
            if (!dsn.isEmpty()) {
                const Pair o = benchPostgres(dir.path(), list, rows, run, port, dsn);
                odbc.add(o.import, o.reference);
                odbcKeyed.add(o.import, o.keyed);
            }
        }
        sqlite.print(">= 0.5");
        postgres.print(">= 0.3");
        odbc.print(">= 0.3");
        std::printf("beside the loaders into ARNPREMIE with its primary key:\n");
        sqliteKeyed.print();
        postgresKeyed.print();
        odbcKeyed.print();
    } catch (const std::exception &e) {
        fail(klv::exceptionMessage(e));
    }
    return 0;
}
