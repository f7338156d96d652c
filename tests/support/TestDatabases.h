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

// Empty when the Qt SQL driver `driver` can be loaded, otherwise why the tests that need it are
// skipped (the Windows build has no PostgreSQL client library).
QString missingDriverReason(const QString &driver);

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
// role, with the application's tables; dropped again at the end of its scope.
class PgTestDatabase
{
public:
    PgTestDatabase();
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

private:
    QString FName;
    QString FConnection;
    int FPort = 0;
    bool FValid = false;
};

// Logs in as the updater does.
void loginAsUpdater(klv::KlvDatabase &db);

// Opens the alias "KLV" on a fresh database with the application's tables: an SQLite file in
// `dir`, or for "QPSQL" a database on the test server, which `pg` keeps alive. The alias file is
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
