#include "KvQuery.h"

#include "KlvDatabase.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"

#include <QSet>
#include <QSqlError>
#include <QSqlRecord>

namespace klv {

namespace {
[[noreturn]] void raise(const QSqlQuery &query)
{
    throw EDBEngineError(databaseErrorText(query.lastError()));
}
// The ":name" placeholders of a statement as spelled, outside quoted texts; "::" is a cast.
QStringList placeholders(const QString &sql)
{
    QStringList names;
    QChar quote;
    for (qsizetype i = 0; i < sql.size(); ++i) {
        const QChar c = sql[i];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            continue;
        }
        if (c == u'\'' || c == u'"') {
            quote = c;
        } else if (c == u':' && i + 1 < sql.size() && sql[i + 1] == u':') {
            ++i;
        } else if (c == u':' && i + 1 < sql.size() && (sql[i + 1].isLetterOrNumber() || sql[i + 1] == u'_')) {
            qsizetype end = i + 1;
            while (end < sql.size() && (sql[end].isLetterOrNumber() || sql[end] == u'_'))
                ++end;
            names << sql.mid(i + 1, end - i - 1);
            i = end - 1;
        }
    }
    return names;
}
} // namespace

TKvQuery::TKvQuery(KlvDatabase &owner) : FOwner(owner) {}

TKvQuery::~TKvQuery()
{
    CloseAndUnprepare(*this);
}

void TKvQuery::setParam(const QString &name, const QVariant &value)
{
    const QString key = name.startsWith(u':') ? name.mid(1) : name;
    const QString folded = key.toCaseFolded();
    if (const auto known = FParamIndex.constFind(folded); known != FParamIndex.cend()) {
        FParams[*known].second = value;
        return;
    }
    FParamIndex.insert(folded, FParams.size());
    FParams.append({key, value});
}

void TKvQuery::Prepare()
{
    if (FPrepared)
        return;
    FQuery.emplace(FOwner.connection());
    FQuery->setForwardOnly(UniDirectional);
    // Only a statement with parameters is prepared on the server: some servers prepare nothing
    // but queries and data changes, and a statement without parameters gains nothing by it.
    FDirect = !ParamCheck || placeholders(text()).isEmpty();
    if (!FDirect && !FQuery->prepare(text()))
        raise(*FQuery);
    FPrepared = true;
}

void TKvQuery::Unprepare()
{
    FQuery.reset();
    FPrepared = false;
}

void TKvQuery::run()
{
    if (!FOwner.Connected())
        throw EDBEngineError(QStringLiteral("Database is not open"));
    Prepare();
    bool ok = false;
    if (!FDirect) {
        // Parameter names match without regard to case; a placeholder without a value is null.
        // Looked up by hash: a question may carry hundreds of parameters.
        const QStringList names = placeholders(text());
        QSet<QString> used;
        used.reserve(names.size());
        for (const QString &name : names)
            used.insert(name.toCaseFolded());
        for (const auto &param : FParams)
            if (!used.contains(param.first.toCaseFolded()))
                throw EDBEngineError(QStringLiteral("Parameter '%1' not found").arg(param.first));
        for (const QString &name : names) {
            const auto known = FParamIndex.constFind(name.toCaseFolded());
            FQuery->bindValue(u':' + name, known == FParamIndex.cend() ? QVariant() : FParams[*known].second);
        }
        ok = FQuery->exec();
    } else {
        if (!FParams.isEmpty() && ParamCheck)
            throw EDBEngineError(QStringLiteral("Parameter '%1' not found").arg(FParams.first().first));
        ok = FQuery->exec(text());
    }
    if (!ok)
        raise(*FQuery);
}

void TKvQuery::Open()
{
    Close();
    run();
    FActive = true;
    FEof = !FQuery->next();
}

void TKvQuery::ExecSQL()
{
    Close();
    run();
}

void TKvQuery::ExecAllSQL()
{
    ExecSQL();
    // The driver reports the first statement's result; a later one that failed (and with it the
    // whole text) shows only when its result is asked for.
    while (FQuery->nextResult()) {
    }
    if (FQuery->lastError().isValid())
        raise(*FQuery);
}

void TKvQuery::Close()
{
    if (FActive && FQuery)
        FQuery->finish();
    FActive = false;
    FEof = true;
}

void TKvQuery::Next()
{
    if (!FActive || FEof)
        return;
    FEof = !FQuery->next();
}

QVariant TKvQuery::FieldByName(const QString &name) const
{
    return Field(FieldIndex(name));
}

int TKvQuery::FieldIndex(const QString &name) const
{
    if (!FActive)
        throw EDBEngineError(QStringLiteral("Cannot perform this operation on a closed dataset"));
    const int index = FQuery->record().indexOf(name);
    if (index < 0)
        throw EDBEngineError(QStringLiteral("Field '%1' not found").arg(name));
    return index;
}

QVariant TKvQuery::Field(int index) const
{
    if (!FActive)
        throw EDBEngineError(QStringLiteral("Cannot perform this operation on a closed dataset"));
    return FEof ? QVariant() : FQuery->value(index);
}

int32_t TKvQuery::fieldAsInteger(const QString &name) const
{
    const QVariant value = FieldByName(name);
    if (value.isNull())
        return 0;
    bool ok = false;
    const qlonglong n = value.toLongLong(&ok);
    if (ok)
        return static_cast<int32_t>(n);
    return strToInt(value.toString().trimmed());
}

QString TKvQuery::fieldAsString(const QString &name) const
{
    const QVariant value = FieldByName(name);
    return value.isNull() ? QString() : value.toString();
}

int TKvQuery::RowsAffected() const
{
    return FQuery ? FQuery->numRowsAffected() : -1;
}

void CloseAndUnprepare(TKvQuery &query)
{
    if (query.Active())
        query.Close();
    if (query.Prepared())
        query.Unprepare();
}

void ExecInOwnTransaction(TKvQuery &query)
{
    KlvDatabase &db = query.database();
    query.Prepare();
    db.StartTransaction();
    try {
        query.ExecSQL();
        db.Commit();
    } catch (...) {
        try {
            db.Rollback();
        } catch (...) {
            // The statement's own error is the one worth passing on.
        }
        throw;
    }
}

} // namespace klv
