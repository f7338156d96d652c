#include "KlvDatabase.h"

#include "platform/Exceptions.h"

#include <QAtomicInt>
#include <QDir>
#include <QSqlError>

namespace klv {

void ParamList::setValue(const QString &name, const QString &value)
{
    FItems.removeIf([&](const auto &item) { return item.first.compare(name, Qt::CaseInsensitive) == 0; });
    FItems.append({name, value});
}

QString ParamList::value(const QString &name) const
{
    for (const auto &item : FItems)
        if (item.first.compare(name, Qt::CaseInsensitive) == 0)
            return item.second;
    return {};
}

int ParamList::count(const QString &name) const
{
    int n = 0;
    for (const auto &item : FItems)
        n += item.first.compare(name, Qt::CaseInsensitive) == 0 ? 1 : 0;
    return n;
}

namespace {
QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("klv-db-%1").arg(counter.fetchAndAddRelaxed(1));
}
} // namespace

QString databaseErrorText(const QSqlError &error)
{
    const QString text = error.text().trimmed();
    return text.isEmpty() ? QStringLiteral("Unknown database error") : text;
}

KlvDatabase::KlvDatabase(AliasTable aliases, QObject *owner)
    : QObject(owner), FAliases(std::move(aliases)), FConnectionName(nextConnectionName())
{
    setObjectName(QStringLiteral("gblKlvDBS"));
}

KlvDatabase::~KlvDatabase()
{
    Close();
}

QSqlDatabase KlvDatabase::connection() const
{
    return QSqlDatabase::database(FConnectionName, false);
}

bool KlvDatabase::Connected() const
{
    return QSqlDatabase::contains(FConnectionName) && connection().isOpen();
}

void KlvDatabase::Open()
{
    Close();
    FConfig = FAliases.resolve(AliasName);
    ParamList login;
    login.setValue(QStringLiteral("USER NAME"), QString());
    login.setValue(QStringLiteral("PASSWORD"), QString());
    if (OnLogin)
        OnLogin(*this, login);

    QSqlDatabase db = QSqlDatabase::addDatabase(FConfig.driver, FConnectionName);
    db.setDatabaseName(FConfig.database);
    if (!FConfig.host.isEmpty())
        db.setHostName(FConfig.host);
    if (FConfig.port > 0)
        db.setPort(FConfig.port);
    db.setUserName(login.value(QStringLiteral("USER NAME")));
    db.setPassword(login.value(QStringLiteral("PASSWORD")));
    if (!db.isValid() || !db.open()) {
        const QString text = databaseErrorText(db.lastError());
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(FConnectionName);
        const QString server = FConfig.host.isEmpty() ? QString() : QStringLiteral(" op %1").arg(FConfig.host);
        throw EDatabaseNotOpened(AliasName, QDir::toNativeSeparators(FConfig.database) + server, text);
    }
    FOdbc = odbc::transactionBehaviour(db);
    ++FOpenCount;
}

void KlvDatabase::Close()
{
    FInTransaction = false;
    FOdbc = {};
    if (!QSqlDatabase::contains(FConnectionName))
        return;
    {
        QSqlDatabase db = connection();
        db.close();
    }
    QSqlDatabase::removeDatabase(FConnectionName);
}

void KlvDatabase::StartTransaction()
{
    QSqlDatabase db = connection();
    if (!db.isOpen())
        throw EDBEngineError(QStringLiteral("Database is not open"));
    if (!db.transaction())
        throw EDBEngineError(databaseErrorText(db.lastError()));
    FInTransaction = true;
}

void KlvDatabase::Commit()
{
    QSqlDatabase db = connection();
    FInTransaction = false;
    if (!db.commit())
        throw EDBEngineError(databaseErrorText(db.lastError()));
}

void KlvDatabase::Rollback()
{
    QSqlDatabase db = connection();
    FInTransaction = false;
    if (!db.rollback())
        throw EDBEngineError(databaseErrorText(db.lastError()));
}

bool KlvDatabase::commitsEachStatement() const
{
    if (FConfig.driver == u"QPSQL")
        return true;
    // PostgreSQL runs a text of several statements sent at once, outside a transaction, as one
    // implicit transaction; its ODBC driver passes such a text on whole. Other servers may commit
    // each statement of it on its own, so there a record and its statement take a transaction of
    // their own.
    return FOdbc.ddl == odbc::TransactionBehaviour::Ddl::Transactional && isPostgres();
}

bool KlvDatabase::isPostgres() const
{
    return FConfig.driver == u"QPSQL" || FOdbc.dbmsName.compare(QStringLiteral("PostgreSQL"), Qt::CaseInsensitive) == 0;
}

QString KlvDatabase::connectionCountSql() const
{
    if (FConfig.dialect == u"postgres")
        return QStringLiteral("select count(*) as ConnCount from pg_stat_activity "
                              "where datname = current_database() and backend_type = 'client backend'");
    if (FConfig.dialect == u"single")
        return QStringLiteral("select 1 as ConnCount");
    return QStringLiteral("sa_db_info");
}

} // namespace klv
