#pragma once

#include "SqlScript.h"
#include "db/DatabaseWorker.h"
#include "db/ScriptHistory.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>

namespace klv {

class ErrorLog;
class KlvDatabase;

// Where the engine shows its progress: the script's number and the statement being run.
class StatementDisplay
{
public:
    enum class Runner
    {
        Conversion,
        Update
    };
    virtual ~StatementDisplay() = default;
    virtual void showScriptNumber(Runner runner, uint16_t number) = 0;
    // Shows the statement and lets the window repaint before it runs.
    virtual void showStatement(const QStringList &sql) = 0;
    // Lets the window repaint before a statement that is not shown runs.
    virtual void keepAlive() {}
};

// What to do with a script that changed since it was partly run.
enum class ChangedScript
{
    Refuse,
    RunWhole, // from its first statement, as a new run
    MarkDone  // not run; recorded as done by hand
};

// Where a script would start: 1 for a fresh run, later when an earlier run is carried on.
struct ScriptStart
{
    int statement = 1;
    int statements = 0;   // in the script
    bool changed = false; // partly run before, with other bytes: refused unless decided otherwise
};

// Runs SQL script files statement by statement, each in a transaction of its own; a failing
// statement is rolled back and logged, then absorbed ("GOO") or passed on.
//
// Every statement takes effect once, whatever stops the run: each script run has its row in the
// history, whose count of settled statements is raised inside the very transaction of each
// statement. A script with an unfinished row for the same bytes carries on after its last
// settled statement; one whose bytes changed since is refused before anything of it runs,
// unless OnChangedScript decides otherwise.
class SqlScriptEngine
{
public:
    SqlScriptEngine(KlvDatabase &database, StatementDisplay &display, const ErrorLog &log, QString scriptDir,
                    ScriptHistory &history);

    // Conversion script n ("137.SQL"): plain text; an empty statement ends the script.
    void RunConversionScript(uint16_t number);
    // SQL update script n ("U1012.SQL") or the named file: plain or scrambled, a prerequisite
    // header line is skipped, empty statements are skipped.
    void RunUpdateScript(uint16_t number, const QString &fileName);
    void LogError(const QString &message);
    // A query command's statements, cut by its own rules; nothing is shown, and a failure is not
    // logged here (the command reports it).
    void runQueryFile(const QString &fileName, const QByteArray &bytes, const QList<sqlscript::Statement> &statements);

    // Where the statements run: by default at once on the engine's database.
    void setWork(DatabaseWork *work) { FWork = work ? work : &FInline; }
    // The release the scripts belong to, for the history.
    void setRelease(int release) { FRelease = release; }
    // What the run's journal knows of the query command being carried out: the history row of its
    // script that an earlier attempt of the command started (none when it started none), and where
    // to note the row this attempt runs, before its first statement. A row of an earlier attempt
    // that completed took effect already: that attempt was stopped before it could mark the
    // command done, and the script does not run again.
    struct CommandRun
    {
        std::optional<qint64> earlier;
        std::function<void(qint64 run)> started;
    };
    void setCommandRun(CommandRun run) { FCommandRun = std::move(run); }
    // Asked for a script that changed since it was partly run; unset: refused.
    std::function<ChangedScript(const QString &fileName, int settled)> OnChangedScript;

    // Where the script would start, without changing anything (a dry run).
    ScriptStart conversionStart(uint16_t number);
    ScriptStart updateStart(uint16_t number);

    QString conversionScriptPath(uint16_t number) const;
    QString updateScriptPath(uint16_t number) const;
    // The prerequisite header of SQL update script n, 0 when it has none.
    uint16_t RequiredDbVersion(uint16_t number) const;

private:
    struct Script
    {
        ScriptKind kind;
        QString fileName; // as the history names it
        QByteArray bytes;
        QList<sqlscript::Statement> statements; // the ones that run, in order
        StatementDisplay::Runner runner;
        uint16_t number;
    };
    Script conversionScript(uint16_t number) const;
    Script updateScript(uint16_t number, const QString &fileName) const;
    ScriptStart startOf(const Script &script);
    static QString shaOf(const Script &script);
    void runScript(const Script &script);
    void runStatement(const Script &script, const sqlscript::Statement &statement, ScriptProgress &progress);
    static void execute(KlvDatabase &db, const QStringList &sql, const QString &settleSql, bool oneTrip);

    KlvDatabase &FDatabase;
    StatementDisplay &FDisplay;
    const ErrorLog &FLog;
    QString FScriptDir;
    ScriptHistory &FHistory;
    CommandRun FCommandRun;
    InlineWork FInline;
    DatabaseWork *FWork;
    int FRelease = 0;
};

// Reads a whole file; a missing or unreadable one raises EInOutError.
QByteArray readScriptFile(const QString &path);

} // namespace klv
