#pragma once

#include <QHash>
#include <QList>
#include <QPair>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <optional>

namespace klv {

class KlvDatabase;

// The updater's query: SQL text as lines, named parameters (":name"), prepare, open, execute,
// fields by name, forward reading. Every statement runs through a new TKvQuery on the window's
// database component, used once; the destructor closes and unprepares it, also when an
// exception leaves the scope. Failures raise EDBEngineError with the driver's text.
class TKvQuery
{
public:
    explicit TKvQuery(KlvDatabase &owner);
    ~TKvQuery();
    TKvQuery(const TKvQuery &) = delete;
    TKvQuery &operator=(const TKvQuery &) = delete;

    QStringList SQL;
    // Off: the text goes to the database unchanged and a ":name" inside it is no parameter.
    bool ParamCheck = true;
    // Forward-only reading.
    bool UniDirectional = false;

    void setParam(const QString &name, const QVariant &value);

    void Prepare();
    void Unprepare();
    bool Prepared() const { return FPrepared; }
    // Runs a statement that returns rows and stands on the first one.
    void Open();
    // Runs a statement that returns no rows.
    void ExecSQL();
    // Runs a text of several statements that return no rows (sent as one, where the server takes
    // that); raises when any of them failed.
    void ExecAllSQL();
    void Close();
    bool Active() const { return FActive; }

    bool Eof() const { return FEof; }
    void Next();
    QVariant FieldByName(const QString &name) const;
    // By position, for reading many rows without looking the name up on each.
    int FieldIndex(const QString &name) const;
    QVariant Field(int index) const;
    // Null reads as 0 and as the empty text, as the runtime's field accessors do.
    int32_t fieldAsInteger(const QString &name) const;
    QString fieldAsString(const QString &name) const;
    int RowsAffected() const;
    KlvDatabase &database() const { return FOwner; }

private:
    void run();
    QString text() const { return SQL.join(u'\n'); }

    KlvDatabase &FOwner;
    std::optional<QSqlQuery> FQuery;
    QList<QPair<QString, QVariant>> FParams;
    QHash<QString, qsizetype> FParamIndex; // by case-folded name
    bool FPrepared = false;
    bool FDirect = false; // run as text, not prepared on the server
    bool FActive = false;
    bool FEof = true;
};

// Closes the query when it is open and unprepares it when it is prepared.
void CloseAndUnprepare(TKvQuery &query);

// Prepares the query, then executes it in a transaction of its own: committed when it succeeds,
// rolled back with the error passed on when executing or committing fails. A failure to prepare
// or to start the transaction is passed on as it is.
void ExecInOwnTransaction(TKvQuery &query);

} // namespace klv
