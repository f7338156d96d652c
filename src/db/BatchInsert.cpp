#include "BatchInsert.h"

#include "KlvDatabase.h"
#include "platform/Exceptions.h"

#include <QLocale>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <algorithm>
#include <cmath>

namespace klv {

namespace {
[[noreturn]] void raise(const QSqlError &error)
{
    throw EDBEngineError(databaseErrorText(error));
}

// Whether several rows go to the database at once: in one statement, or through ODBC's parameter
// arrays, which every ODBC driver takes.
bool takesSeveralRows(const KlvDatabase &database)
{
    return database.isPostgres() || database.isOdbc() || database.config().driver == u"QSQLITE";
}

// SQLite takes at most 999 parameters in a statement in its smallest configuration; a larger
// statement gains little there, since nothing travels over a network.
int defaultRows(const KlvDatabase &database, qsizetype columns)
{
    if (database.isPostgres() || database.isOdbc())
        return 1000;
    if (database.config().driver == u"QSQLITE")
        return int(std::clamp<qsizetype>(999 / std::max<qsizetype>(columns, 1), 1, 100));
    return 1;
}

// The array type that holds a column of these values. Moments go as the instant in UTC, or as
// the local date and time where the driver binds a moment that way (ODBC).
QString arrayType(const QVariant &value, bool localMoments)
{
    switch (value.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return QStringLiteral("float8[]");
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        return QStringLiteral("int8[]");
    case QMetaType::QDateTime:
        return localMoments ? QStringLiteral("timestamp[]") : QStringLiteral("timestamptz[]");
    default:
        return QStringLiteral("text[]");
    }
}
// Whether two values are the same for the database. Moments of the local time compare by their
// date and time, which costs no conversion to UTC.
bool sameValue(const QVariant &a, const QVariant &b)
{
    if (a.metaType() != b.metaType() || a.isNull() != b.isNull())
        return false;
    if (a.metaType().id() == QMetaType::QDateTime) {
        const QDateTime x = a.toDateTime(), y = b.toDateTime();
        if (x.timeSpec() == Qt::LocalTime && y.timeSpec() == Qt::LocalTime)
            return x.date() == y.date() && x.time() == y.time();
        return x == y;
    }
    return a == b;
}
} // namespace

BatchInsert::BatchInsert(KlvDatabase &database, QString table, QStringList columns, int rowsPerStatement,
                         Batching batching)
    : FDatabase(database), FTable(std::move(table)), FColumns(std::move(columns)), FBatching(batching)
{
    setRowsPerStatement(rowsPerStatement);
}

bool BatchInsert::looksUp(const KlvDatabase &database, Batching batching)
{
    if (database.isOdbc())
        return database.isPostgres() && batching == Batching::Best;
    return database.isPostgres() || database.config().driver == u"QSQLITE";
}

void BatchInsert::setLookup(qsizetype column, Lookup lookup)
{
    if (column < 0 || column >= FColumns.size() || !looksUp(FDatabase, FBatching))
        throw EDBEngineError(QStringLiteral("%1 cannot look up column %2 here").arg(FTable).arg(column));
    flush();
    FLookupColumn = column;
    FLookup = std::move(lookup);
    FFull.reset();
    FPartial.reset();
    FOdbcInsert.reset();
}

QString BatchInsert::columnValue(qsizetype c, const QString &given) const
{
    if (c != FLookupColumn)
        return given;
    return QStringLiteral("Coalesce((Select %1 From %2 Where %3 = %4 Limit 1), '')")
        .arg(FLookup.key, FLookup.table, FLookup.code, given);
}

void BatchInsert::setRowsPerStatement(int rows)
{
    flush();
    int wanted = rows > 0 ? rows : defaultRows(FDatabase, FColumns.size());
    if (!takesSeveralRows(FDatabase))
        wanted = 1;
    if (wanted != FRows) {
        FFull.reset();
        FRows = wanted;
    }
    FArrays = FRows > 1 && FDatabase.isPostgres() && !(FDatabase.isOdbc() && FBatching == Batching::Portable);
    FParameterArrays = FRows > 1 && FDatabase.isOdbc() && !FArrays;
}

QString BatchInsert::insertText(int rows) const
{
    QStringList markers;
    for (qsizetype c = 0; c < FColumns.size(); ++c)
        markers << columnValue(c, QStringLiteral("?"));
    const QString one = u'(' + markers.join(QStringLiteral(", ")) + u')';
    QString text = QStringLiteral("Insert Into %1 (%2) Values ").arg(FTable, FColumns.join(QStringLiteral(", ")));
    text.reserve(text.size() + rows * (one.size() + 2));
    for (int i = 0; i < rows; ++i) {
        if (i > 0)
            text += QStringLiteral(", ");
        text += one;
    }
    return text;
}

QSqlQuery &BatchInsert::prepared(int rows)
{
    const bool full = rows == FRows;
    std::optional<QSqlQuery> &slot = full ? FFull : FPartial;
    if (slot && (full || FPartialRows == rows))
        return *slot;
    slot.emplace(FDatabase.connection());
    if (!slot->prepare(insertText(rows))) {
        const QSqlError error = slot->lastError();
        slot.reset();
        raise(error);
    }
    if (!full)
        FPartialRows = rows;
    return *slot;
}

void BatchInsert::add(std::vector<QVariant> row)
{
    if (qsizetype(row.size()) != FColumns.size())
        throw EDBEngineError(
            QStringLiteral("%1 values for the %2 columns of %3").arg(row.size()).arg(FColumns.size()).arg(FTable));
    if (FPending.empty())
        FPending.reserve(size_t(FRows) * size_t(FColumns.size()));
    for (QVariant &value : row)
        FPending.push_back(std::move(value));
}

void BatchInsert::flush()
{
    if (FPending.empty())
        return;
    std::vector<QVariant> values;
    values.swap(FPending); // dropped whatever happens, so that a failed batch is not written twice
    if (!FDatabase.Connected())
        throw EDBEngineError(QStringLiteral("Database is not open"));
    const int rows = int(qsizetype(values.size()) / FColumns.size());
    if (FArrays && rows > 1) {
        writeArrays(values);
        return;
    }
    if (FParameterArrays && rows > 1) {
        if (!FOdbcInsert)
            FOdbcInsert.emplace(FDatabase.connection(), insertText(1), int(FColumns.size()));
        FOdbcInsert->execute(values);
        return;
    }
    QSqlQuery &query = prepared(rows);
    for (qsizetype i = 0; i < qsizetype(values.size()); ++i)
        query.bindValue(int(i), values[size_t(i)]);
    if (!query.exec())
        raise(query.lastError());
}

// An element of a PostgreSQL array literal: always quoted, so that no text reads as NULL or
// splits the array; the numbers and moments as the driver itself writes them as values.
void BatchInsert::appendElement(QString &array, const QVariant &value)
{
    if (value.isNull()) {
        array += u"NULL";
        return;
    }
    switch (value.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        array += u'"';
        if (std::isnan(d))
            array += u"NaN";
        else if (std::isinf(d))
            array += d > 0 ? u"Infinity" : u"-Infinity";
        else
            array += QString::number(d, 'g', QLocale::FloatingPointShortest);
        array += u'"';
        return;
    }
    case QMetaType::QDateTime: {
        const QDateTime moment = value.toDateTime();
        if (!moment.isValid()) {
            array += u"NULL";
            return;
        }
        if (FLastMomentText.isEmpty() || !sameValue(moment, FLastMoment)) {
            // As the driver sends a bound moment: the instant in UTC, or through ODBC the local
            // date and time.
            FLastMoment = moment;
            FLastMomentText = FDatabase.isOdbc()
                                  ? QLocale::c().toString(moment, u"yyyy-MM-dd hh:mm:ss.zzz")
                                  : QLocale::c().toString(moment.toUTC(), u"yyyy-MM-ddThh:mm:ss.zzz") + u'Z';
        }
        array += u'"';
        array += FLastMomentText;
        array += u'"';
        return;
    }
    default:
        break;
    }
    // A text as it is, with a backslash before each quote and backslash; appended in place, since
    // a batch holds many thousands of them.
    const QString text = value.toString();
    array += u'"';
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\\' || c == u'"') {
            array += QStringView(text).sliced(from, i - from);
            array += u'\\';
            from = i;
        }
    }
    array += QStringView(text).sliced(from);
    array += u'"';
}

void BatchInsert::writeArrays(const std::vector<QVariant> &values)
{
    const qsizetype columns = FColumns.size();
    const qsizetype rows = qsizetype(values.size()) / columns;
    QSqlDriver *driver = FDatabase.connection().driver();
    // Through ODBC every value is bound, so the driver quotes it; PostgreSQL's own driver writes
    // them into the text as it writes a bound value.
    const bool bound = FDatabase.isOdbc();
    // The text names the selected values first, then the arrays: their parameters in that order.
    QVariantList selectedParameters, arrayParameters;
    const auto value = [&](QVariantList &parameters, const QVariant &v, const QString &cast) {
        if (bound) {
            parameters << v;
            return u'?' + cast;
        }
        QSqlField field(QString(), v.metaType());
        field.setValue(v);
        return driver->formatValue(field) + cast;
    };
    // A column with one value for all rows (the list's date) goes as that value; every other
    // column as an array, unnested into rows.
    QStringList selected;
    QStringList arrays;
    QStringList names; // of the unnested columns
    for (qsizetype c = 0; c < columns; ++c) {
        const QVariant &first = values[size_t(c)];
        bool constant = c > 0 && !first.isNull();
        for (qsizetype r = 1; constant && r < rows; ++r)
            constant = sameValue(values[size_t(r * columns + c)], first);
        if (constant) {
            selected << columnValue(c, value(selectedParameters, first, QString()));
            continue;
        }
        QVariant typed;
        QString array = QStringLiteral("{");
        array.reserve(rows * 16);
        for (qsizetype r = 0; r < rows; ++r) {
            const QVariant &element = values[size_t(r * columns + c)];
            if (!typed.isValid() && !element.isNull())
                typed = element;
            if (r > 0)
                array += u',';
            appendElement(array, element);
        }
        array += u'}';
        names << QStringLiteral("c%1").arg(c);
        selected << columnValue(c, QStringLiteral("u.") + names.last());
        arrays << value(arrayParameters, array, QStringLiteral("::") + arrayType(typed, bound));
    }
    const QString text = QStringLiteral("Insert Into %1 (%2) Select %3 From unnest(%4) As u(%5)")
                             .arg(FTable, FColumns.join(QStringLiteral(", ")), selected.join(QStringLiteral(", ")),
                                  arrays.join(QStringLiteral(", ")), names.join(QStringLiteral(", ")));
    QSqlQuery query(FDatabase.connection());
    bool ok = false;
    if (bound) {
        ok = query.prepare(text);
        const QVariantList parameters = selectedParameters + arrayParameters;
        for (qsizetype i = 0; ok && i < parameters.size(); ++i)
            query.bindValue(int(i), parameters[i]);
        ok = ok && query.exec();
    } else {
        ok = query.exec(text);
    }
    if (!ok)
        raise(query.lastError());
}

} // namespace klv
