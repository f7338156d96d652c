#include "SqlScriptEngine.h"

#include "ErrorLog.h"
#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "platform/Ansi.h"
#include "platform/Exceptions.h"
#include "platform/Folders.h"
#include "platform/Sha256.h"

#include <QFile>
#include <QFileInfo>

namespace klv {

using sqlscript::Statement;
using sqlscript::Terminator;

namespace {
// A transaction that could not be started: the statement did not run.
struct NotStarted
{
    std::exception_ptr failure;
};

const QString kChangedScript =
    QStringLiteral("Het script %1 is eerder tot en met statement %2 uitgevoerd en is sindsdien veranderd; er is niets "
                   "van uitgevoerd. In de servicemodus kunt u het helemaal opnieuw laten uitvoeren of als uitgevoerd "
                   "afvinken.");
} // namespace

QByteArray readScriptFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
    return file.readAll();
}

SqlScriptEngine::SqlScriptEngine(KlvDatabase &database, StatementDisplay &display, const ErrorLog &log,
                                 QString scriptDir, ScriptHistory &history)
    : FDatabase(database), FDisplay(display), FLog(log), FScriptDir(std::move(scriptDir)), FHistory(history),
      FInline(database), FWork(&FInline)
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

SqlScriptEngine::Script SqlScriptEngine::conversionScript(uint16_t number) const
{
    const QString path = conversionScriptPath(number);
    Script script{ScriptKind::Conversion,
                  QFileInfo(path).fileName(),
                  readScriptFile(path),
                  {},
                  StatementDisplay::Runner::Conversion,
                  number};
    for (const Statement &statement : sqlscript::statements(sqlscript::splitLines(ansi::decode(script.bytes), false))) {
        if (statement.sql.isEmpty())
            break; // an empty statement ends a conversion script
        script.statements.append(statement);
    }
    return script;
}

SqlScriptEngine::Script SqlScriptEngine::updateScript(uint16_t number, const QString &fileName) const
{
    const QString path = fileName.isEmpty() ? updateScriptPath(number) : Folders::resolve(fileName);
    Script script{fileName.isEmpty() ? ScriptKind::Update : ScriptKind::OneOff,
                  QFileInfo(path).fileName(),
                  readScriptFile(path),
                  {},
                  StatementDisplay::Runner::Update,
                  number};
    const QStringList lines = sqlscript::splitLines(ansi::decode(sqlscript::restore(script.bytes)), true);
    if (lines.isEmpty())
        throw EInOutError(QStringLiteral("Script file \"%1\" is empty").arg(path));
    const qsizetype first = sqlscript::isHeaderLine(lines.first()) ? 1 : 0;
    for (const Statement &statement : sqlscript::statements(lines, first))
        if (!statement.sql.isEmpty())
            script.statements.append(statement);
    return script;
}

void SqlScriptEngine::RunConversionScript(uint16_t number)
{
    runScript(conversionScript(number));
}

void SqlScriptEngine::RunUpdateScript(uint16_t number, const QString &fileName)
{
    runScript(updateScript(number, fileName));
}

void SqlScriptEngine::runQueryFile(const QString &fileName, const QByteArray &bytes,
                                   const QList<sqlscript::Statement> &statements)
{
    runScript(Script{ScriptKind::Query, fileName, bytes, statements, StatementDisplay::Runner::Update, 0});
}

ScriptStart SqlScriptEngine::conversionStart(uint16_t number)
{
    return startOf(conversionScript(number));
}

ScriptStart SqlScriptEngine::updateStart(uint16_t number)
{
    return startOf(updateScript(number, QString()));
}

ScriptStart SqlScriptEngine::startOf(const Script &script)
{
    ScriptStart start;
    start.statements = int(script.statements.size());
    const std::optional<ScriptRunRecord> earlier = FHistory.newest(script.kind, script.fileName);
    if (!earlier)
        return start;
    const bool same = earlier->sha256.compare(shaOf(script), Qt::CaseInsensitive) == 0;
    if (same && earlier->isUnfinished())
        start.statement = earlier->done + 1;
    else if (same && earlier->outcome == ScriptHistory::markedDone())
        start.statement = start.statements + 1;
    else
        start.changed = earlier->isUnfinished() && earlier->done > 0;
    return start;
}

QString SqlScriptEngine::shaOf(const Script &script)
{
    return QString::fromLatin1(Sha256::hash(script.bytes).toHex());
}

void SqlScriptEngine::runScript(const Script &script)
{
    const QString sha = shaOf(script);
    const int release = script.kind == ScriptKind::Conversion ? script.number : FRelease;
    qint64 id = 0;
    int from = 0;
    if (const std::optional<ScriptRunRecord> earlier = FHistory.newest(script.kind, script.fileName)) {
        const bool same = earlier->sha256.compare(sha, Qt::CaseInsensitive) == 0;
        if (same && earlier->outcome == ScriptHistory::markedDone())
            return; // done by hand, in the service mode
        if (same && script.kind == ScriptKind::Query && earlier->outcome == ScriptHistory::completed() &&
            FCommandRun.earlier == earlier->id)
            return; // completed by an earlier attempt of this command
        if (same && earlier->isUnfinished()) {
            id = earlier->id;
            // Waits for a statement of a killed run that the database may still be finishing;
            // only then is its count final.
            FHistory.resume(id);
            from = FHistory.settled(id);
        } else if (earlier->isUnfinished() && earlier->done == 0) {
            FHistory.finish(earlier->id, ScriptHistory::replaced()); // nothing of it took effect
        } else if (earlier->isUnfinished()) {
            switch (OnChangedScript ? OnChangedScript(script.fileName, earlier->done) : ChangedScript::Refuse) {
            case ChangedScript::Refuse:
                throw Exception(kChangedScript.arg(script.fileName).arg(earlier->done));
            case ChangedScript::RunWhole:
                FHistory.finish(earlier->id, ScriptHistory::replaced());
                break;
            case ChangedScript::MarkDone:
                // These bytes count as done from now on; the earlier run is replaced by them.
                FHistory.finish(earlier->id, ScriptHistory::replaced());
                FHistory.finish(FHistory.start(script.kind, script.fileName, sha, release),
                                ScriptHistory::markedDone());
                return;
            }
        }
    }
    if (id == 0)
        id = FHistory.start(script.kind, script.fileName, sha, release);
    if (script.kind == ScriptKind::Query && FCommandRun.started)
        FCommandRun.started(id);
    ScriptProgress progress(FHistory, id, from);
    try {
        for (qsizetype i = from; i < script.statements.size(); ++i)
            runStatement(script, script.statements[i], progress);
    } catch (...) {
        try {
            FHistory.finish(id, ScriptHistory::failedOutcome());
        } catch (...) {
            // The row stays "running"; the statement's own error is the one to report.
        }
        throw;
    }
    FHistory.finish(id, ScriptHistory::completed());
}

// One statement and the record of it, in one transaction on `db`; rolled back whole when it fails.
void SqlScriptEngine::execute(KlvDatabase &db, const QStringList &sql, const QString &settleSql, bool oneTrip)
{
    TKvQuery query(db);
    query.ParamCheck = false; // the text goes to the database as written, colons and all
    query.SQL = oneTrip ? QStringList{settleSql + QStringLiteral(";")} + sql : sql;
    query.Prepare();
    if (oneTrip) {
        query.ExecAllSQL();
        return;
    }
    try {
        db.StartTransaction();
    } catch (const std::exception &) {
        throw NotStarted{std::current_exception()};
    }
    try {
        TKvQuery settle(db);
        settle.ParamCheck = false;
        settle.SQL = QStringList{settleSql};
        // The record goes first, so that its lock shows a later run that the statement is at work.
        // Where a schema change commits the open transaction by itself, the record would be
        // committed before a schema change that then fails: there it follows the statement, so
        // that it is never there without the statement's effect.
        if (db.schemaChangesCommit()) {
            query.ExecSQL();
            settle.ExecSQL();
        } else {
            settle.ExecSQL();
            query.ExecSQL();
        }
        db.Commit();
    } catch (...) {
        try {
            db.Rollback();
        } catch (const std::exception &) {
            // The statement's own error is the one worth reporting.
        }
        throw;
    }
}

void SqlScriptEngine::runStatement(const Script &script, const Statement &statement, ScriptProgress &progress)
{
    const bool shown = script.kind != ScriptKind::Query;
    if (shown) {
        FDisplay.showScriptNumber(script.runner, script.number);
        FDisplay.showStatement(statement.sql);
    } else {
        FDisplay.keepAlive();
    }

    // A database server that commits every statement by itself runs a self-contained statement
    // as a transaction of its own already, and rolls it back whole when it fails: the record and
    // the statement go in one round trip, as one implicit transaction, instead of four (begin,
    // the record, the statement, commit). A run started while the server still works on a
    // statement of a killed one waits for the lock its record holds, and then sees whether it took effect;
    // with a transaction of our own, the commit never comes from a killed process.
    const bool oneTrip =
        FDatabase.commitsEachStatement() && !FDatabase.InTransaction() && sqlscript::isSelfContained(statement.sql);
    const QString settleSql = progress.settleSql();
    try {
        // On the work's own connection (a thread of its own in the window, which keeps painting).
        FWork->run([&](KlvDatabase &db) { execute(db, statement.sql, settleSql, oneTrip); });
    } catch (const NotStarted &notStarted) {
        std::rethrow_exception(notStarted.failure); // nothing ran: not logged, not passed over
    } catch (const std::exception &e) {
        if (shown)
            LogError(exceptionClassName(e) + QStringLiteral(" / ") + exceptionMessage(e));
        if (statement.terminator != Terminator::Goo)
            throw;
        progress.passedOver();
        return;
    }
    progress.settled();
}

} // namespace klv
