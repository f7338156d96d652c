#include "OdbcAccess.h"

#include "platform/Exceptions.h"

#include <QDateTime>
#include <QSqlDriver>
#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

namespace klv::odbc {

namespace {
bool succeeded(SQLRETURN r)
{
    return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
}

// The connection handle behind an open QODBC connection; null for any other.
SQLHDBC connectionHandle(const QSqlDatabase &db)
{
    if (db.driverName() != u"QODBC" || !db.isOpen() || !db.driver())
        return SQL_NULL_HDBC;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || handle.metaType() != QMetaType::fromType<SQLHANDLE>())
        return SQL_NULL_HDBC;
    return *static_cast<const SQLHANDLE *>(handle.constData());
}

QString fromWide(const SQLWCHAR *text, qsizetype length)
{
    return QString::fromUtf16(reinterpret_cast<const char16_t *>(text), length);
}

// The driver's messages for a handle, as one text.
QString diagnostics(SQLSMALLINT type, SQLHANDLE handle)
{
    QStringList messages;
    for (SQLSMALLINT record = 1; record <= 10; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLWCHAR message[1024] = {};
        SQLSMALLINT length = 0;
        if (!succeeded(SQLGetDiagRecW(type, handle, record, state, &native, message, 1024, &length)))
            break;
        messages << fromWide(message, std::clamp<qsizetype>(length, 0, 1023)).trimmed();
    }
    return messages.isEmpty() ? QStringLiteral("Unknown database error") : messages.join(u' ');
}

[[noreturn]] void raise(SQLSMALLINT type, SQLHANDLE handle)
{
    throw EDBEngineError(diagnostics(type, handle));
}

// One column's values as ODBC reads them in a bound parameter array.
struct ColumnBuffer
{
    SQLSMALLINT cType = SQL_C_WCHAR;
    SQLSMALLINT sqlType = SQL_WVARCHAR;
    SQLULEN columnSize = 0;
    SQLSMALLINT decimals = 0;
    SQLLEN width = 0; // bytes per element
    std::vector<char> data;
    std::vector<SQLLEN> indicators;
};

ColumnBuffer fillColumn(const std::vector<QVariant> &values, int columns, int column, qsizetype rows)
{
    ColumnBuffer out;
    out.indicators.assign(size_t(rows), 0);
    const QVariant *typed = nullptr;
    for (qsizetype r = 0; r < rows && !typed; ++r)
        if (!values[size_t(r * columns + column)].isNull())
            typed = &values[size_t(r * columns + column)];
    const int type = typed ? typed->metaType().id() : QMetaType::QString;
    const auto at = [&](qsizetype r) -> const QVariant & { return values[size_t(r * columns + column)]; };

    switch (type) {
    case QMetaType::Double:
    case QMetaType::Float:
        out.cType = SQL_C_DOUBLE;
        out.sqlType = SQL_DOUBLE;
        out.width = sizeof(double);
        out.columnSize = 15;
        out.data.resize(size_t(rows) * sizeof(double));
        for (qsizetype r = 0; r < rows; ++r) {
            const double d = at(r).toDouble();
            std::memcpy(out.data.data() + r * out.width, &d, sizeof d);
            out.indicators[size_t(r)] = at(r).isNull() ? SQL_NULL_DATA : 0;
        }
        return out;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        out.cType = SQL_C_SBIGINT;
        out.sqlType = SQL_BIGINT;
        out.width = sizeof(SQLBIGINT);
        out.columnSize = 19;
        out.data.resize(size_t(rows) * sizeof(SQLBIGINT));
        for (qsizetype r = 0; r < rows; ++r) {
            const SQLBIGINT n = at(r).toLongLong();
            std::memcpy(out.data.data() + r * out.width, &n, sizeof n);
            out.indicators[size_t(r)] = at(r).isNull() ? SQL_NULL_DATA : 0;
        }
        return out;
    case QMetaType::QDateTime:
        // The local date and time, as QODBC binds a moment.
        out.cType = SQL_C_TYPE_TIMESTAMP;
        out.sqlType = SQL_TYPE_TIMESTAMP;
        out.width = sizeof(SQL_TIMESTAMP_STRUCT);
        out.columnSize = 23;
        out.decimals = 3;
        out.data.resize(size_t(rows) * sizeof(SQL_TIMESTAMP_STRUCT));
        for (qsizetype r = 0; r < rows; ++r) {
            const QDateTime moment = at(r).toDateTime();
            SQL_TIMESTAMP_STRUCT t{};
            if (moment.isValid()) {
                const QDate d = moment.date();
                const QTime time = moment.time();
                t.year = SQLSMALLINT(d.year());
                t.month = SQLUSMALLINT(d.month());
                t.day = SQLUSMALLINT(d.day());
                t.hour = SQLUSMALLINT(time.hour());
                t.minute = SQLUSMALLINT(time.minute());
                t.second = SQLUSMALLINT(time.second());
                t.fraction = SQLUINTEGER(time.msec()) * 1000000u;
            }
            std::memcpy(out.data.data() + r * out.width, &t, sizeof t);
            out.indicators[size_t(r)] = at(r).isNull() || !moment.isValid() ? SQL_NULL_DATA : 0;
        }
        return out;
    default:
        break;
    }
    // Texts, and whatever else reads as one.
    std::vector<QString> texts;
    texts.resize(size_t(rows));
    qsizetype longest = 1;
    for (qsizetype r = 0; r < rows; ++r) {
        texts[size_t(r)] = at(r).toString();
        longest = std::max(longest, texts[size_t(r)].size());
    }
    out.width = SQLLEN((longest + 1) * qsizetype(sizeof(SQLWCHAR)));
    out.columnSize = SQLULEN(longest);
    out.data.assign(size_t(rows) * size_t(out.width), 0);
    for (qsizetype r = 0; r < rows; ++r) {
        const QString &text = texts[size_t(r)];
        std::memcpy(out.data.data() + r * out.width, text.utf16(), size_t(text.size()) * sizeof(SQLWCHAR));
        out.indicators[size_t(r)] = at(r).isNull() ? SQL_NULL_DATA : SQLLEN(text.size() * qsizetype(sizeof(SQLWCHAR)));
    }
    return out;
}
} // namespace

TransactionBehaviour transactionBehaviour(const QSqlDatabase &db)
{
    TransactionBehaviour out;
    const SQLHDBC dbc = connectionHandle(db);
    if (dbc == SQL_NULL_HDBC)
        return out;
    SQLUSMALLINT capable = 0;
    if (succeeded(SQLGetInfoW(dbc, SQL_TXN_CAPABLE, &capable, sizeof capable, nullptr))) {
        switch (capable) {
        case SQL_TC_ALL:
            out.ddl = TransactionBehaviour::Ddl::Transactional;
            break;
        case SQL_TC_DDL_COMMIT:
            out.ddl = TransactionBehaviour::Ddl::CommitsByItself;
            break;
        default:
            out.ddl = TransactionBehaviour::Ddl::Other;
            break;
        }
    }
    SQLWCHAR name[256] = {};
    SQLSMALLINT length = 0;
    if (succeeded(SQLGetInfoW(dbc, SQL_DBMS_NAME, name, sizeof name, &length)))
        out.dbmsName = fromWide(name, std::clamp<qsizetype>(length / qsizetype(sizeof(SQLWCHAR)), 0, 255));
    return out;
}

namespace {
// A statement handle of its own on the connection, freed when it goes.
struct Statement
{
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    Statement() = default;
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    ~Statement()
    {
        if (stmt != SQL_NULL_HSTMT)
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    }
};
} // namespace

struct ParameterArrays::Handle : Statement
{
};

ParameterArrays::ParameterArrays(const QSqlDatabase &db, const QString &sql, int columns)
    : FHandle(std::make_unique<Handle>()), FColumns(columns)
{
    const SQLHDBC dbc = connectionHandle(db);
    if (dbc == SQL_NULL_HDBC)
        throw EDBEngineError(QStringLiteral("Parameter arrays need an open ODBC connection"));
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &FHandle->stmt)))
        raise(SQL_HANDLE_DBC, dbc);
    if (!succeeded(SQLPrepareW(FHandle->stmt, const_cast<SQLWCHAR *>(reinterpret_cast<const SQLWCHAR *>(sql.utf16())),
                               SQLINTEGER(sql.size()))))
        raise(SQL_HANDLE_STMT, FHandle->stmt);
}

ParameterArrays::~ParameterArrays() = default;

void ParameterArrays::execute(const std::vector<QVariant> &values)
{
    const qsizetype rows = qsizetype(values.size()) / FColumns;
    if (rows == 0)
        return;
    const SQLHSTMT stmt = FHandle->stmt;
    SQLFreeStmt(stmt, SQL_RESET_PARAMS);
    std::vector<ColumnBuffer> buffers;
    buffers.reserve(size_t(FColumns));
    for (int c = 0; c < FColumns; ++c)
        buffers.push_back(fillColumn(values, FColumns, c, rows));

    SQLULEN processed = 0;
    std::vector<SQLUSMALLINT> status(size_t(rows), SQL_PARAM_UNUSED);
    const bool set =
        succeeded(SQLSetStmtAttrW(stmt, SQL_ATTR_PARAM_BIND_TYPE,
                                  reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0)) &&
        succeeded(SQLSetStmtAttrW(stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(rows)), 0)) &&
        succeeded(SQLSetStmtAttrW(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0)) &&
        succeeded(SQLSetStmtAttrW(stmt, SQL_ATTR_PARAM_STATUS_PTR, status.data(), 0));
    if (!set)
        raise(SQL_HANDLE_STMT, stmt);
    for (int c = 0; c < FColumns; ++c) {
        ColumnBuffer &b = buffers[size_t(c)];
        if (!succeeded(SQLBindParameter(stmt, SQLUSMALLINT(c + 1), SQL_PARAM_INPUT, b.cType, b.sqlType, b.columnSize,
                                        b.decimals, b.data.data(), b.width, b.indicators.data())))
            raise(SQL_HANDLE_STMT, stmt);
    }
    const SQLRETURN r = SQLExecute(stmt);
    // Read before the statement is closed: closing clears them.
    const QString failure = succeeded(r) ? QString() : diagnostics(SQL_HANDLE_STMT, stmt);
    bool rowFailed = false;
    for (qsizetype i = 0; i < std::min<qsizetype>(rows, qsizetype(processed)); ++i)
        rowFailed = rowFailed || status[size_t(i)] == SQL_PARAM_ERROR;
    const QString rowFailure = rowFailed && failure.isEmpty() ? diagnostics(SQL_HANDLE_STMT, stmt) : QString();
    SQLFreeStmt(stmt, SQL_CLOSE);
    SQLFreeStmt(stmt, SQL_RESET_PARAMS);
    SQLSetStmtAttrW(stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(1)), 0);
    SQLSetStmtAttrW(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, nullptr, 0);
    SQLSetStmtAttrW(stmt, SQL_ATTR_PARAM_STATUS_PTR, nullptr, 0);
    if (!failure.isEmpty())
        throw EDBEngineError(failure);
    if (rowFailed)
        throw EDBEngineError(rowFailure);
    if (qsizetype(processed) != rows)
        throw EDBEngineError(QStringLiteral("The driver processed %1 of %2 rows").arg(processed).arg(rows));
}

void readTexts(const QSqlDatabase &db, const QString &sql, int columns,
               const std::function<void(const QString *values)> &row, const QStringList &parameters)
{
    constexpr SQLULEN kRowsPerFetch = 1000;
    constexpr SQLULEN kLongest = 4000; // characters of one value
    const SQLHDBC dbc = connectionHandle(db);
    if (dbc == SQL_NULL_HDBC)
        throw EDBEngineError(QStringLiteral("Reading rows needs an open ODBC connection"));
    Statement statement;
    if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &statement.stmt)))
        raise(SQL_HANDLE_DBC, dbc);
    const SQLHSTMT stmt = statement.stmt;
    // Texts bound as they are, as QODBC binds a text; they stay in `parameters` until executed.
    std::vector<SQLLEN> parameterLengths(size_t(parameters.size()));
    for (qsizetype i = 0; i < parameters.size(); ++i) {
        const QString &text = parameters[i];
        parameterLengths[size_t(i)] = SQLLEN(text.size() * qsizetype(sizeof(SQLWCHAR)));
        if (!succeeded(SQLBindParameter(stmt, SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                        SQLULEN(std::max<qsizetype>(text.size(), 1)), 0,
                                        const_cast<SQLWCHAR *>(reinterpret_cast<const SQLWCHAR *>(text.utf16())),
                                        parameterLengths[size_t(i)], &parameterLengths[size_t(i)])))
            raise(SQL_HANDLE_STMT, stmt);
    }
    if (!succeeded(SQLExecDirectW(stmt, const_cast<SQLWCHAR *>(reinterpret_cast<const SQLWCHAR *>(sql.utf16())),
                                  SQLINTEGER(sql.size()))))
        raise(SQL_HANDLE_STMT, stmt);
    SQLSMALLINT resultColumns = 0;
    if (!succeeded(SQLNumResultCols(stmt, &resultColumns)) || resultColumns < columns)
        throw EDBEngineError(QStringLiteral("The query returns %1 columns, not %2").arg(resultColumns).arg(columns));

    // One array of texts and one of lengths per column, each as wide as the column's size.
    struct Column
    {
        SQLLEN width = 0; // bytes per value, the terminator included
        std::vector<SQLWCHAR> data;
        std::vector<SQLLEN> lengths;
    };
    std::vector<Column> bound(static_cast<size_t>(columns));
    for (int c = 0; c < columns; ++c) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameLength = 0, type = 0, decimals = 0, nullable = 0;
        SQLULEN size = 0;
        if (!succeeded(
                SQLDescribeColW(stmt, SQLUSMALLINT(c + 1), name, 256, &nameLength, &type, &size, &decimals, &nullable)))
            raise(SQL_HANDLE_STMT, stmt);
        const SQLULEN characters = size == 0 || size > kLongest ? kLongest : size;
        Column &column = bound[size_t(c)];
        column.width = SQLLEN((characters + 1) * sizeof(SQLWCHAR));
        column.data.assign(size_t(characters + 1) * kRowsPerFetch, 0);
        column.lengths.assign(kRowsPerFetch, 0);
    }
    SQLULEN fetched = 0;
    const bool set =
        succeeded(SQLSetStmtAttrW(stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0)) &&
        succeeded(SQLSetStmtAttrW(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRowsPerFetch), 0)) &&
        succeeded(SQLSetStmtAttrW(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0));
    if (!set)
        raise(SQL_HANDLE_STMT, stmt);
    for (int c = 0; c < columns; ++c) {
        Column &column = bound[size_t(c)];
        if (!succeeded(SQLBindCol(stmt, SQLUSMALLINT(c + 1), SQL_C_WCHAR, column.data.data(), column.width,
                                  column.lengths.data())))
            raise(SQL_HANDLE_STMT, stmt);
    }
    std::vector<QString> values(static_cast<size_t>(columns));
    for (;;) {
        const SQLRETURN r = SQLFetch(stmt);
        if (r == SQL_NO_DATA)
            return;
        if (!succeeded(r))
            raise(SQL_HANDLE_STMT, stmt);
        for (SQLULEN i = 0; i < std::min(fetched, kRowsPerFetch); ++i) {
            for (int c = 0; c < columns; ++c) {
                const Column &column = bound[size_t(c)];
                const SQLLEN length = column.lengths[i];
                if (length == SQL_NULL_DATA) {
                    values[size_t(c)] = QString();
                    continue;
                }
                if (length < 0 || length >= column.width)
                    throw EDBEngineError(QStringLiteral("A value of column %1 is longer than %2 characters")
                                             .arg(c + 1)
                                             .arg(column.width / SQLLEN(sizeof(SQLWCHAR)) - 1));
                values[size_t(c)] = length == 0
                                        ? QStringLiteral("")
                                        : fromWide(column.data.data() + i * SQLULEN(column.width) / sizeof(SQLWCHAR),
                                                   qsizetype(length) / qsizetype(sizeof(SQLWCHAR)));
            }
            row(values.data());
        }
    }
}

} // namespace klv::odbc
