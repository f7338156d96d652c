#include "TestDatabases.h"

#include "TestSupport.h"
#include "db/KlvDatabase.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

namespace testsupport {

QString psqlOdbcDriver()
{
#ifdef KLV_PSQLODBC_DRIVER
    return QStringLiteral(KLV_PSQLODBC_DRIVER);
#else
    return {};
#endif
}

QString effectiveDriver(const QString &driver)
{
    if (driver == u"QPSQL" && !QSqlDatabase::isDriverAvailable(driver))
        return QStringLiteral("QODBC");
    return driver;
}

QString missingDriverReason(const QString &driver)
{
    const QString used = effectiveDriver(driver);
    if (!QSqlDatabase::isDriverAvailable(used))
        return QStringLiteral("the Qt SQL driver %1 is not part of this build").arg(used);
    if (used == u"QODBC" && psqlOdbcDriver().isEmpty())
        return QStringLiteral("no PostgreSQL ODBC driver on this machine (Debian's odbc-postgresql)");
    return {};
}

QStringList serverDrivers()
{
    if (effectiveDriver(QStringLiteral("QPSQL")) == u"QODBC")
        return {QStringLiteral("QPSQL")};
    return {QStringLiteral("QPSQL"), QStringLiteral("QODBC")};
}

bool defineDataSource(const QString &name, const QString &database, int port)
{
    const QString folder = qEnvironmentVariable("ODBCSYSINI");
    const QString sources = qEnvironmentVariable("ODBCINI");
    if (folder.isEmpty() || sources.isEmpty() || psqlOdbcDriver().isEmpty())
        return false;
    const QString drive = QStringLiteral(KLV_HOST_DRIVE);
    if (!QDir().mkpath(drive + folder))
        return false;
    writeFile(drive + folder + QStringLiteral("/odbcinst.ini"),
              "[KlvPostgreSQL]\nDriver=" + psqlOdbcDriver().toLocal8Bit() + "\n");
    writeFile(drive + sources, "[" + name.toUtf8() + "]\nDriver=KlvPostgreSQL\nServername=127.0.0.1\nPort=" +
                                   QByteArray::number(port) + "\nDatabase=" + database.toUtf8() + "\n");
    return true;
}

QStringList allDrivers()
{
    return QStringList{QStringLiteral("QSQLITE")} + serverDrivers();
}

QByteArray driverTag(const QString &driver)
{
    if (driver == u"QSQLITE")
        return "sqlite";
    return driver == u"QODBC" ? "odbc" : "postgres";
}

QString odbcConnectionString(const QString &database, int port)
{
    return QStringLiteral("Driver=%1;Servername=127.0.0.1;Port=%2;Database=%3")
        .arg(psqlOdbcDriver())
        .arg(port)
        .arg(database);
}

bool execAll(QSqlDatabase db, const QStringList &statements)
{
    for (const QString &sql : statements) {
        QSqlQuery q(db);
        if (!q.exec(sql)) {
            qWarning("SQL failed: %s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
            return false;
        }
    }
    return true;
}

QStringList klvSchema()
{
    const QByteArray text = readFile(QStringLiteral(KLV_SOURCE_DIR "/tests/data/klv-schema.sql"));
    QStringList out;
    for (const QString &part : QString::fromUtf8(text).split(u';')) {
        QStringList lines;
        for (const QString &line : part.split(u'\n'))
            if (!line.trimmed().startsWith(QStringLiteral("--")))
                lines << line;
        const QString sql = lines.join(u'\n').trimmed();
        if (!sql.isEmpty())
            out << sql;
    }
    return out;
}

void addAlias(const QString &iniPath, const QString &alias, const QString &driver, const QString &database,
              const QString &host, int port)
{
    QByteArray text = readFile(iniPath);
    text += "[" + alias.toUtf8() + "]\r\nDriver=" + driver.toUtf8() + "\r\nDatabase=" + database.toUtf8() + "\r\n";
    if (!host.isEmpty())
        text += "Host=" + host.toUtf8() + "\r\n";
    if (port > 0)
        text += "Port=" + QByteArray::number(port) + "\r\n";
    writeFile(iniPath, text);
}

QString createSqliteDatabase(const QString &path)
{
    const QString name = QStringLiteral("setup-%1").arg(QRandomGenerator::global()->generate());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (!db.open() || !execAll(db, klvSchema()))
            qWarning("cannot create %s", qPrintable(path));
    }
    QSqlDatabase::removeDatabase(name);
    return path;
}

namespace {
QSqlDatabase pgConnection(const QString &driver, const QString &connection, const QString &database, int port)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, connection);
    if (driver == u"QODBC") {
        db.setDatabaseName(odbcConnectionString(database, port));
    } else {
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(port);
        db.setDatabaseName(database);
    }
    db.setUserName(QStringLiteral("orvant"));
    db.setPassword(QStringLiteral("wimbrel"));
    return db;
}
} // namespace

PgTestDatabase::PgTestDatabase(const QString &driver) : FDriver(effectiveDriver(driver))
{
    FPort = qEnvironmentVariableIntValue("KLV_TEST_PG_PORT");
    const quint32 id = QRandomGenerator::global()->generate();
    FName = QStringLiteral("klvtest_%1").arg(id);
    FConnection = QStringLiteral("pgtest-%1").arg(id);
    const QString admin = FConnection + QStringLiteral("-admin");
    {
        QSqlDatabase db = pgConnection(FDriver, admin, QStringLiteral("postgres"), FPort);
        FValid = db.open() && execAll(db, {QStringLiteral("create database ") + FName});
        if (!FValid)
            qWarning("PostgreSQL not available: %s", qPrintable(db.lastError().text()));
    }
    QSqlDatabase::removeDatabase(admin);
    if (FValid) {
        QSqlDatabase db = pgConnection(FDriver, FConnection, FName, FPort);
        FValid = db.open() && execAll(db, klvSchema());
    }
}

PgTestDatabase::~PgTestDatabase()
{
    QSqlDatabase::database(FConnection, false).close();
    QSqlDatabase::removeDatabase(FConnection);
    const QString admin = FConnection + QStringLiteral("-drop");
    {
        QSqlDatabase db = pgConnection(FDriver, admin, QStringLiteral("postgres"), FPort);
        if (db.open())
            execAll(db, {QStringLiteral("drop database if exists %1 with (force)").arg(FName)});
    }
    QSqlDatabase::removeDatabase(admin);
}

QSqlDatabase PgTestDatabase::connection() const
{
    return QSqlDatabase::database(FConnection);
}

bool PgTestDatabase::closeConnection() const
{
    QSqlDatabase db = QSqlDatabase::database(FConnection, false);
    if (!db.isOpen())
        return true;
    int pid = 0;
    {
        QSqlQuery q(db);
        if (q.exec(QStringLiteral("select pg_backend_pid()")) && q.next())
            pid = q.value(0).toInt();
    }
    db.close();
    // Asked from the maintenance database, so that the asking connection does not count.
    const QString monitor = FConnection + QStringLiteral("-monitor");
    bool gone = false;
    {
        QSqlDatabase m = pgConnection(FDriver, monitor, QStringLiteral("postgres"), FPort);
        if (m.open()) {
            QSqlQuery q(m);
            for (int i = 0; i < 400 && !gone; ++i) {
                gone = q.exec(QStringLiteral("select count(*) from pg_stat_activity where pid = %1").arg(pid)) &&
                       q.next() && q.value(0).toInt() == 0;
                if (!gone)
                    QTest::qWait(25);
            }
        }
    }
    QSqlDatabase::removeDatabase(monitor);
    return gone;
}

void PgTestDatabase::addAlias(const QString &iniPath, const QString &alias) const
{
    if (FDriver == u"QODBC") {
        QByteArray text = readFile(iniPath);
        text += "[" + alias.toUtf8() + "]\r\nDriver=QODBC\r\nDatabase=" + odbcConnectionString(FName, FPort).toUtf8() +
                "\r\nDialect=postgres\r\n";
        writeFile(iniPath, text);
        return;
    }
    testsupport::addAlias(iniPath, alias, FDriver, FName, QStringLiteral("127.0.0.1"), FPort);
}

void loginAsUpdater(klv::KlvDatabase &db)
{
    db.OnLogin = [](klv::KlvDatabase &, klv::ParamList &p) {
        p.setValue(QStringLiteral("USER NAME"), QStringLiteral("orvant"));
        p.setValue(QStringLiteral("PASSWORD"), QStringLiteral("wimbrel"));
    };
}

std::unique_ptr<klv::KlvDatabase> openKlvDatabase(const QString &driver, const QString &dir,
                                                  std::unique_ptr<PgTestDatabase> &pg)
{
    const QString ini = dir + QStringLiteral("/KlvAliases.ini");
    if (driver == u"QPSQL" || driver == u"QODBC") {
        pg = std::make_unique<PgTestDatabase>(driver);
        if (!pg->isValid())
            return nullptr;
        pg->addAlias(ini, QStringLiteral("KLV"));
    } else {
        createSqliteDatabase(dir + QStringLiteral("/klv.db"));
        addAlias(ini, QStringLiteral("KLV"), QStringLiteral("QSQLITE"), QStringLiteral("klv.db"));
    }
    auto db = std::make_unique<klv::KlvDatabase>(klv::AliasTable(ini), nullptr);
    loginAsUpdater(*db);
    db->AliasName = QStringLiteral("KLV");
    db->Open();
    return db;
}

} // namespace testsupport
