#pragma once

#include "SqlScript.h"

#include <QString>
#include <QStringList>
#include <cstdint>

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
};

// Runs SQL script files statement by statement, each in a transaction of its own; a failing
// statement is rolled back and logged, then absorbed ("GOO") or passed on.
class SqlScriptEngine
{
public:
    SqlScriptEngine(KlvDatabase &database, StatementDisplay &display, const ErrorLog &log, QString scriptDir);

    // Conversion script n ("137.SQL"): plain text; an empty statement ends the script.
    void RunConversionScript(uint16_t number);
    // SQL update script n ("U1012.SQL") or the named file: plain or scrambled, a prerequisite
    // header line is skipped, empty statements are skipped.
    void RunUpdateScript(uint16_t number, const QString &fileName);
    void LogError(const QString &message);

    QString conversionScriptPath(uint16_t number) const;
    QString updateScriptPath(uint16_t number) const;
    // The prerequisite header of SQL update script n, 0 when it has none.
    uint16_t RequiredDbVersion(uint16_t number) const;

private:
    void runStatement(StatementDisplay::Runner runner, uint16_t number, const sqlscript::Statement &statement);

    KlvDatabase &FDatabase;
    StatementDisplay &FDisplay;
    const ErrorLog &FLog;
    QString FScriptDir;
};

// Reads a whole file; a missing or unreadable one raises EInOutError.
QByteArray readScriptFile(const QString &path);

} // namespace klv
