#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTest>
#include <memory>

namespace klv {
class KlvDatabase;
}

namespace testsupport {

// The ways the tests reach the PostgreSQL test server, as a Qt SQL driver: "QPSQL", Qt's own, and
// "QODBC", through the PostgreSQL ODBC driver (psqlODBC) of the machine's unixODBC. The Windows
// build has no PostgreSQL client library, so there "QPSQL" is served by ODBC too: under Wine the
// ODBC calls of the Windows program go to the machine's driver manager.
//
// Empty when `driver` can be used here, otherwise why the tests that need it are skipped.
QString missingDriverReason(const QString &driver);
// The driver that serves `driver` here: "QODBC" for "QPSQL" where Qt's own is not built.
QString effectiveDriver(const QString &driver);
// The rows a test table gives the server: "QPSQL" and, where that is not ODBC already, "QODBC".
QStringList serverDrivers();
// "QSQLITE" and the server's rows.
QStringList allDrivers();
// A row name's part for a driver: "sqlite", "postgres" or "odbc".
QByteArray driverTag(const QString &driver);
// A QODBC database name that reaches `database` on the test server without a data source.
QString odbcConnectionString(const QString &database, int port);
// The PostgreSQL ODBC driver's file; empty when missing.
QString psqlOdbcDriver();
// Defines the ODBC data source `name` for `database` on the test server, in the files that the
// test's environment names with ODBCSYSINI and ODBCINI (klv_use_odbc_files in CMake): the driver
// manager reads them there also under Wine, where a variable the program sets itself does not
// reach it. The driver manager may keep what it read, so a program that connects to the data
// source itself defines it once, before its first connection. False when they cannot be written.
bool defineDataSource(const QString &name, const QString &database, int port);

// Runs statements on a connection; fails the test on the first error.
bool execAll(QSqlDatabase db, const QStringList &statements);
// The statements of tests/data/klv-schema.sql.
QStringList klvSchema();

// Appends an alias section to an alias file.
void addAlias(const QString &iniPath, const QString &alias, const QString &driver, const QString &database,
              const QString &host = QString(), int port = -1);

// A fresh SQLite database file with the application's tables.
QString createSqliteDatabase(const QString &path);

// A fresh database on the test PostgreSQL server (KLV_TEST_PG_PORT), owned by the updater's
// role, with the application's tables; dropped again at the end of its scope. Reached through
// `driver` ("QPSQL" or "QODBC", see missingDriverReason), its own connection and its alias alike.
class PgTestDatabase
{
public:
    explicit PgTestDatabase(const QString &driver = QStringLiteral("QPSQL"));
    ~PgTestDatabase();
    PgTestDatabase(const PgTestDatabase &) = delete;
    PgTestDatabase &operator=(const PgTestDatabase &) = delete;

    bool isValid() const { return FValid; }
    const QString &name() const { return FName; }
    int port() const { return FPort; }
    // A connection of its own to the database (as the updater's role).
    QSqlDatabase connection() const;
    // Closes that connection and waits until its server process is gone, so that it no longer
    // counts as another user. Returns false when it stays.
    bool closeConnection() const;
    void addAlias(const QString &iniPath, const QString &alias) const;
    const QString &driver() const { return FDriver; }

private:
    QString FDriver;
    QString FName;
    QString FConnection;
    int FPort = 0;
    bool FValid = false;
};

// Logs in as the updater does.
void loginAsUpdater(klv::KlvDatabase &db);

// Opens the alias "KLV" on a fresh database with the application's tables: an SQLite file in
// `dir`, or for "QPSQL" and "QODBC" a database on the test server, which `pg` keeps alive. The alias file is
// `dir`/KlvAliases.ini. Null when the database cannot be made.
std::unique_ptr<klv::KlvDatabase> openKlvDatabase(const QString &driver, const QString &dir,
                                                  std::unique_ptr<PgTestDatabase> &pg);

} // namespace testsupport

// Skips the current test function or data row when the Qt SQL driver is not part of this build.
#define KLV_SKIP_WITHOUT_DRIVER(driver)                                                                                \
    do {                                                                                                               \
        const QString r_ = testsupport::missingDriverReason(driver);                                                   \
        if (!r_.isEmpty())                                                                                             \
            QSKIP(qPrintable(r_));                                                                                     \
    } while (false)
