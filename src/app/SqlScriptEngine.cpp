#include "SqlScriptEngine.h"

#include "ErrorLog.h"
#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "platform/Ansi.h"
#include "platform/Exceptions.h"
#include "platform/Folders.h"

#include <QFile>

namespace klv {

using sqlscript::Statement;
using sqlscript::Terminator;

QByteArray readScriptFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
    return file.readAll();
}

SqlScriptEngine::SqlScriptEngine(KlvDatabase &database, StatementDisplay &display, const ErrorLog &log,
                                 QString scriptDir)
    : FDatabase(database), FDisplay(display), FLog(log), FScriptDir(std::move(scriptDir))
{
}

QString SqlScriptEngine::conversionScriptPath(uint16_t number) const
{
    return Folders::resolve(FScriptDir + QString::number(number) + QStringLiteral(".SQL"));
}

QString SqlScriptEngine::updateScriptPath(uint16_t number) const
{
    return Folders::resolve(FScriptDir + u'U' + QString::number(number) + QStringLiteral(".SQL"));
}

uint16_t SqlScriptEngine::RequiredDbVersion(uint16_t number) const
{
    return sqlscript::requiredVersion(readScriptFile(updateScriptPath(number)));
}

void SqlScriptEngine::LogError(const QString &message)
{
    FLog.append(message);
}

void SqlScriptEngine::RunConversionScript(uint16_t number)
{
    const QString text = ansi::decode(readScriptFile(conversionScriptPath(number)));
    for (const Statement &statement : sqlscript::statements(sqlscript::splitLines(text, false))) {
        if (statement.sql.isEmpty())
            return; // an empty statement ends a conversion script
        runStatement(StatementDisplay::Runner::Conversion, number, statement);
    }
}

void SqlScriptEngine::RunUpdateScript(uint16_t number, const QString &fileName)
{
    const QString path = fileName.isEmpty() ? updateScriptPath(number) : Folders::resolve(fileName);
    const QString text = ansi::decode(sqlscript::restore(readScriptFile(path)));
    const QStringList lines = sqlscript::splitLines(text, true);
    if (lines.isEmpty())
        throw EInOutError(QStringLiteral("Script file \"%1\" is empty").arg(path));
    const qsizetype first = sqlscript::isHeaderLine(lines.first()) ? 1 : 0;
    for (const Statement &statement : sqlscript::statements(lines, first))
        if (!statement.sql.isEmpty())
            runStatement(StatementDisplay::Runner::Update, number, statement);
}

void SqlScriptEngine::runStatement(StatementDisplay::Runner runner, uint16_t number, const Statement &statement)
{
    FDisplay.showScriptNumber(runner, number);
    FDisplay.showStatement(statement.sql);

    TKvQuery query(FDatabase);
    query.ParamCheck = false; // the text goes to the database as written, colons and all
    query.SQL = statement.sql;
    query.Prepare();
    // A database server that commits every statement by itself runs a self-contained statement
    // as a transaction of its own already, and rolls it back whole when it fails: one round trip
    // instead of three (begin, the statement, commit).
    const bool ownTransaction =
        !(FDatabase.commitsEachStatement() && !FDatabase.InTransaction() && sqlscript::isSelfContained(statement.sql));
    if (ownTransaction)
        FDatabase.StartTransaction();
    try {
        query.ExecSQL();
        if (ownTransaction)
            FDatabase.Commit();
    } catch (const std::exception &e) {
        try {
            if (ownTransaction)
                FDatabase.Rollback();
        } catch (const std::exception &) {
            // The statement's own error is the one worth reporting.
        }
        LogError(exceptionClassName(e) + QStringLiteral(" / ") + exceptionMessage(e));
        if (statement.terminator != Terminator::Goo)
            throw;
    }
}

} // namespace klv
