#pragma once

#include "OdbcAccess.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <optional>
#include <vector>

namespace klv {

class KlvDatabase;

// Inserts rows into one table with few round trips. Rows are gathered and written several at a
// time where the driver is known to take that: on SQLite one prepared statement of several rows
// ("Values (...), (...)"), on PostgreSQL, also behind ODBC, one statement that unnests an array
// per column (the server reads an array far faster than as many separate values), through any
// other ODBC data source one prepared row executed with parameter arrays. Whenever one row per statement is asked for,
// each row goes through one prepared statement with bound values. Failures raise EDBEngineError with the driver's text;
// which row of a statement of several failed is not known, so a caller that must say it writes those rows again one at
// a time.
class BatchInsert
{
public:
    // How several rows go at once through ODBC: the server's fastest way where it is known, or
    // parameter arrays, which every ODBC driver takes.
    enum class Batching
    {
        Best,
        Portable
    };

    // A column whose value the database finds as the rows are written: `key` of the first row of
    // `table` whose `code` equals the text given for the column, as the database compares them, or
    // an empty text where no row does. The same answer as asking for each code on its own.
    struct Lookup
    {
        QString table;
        QString key;
        QString code;
    };
    // Whether the database can look up a column as rows are written: SQLite and PostgreSQL, also
    // behind ODBC unless rows go the portable way, whose servers' dialects are not known here.
    static bool looksUp(const KlvDatabase &database, Batching batching);

    // Rows per statement unless told otherwise: 0 is the driver's own best.
    BatchInsert(KlvDatabase &database, QString table, QStringList columns, int rowsPerStatement = 0,
                Batching batching = Batching::Best);

    int rowsPerStatement() const { return FRows; }
    // Writes what is pending first.
    void setRowsPerStatement(int rows);

    // From now on `column` is given as the code that `lookup` finds its value by; only where
    // looksUp() holds. Writes what is pending first.
    void setLookup(qsizetype column, Lookup lookup);

    // Adds a row (one value per column, in order) to the pending ones.
    void add(std::vector<QVariant> row);
    bool full() const { return pending() >= FRows; }
    qsizetype pending() const { return qsizetype(FPending.size()) / FColumns.size(); }
    // Writes the pending rows; after a failure they are dropped.
    void flush();

private:
    QString insertText(int rows) const;
    // The value of column `c` in the text, given the text of its value.
    QString columnValue(qsizetype c, const QString &given) const;
    QSqlQuery &prepared(int rows);
    void writeArrays(const std::vector<QVariant> &values);
    // Appends a value as an element of a PostgreSQL array literal.
    void appendElement(QString &array, const QVariant &value);

    KlvDatabase &FDatabase;
    QString FTable;
    QStringList FColumns;
    Batching FBatching;
    bool FArrays = false;          // PostgreSQL: rows as arrays per column
    bool FParameterArrays = false; // ODBC: the rows as parameter arrays
    std::optional<odbc::ParameterArrays> FOdbcInsert;
    qsizetype FLookupColumn = -1;
    Lookup FLookup;
    int FRows = 1;
    std::vector<QVariant> FPending;
    std::optional<QSqlQuery> FFull;    // prepared for a full batch
    std::optional<QSqlQuery> FPartial; // for a shorter one
    int FPartialRows = 0;
    // The last moment written as an array element and its text: the rows of an import share one.
    QDateTime FLastMoment;
    QString FLastMomentText;
};

} // namespace klv
