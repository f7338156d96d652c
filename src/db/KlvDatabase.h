#pragma once

#include "Aliases.h"
#include "OdbcAccess.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QSqlDatabase>
#include <QString>
#include <functional>

class QSqlError;

namespace klv {

// The driver's text of an error, for EDBEngineError; "Unknown database error" when it has none.
QString databaseErrorText(const QSqlError &error);

// Named parameters handed to the login handler and kept on the connection, in order.
class ParamList
{
public:
    // Replaces every earlier value of that name, so a name is present once.
    void setValue(const QString &name, const QString &value);
    QString value(const QString &name) const;
    int count(const QString &name) const;
    qsizetype size() const { return FItems.size(); }
    const QList<QPair<QString, QString>> &items() const { return FItems; }

private:
    QList<QPair<QString, QString>> FItems;
};

// The database component the window owns (`gblKlvDBS`): opened on an alias, which the alias
// table turns into a Qt SQL driver and database; the login handler supplies user and password
// each time it connects. Failures raise EDBEngineError with the driver's text.
class KlvDatabase : public QObject
{
    Q_OBJECT

public:
    KlvDatabase(AliasTable aliases, QObject *owner);
    ~KlvDatabase() override;

    QString AliasName;
    QString DatabaseName = QStringLiteral("ORVANTS");
    QString SessionName = QStringLiteral("Default");
    ParamList Params;
    std::function<void(KlvDatabase &sender, ParamList &loginParams)> OnLogin;

    void Open();
    void Close();
    // Closes the connection's data sets; queries live for one use, so nothing stays open here.
    void CloseDataSets() {}
    bool Connected() const;

    void StartTransaction();
    void Commit();
    void Rollback();
    bool InTransaction() const { return FInTransaction; }
    // Whether the server commits each text of statements run outside a transaction by itself, as
    // one transaction that is rolled back whole when any of them fails, schema changes included:
    // PostgreSQL, through its own driver or through an ODBC driver that reports transactional
    // schema changes.
    bool commitsEachStatement() const;
    // Whether a schema change commits the open transaction by itself, as the driver reports it
    // (a server reached through ODBC that does not keep schema changes in a transaction).
    bool schemaChangesCommit() const { return FOdbc.ddl == odbc::TransactionBehaviour::Ddl::CommitsByItself; }
    // Whether the connection goes through an ODBC data source.
    bool isOdbc() const { return FConfig.driver == u"QODBC"; }
    // Whether the server is PostgreSQL, through its own driver or behind ODBC: it reads many rows
    // from one array per column far faster than as many separate values.
    bool isPostgres() const;

    // One row with the column ConnCount: the connections to this database, ours included.
    QString connectionCountSql() const;
    const AliasConfig &config() const { return FConfig; }
    QSqlDatabase connection() const;
    // How many connections this process has opened so far; tests use it to see reconnects.
    int openCount() const { return FOpenCount; }

private:
    AliasTable FAliases;
    AliasConfig FConfig;
    odbc::TransactionBehaviour FOdbc; // of the open connection, when it is an ODBC one
    QString FConnectionName;
    bool FInTransaction = false;
    int FOpenCount = 0;
};

} // namespace klv
