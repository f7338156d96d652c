#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace klv {

class Clock;
class KlvDatabase;

// What kind of script a history row is about.
enum class ScriptKind
{
    Conversion, // 137.SQL
    Update,     // U1012.SQL
    Query,      // a query command's file
    OneOff      // chosen in the service mode
};

// One row of the history: one run of one script.
struct ScriptRunRecord
{
    qint64 id = 0;
    QString kind;
    QString fileName;
    QString sha256; // hex, of the file's bytes
    int release = 0;
    QDateTime started; // UTC
    QDateTime ended;   // UTC; invalid while unfinished
    int done = 0;      // statements settled: committed, or failed and passed over
    int failed = 0;    // of those, how many failed and were passed over
    QString failedAt;  // their positions, "3,7"
    QString outcome;
    QString updaterVersion;
    QString computer;

    bool isUnfinished() const;
};

// The table AUTOUPDATE_HISTORY in the application's database: which scripts ran, when, how far
// and how they ended, for the updater (a script that stopped is carried on after its last
// committed statement) and for support. Made by the updater when it is missing, in SQL that
// SQLite, PostgreSQL and the production server all accept; times are UTC texts that sort. While a
// run goes on, its settled statements are rows of AUTOUPDATE_PROGRESS, one written in each
// statement's own transaction; they are folded into its history row when it ends.
class ScriptHistory
{
public:
    // Outcomes as stored.
    static QString running() { return QStringLiteral("bezig"); }
    static QString completed() { return QStringLiteral("voltooid"); }
    static QString failedOutcome() { return QStringLiteral("mislukt"); }
    static QString replaced() { return QStringLiteral("vervangen"); }
    static QString markedDone() { return QStringLiteral("afgevinkt"); }
    static QString kindText(ScriptKind kind);
    static QString tableName() { return QStringLiteral("AUTOUPDATE_HISTORY"); }

    ScriptHistory(KlvDatabase &database, const Clock &clock, QString updaterVersion, QString computer);

    // Creates the table when the database lacks it.
    void ensureTable();
    bool exists() const;

    // The newest run of the script, if any. Reads only: a database without the table has none.
    std::optional<ScriptRunRecord> newest(ScriptKind kind, const QString &fileName);
    // A new row for a run that starts from its first statement.
    qint64 start(ScriptKind kind, const QString &fileName, const QString &sha256, int release);
    // An unfinished run carried on: running again. Waits while a statement of it may still be at
    // work on the server for a process that was killed.
    void resume(qint64 id);
    // The statements run `id` settled.
    int settled(qint64 id);
    // Ends a run with `outcome`, each in a transaction of its own.
    void finish(qint64 id, const QString &outcome);
    // The most recent runs, newest first.
    QList<ScriptRunRecord> latest(int count);

    // The statement that records the statement at `position` of run `id` as settled; run inside
    // the transaction of that statement.
    static QString progressSql(qint64 id, int position);
    // Records the statement at `position` as failed and passed over, in a transaction of its own.
    void passOver(qint64 id, int position);

private:
    QString nowText() const;
    bool hasTable(const QString &name) const;
    // Runs `work` in one transaction on the window's connection, rolled back when it throws.
    void inTransaction(const std::function<void()> &work);
    void execInOwnTransaction(const QString &sql);

    KlvDatabase &FDatabase;
    const Clock &FClock;
    QString FUpdaterVersion;
    QString FComputer;
    bool FChecked = false;
};

// Keeps the history row of one script run in step with its statements.
class ScriptProgress
{
public:
    ScriptProgress(ScriptHistory &history, qint64 id, int alreadyDone) : FHistory(history), FId(id), FDone(alreadyDone)
    {
    }

    qint64 id() const { return FId; }
    int done() const { return FDone; }
    // What the next statement's transaction must also run to record it as settled.
    QString settleSql() const { return ScriptHistory::progressSql(FId, FDone + 1); }
    // The next statement took effect (its transaction, with settleSql(), committed).
    void settled() { ++FDone; }
    // The next statement failed and the script goes on without it.
    void passedOver();

private:
    ScriptHistory &FHistory;
    qint64 FId;
    int FDone;
};

} // namespace klv
