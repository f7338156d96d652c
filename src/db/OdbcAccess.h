#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

namespace klv::odbc {

// How the server behind an ODBC connection treats transactions, as its driver reports it.
struct TransactionBehaviour
{
    enum class Ddl
    {
        Unknown,         // not an ODBC connection, or the driver did not say
        Transactional,   // schema changes are part of the transaction (SQL_TC_ALL)
        CommitsByItself, // a schema change commits the transaction (SQL_TC_DDL_COMMIT)
        Other            // no transactions, or schema changes refused or ignored in them
    };
    Ddl ddl = Ddl::Unknown;
    QString dbmsName; // SQL_DBMS_NAME, such as "PostgreSQL"
};

// Asks the driver of an open QODBC connection; Unknown for any other connection.
TransactionBehaviour transactionBehaviour(const QSqlDatabase &db);

// Runs one prepared statement for many rows at once with ODBC parameter arrays: the rows travel
// to the driver in one call, which sends them in as few round trips as it can. On a statement
// handle of its own on the connection, so it takes part in the connection's transaction.
// Values are bound as QODBC binds them (texts as UTF-16, moments as local date and time), so a
// row written here equals the same row written through QSqlQuery. Raises EDBEngineError with the
// driver's text.
class ParameterArrays
{
public:
    ParameterArrays(const QSqlDatabase &db, const QString &sql, int columns);
    ~ParameterArrays();
    ParameterArrays(const ParameterArrays &) = delete;
    ParameterArrays &operator=(const ParameterArrays &) = delete;

    // `values` holds whole rows, one value per column in order. Texts, whole numbers, floating
    // numbers, moments and nulls are taken.
    void execute(const std::vector<QVariant> &values);

private:
    struct Handle;
    std::unique_ptr<Handle> FHandle;
    int FColumns;
};

// Runs a query on an open QODBC connection, with `parameters` bound as texts to its markers ("?")
// in order, and hands each row's values to
// `row` as texts (a null as a null QString). Rows are fetched many at a time into bound column
// arrays, where QSqlQuery fetches a row and then each value with calls of their own. A value
// longer than its column's declared size (at most 4,000 characters are taken) raises
// EDBEngineError, as does any failure, with the driver's text.
void readTexts(const QSqlDatabase &db, const QString &sql, int columns,
               const std::function<void(const QString *values)> &row, const QStringList &parameters = {});

} // namespace klv::odbc
