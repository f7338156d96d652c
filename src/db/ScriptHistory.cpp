#include "ScriptHistory.h"

#include "KlvDatabase.h"
#include "KvQuery.h"
#include "platform/Clock.h"

#include <QSqlDatabase>

namespace klv {

namespace {
constexpr char kTimeFormat[] = "yyyy-MM-dd HH:mm:ss";
constexpr qsizetype kFailedAtLength = 250;

// Types every one of our databases takes; no defaults, no identity columns (their syntax differs).
const QStringList kCreate = {QStringLiteral("CREATE TABLE AUTOUPDATE_HISTORY ("),
                             QStringLiteral("  RUN_ID INTEGER NOT NULL PRIMARY KEY,"),
                             QStringLiteral("  KIND VARCHAR(20) NOT NULL,"),
                             QStringLiteral("  FILE_NAME VARCHAR(255) NOT NULL,"),
                             QStringLiteral("  SHA256 CHAR(64) NOT NULL,"),
                             QStringLiteral("  RELEASE_NR INTEGER NOT NULL,"),
                             QStringLiteral("  STARTED_UTC VARCHAR(19) NOT NULL,"),
                             QStringLiteral("  ENDED_UTC VARCHAR(19),"),
                             QStringLiteral("  STATEMENTS_DONE INTEGER NOT NULL,"),
                             QStringLiteral("  STATEMENTS_FAILED INTEGER NOT NULL,"),
                             QStringLiteral("  FAILED_AT VARCHAR(250) NOT NULL,"),
                             QStringLiteral("  OUTCOME VARCHAR(20) NOT NULL,"),
                             QStringLiteral("  UPDATER_VERSION VARCHAR(40) NOT NULL,"),
                             QStringLiteral("  COMPUTER_NAME VARCHAR(64) NOT NULL"),
                             QStringLiteral(")")};

// The statements a run settled, one row each, written inside each statement's own transaction.
// Rows are only added, never updated: that costs a statement far less than raising a count in
// place. They are folded into the history row when the run ends.
const QStringList kCreateProgress = {QStringLiteral("CREATE TABLE AUTOUPDATE_PROGRESS ("),
                                     QStringLiteral("  RUN_ID INTEGER NOT NULL,"),
                                     QStringLiteral("  STATEMENT_NR INTEGER NOT NULL"), QStringLiteral(")")};

const QString kColumns = QStringLiteral("RUN_ID, KIND, FILE_NAME, SHA256, RELEASE_NR, STARTED_UTC, ENDED_UTC, "
                                        "STATEMENTS_DONE, STATEMENTS_FAILED, FAILED_AT, OUTCOME, UPDATER_VERSION, "
                                        "COMPUTER_NAME");

QDateTime utcTime(const QString &text)
{
    const QDateTime time = QDateTime::fromString(text, QLatin1String(kTimeFormat));
    return time.isValid() ? QDateTime(time.date(), time.time(), Qt::UTC) : QDateTime();
}

ScriptRunRecord record(const TKvQuery &query)
{
    ScriptRunRecord r;
    r.id = query.FieldByName(QStringLiteral("RUN_ID")).toLongLong();
    r.kind = query.fieldAsString(QStringLiteral("KIND"));
    r.fileName = query.fieldAsString(QStringLiteral("FILE_NAME"));
    r.sha256 = query.fieldAsString(QStringLiteral("SHA256")).trimmed();
    r.release = query.fieldAsInteger(QStringLiteral("RELEASE_NR"));
    r.started = utcTime(query.fieldAsString(QStringLiteral("STARTED_UTC")));
    r.ended = utcTime(query.fieldAsString(QStringLiteral("ENDED_UTC")));
    r.done = query.fieldAsInteger(QStringLiteral("STATEMENTS_DONE"));
    r.failed = query.fieldAsInteger(QStringLiteral("STATEMENTS_FAILED"));
    r.failedAt = query.fieldAsString(QStringLiteral("FAILED_AT"));
    r.outcome = query.fieldAsString(QStringLiteral("OUTCOME")).trimmed();
    r.updaterVersion = query.fieldAsString(QStringLiteral("UPDATER_VERSION"));
    r.computer = query.fieldAsString(QStringLiteral("COMPUTER_NAME"));
    return r;
}
} // namespace

bool ScriptRunRecord::isUnfinished() const
{
    return outcome == ScriptHistory::running() || outcome == ScriptHistory::failedOutcome();
}

QString ScriptHistory::kindText(ScriptKind kind)
{
    switch (kind) {
    case ScriptKind::Conversion:
        return QStringLiteral("conversie");
    case ScriptKind::Update:
        return QStringLiteral("updatescript");
    case ScriptKind::Query:
        return QStringLiteral("query");
    case ScriptKind::OneOff:
        return QStringLiteral("eenmalig");
    }
    return {};
}

ScriptHistory::ScriptHistory(KlvDatabase &database, const Clock &clock, QString updaterVersion, QString computer)
    : FDatabase(database), FClock(clock), FUpdaterVersion(std::move(updaterVersion)),
      FComputer(std::move(computer).left(64))
{
}

bool ScriptHistory::exists() const
{
    return hasTable(tableName());
}

bool ScriptHistory::hasTable(const QString &name) const
{
    // Servers fold unquoted names to their own case.
    const QStringList tables = FDatabase.connection().tables(QSql::Tables);
    return std::any_of(tables.cbegin(), tables.cend(),
                       [&](const QString &t) { return t.compare(name, Qt::CaseInsensitive) == 0; });
}

void ScriptHistory::ensureTable()
{
    if (FChecked)
        return;
    if (!exists())
        execInOwnTransaction(kCreate.join(u'\n'));
    if (!hasTable(QStringLiteral("AUTOUPDATE_PROGRESS")))
        execInOwnTransaction(kCreateProgress.join(u'\n'));
    FChecked = true;
}

void ScriptHistory::execInOwnTransaction(const QString &sql)
{
    TKvQuery query(FDatabase);
    query.ParamCheck = false;
    query.SQL = QStringList{sql};
    ExecInOwnTransaction(query);
}

void ScriptHistory::inTransaction(const std::function<void()> &work)
{
    FDatabase.StartTransaction();
    try {
        work();
        FDatabase.Commit();
    } catch (...) {
        try {
            FDatabase.Rollback();
        } catch (...) {
            // The first error is the one to report.
        }
        throw;
    }
}

QString ScriptHistory::nowText() const
{
    return FClock.now().toUTC().toString(QLatin1String(kTimeFormat));
}

std::optional<ScriptRunRecord> ScriptHistory::newest(ScriptKind kind, const QString &fileName)
{
    if (!FChecked && !exists())
        return std::nullopt;
    TKvQuery query(FDatabase);
    query.SQL = QStringList{
        QStringLiteral("SELECT %1 FROM AUTOUPDATE_HISTORY WHERE KIND = :kind ORDER BY RUN_ID DESC").arg(kColumns)};
    query.setParam(QStringLiteral("kind"), kindText(kind));
    query.Open();
    // Names compare as Windows compares them; the newest run of the script decides.
    for (; !query.Eof(); query.Next()) {
        ScriptRunRecord r = record(query);
        if (r.fileName.compare(fileName, Qt::CaseInsensitive) != 0)
            continue;
        query.Close();
        if (r.isUnfinished())
            r.done = settled(r.id);
        return r;
    }
    return std::nullopt;
}

qint64 ScriptHistory::start(ScriptKind kind, const QString &fileName, const QString &sha256, int release)
{
    ensureTable();
    qint64 id = 1;
    {
        TKvQuery last(FDatabase);
        last.SQL = QStringList{QStringLiteral("SELECT MAX(RUN_ID) AS LAST_ID FROM AUTOUPDATE_HISTORY")};
        last.Open();
        if (!last.Eof())
            id = last.FieldByName(QStringLiteral("LAST_ID")).toLongLong() + 1;
    }
    TKvQuery insert(FDatabase);
    insert.SQL = QStringList{
        QStringLiteral("INSERT INTO AUTOUPDATE_HISTORY (%1)").arg(kColumns),
        QStringLiteral("VALUES (:id, :kind, :file, :sha, :release, :started, NULL, 0, 0, '', :outcome, :version, "
                       ":computer)")};
    insert.setParam(QStringLiteral("id"), id);
    insert.setParam(QStringLiteral("kind"), kindText(kind));
    insert.setParam(QStringLiteral("file"), fileName.left(255));
    insert.setParam(QStringLiteral("sha"), sha256);
    insert.setParam(QStringLiteral("release"), release);
    insert.setParam(QStringLiteral("started"), nowText());
    insert.setParam(QStringLiteral("outcome"), running());
    insert.setParam(QStringLiteral("version"), FUpdaterVersion.left(40));
    insert.setParam(QStringLiteral("computer"), FComputer);
    ExecInOwnTransaction(insert);
    return id;
}

void ScriptHistory::resume(qint64 id)
{
    // A statement of a killed run may still be at work on the server, and commit when it ends.
    // Its transaction holds the progress table's row-exclusive lock (its record went in first)
    // until it ends; a share lock waits for that, so that the count read next is final. This
    // costs the statements nothing: their inserts take that lock anyway.
    if (FDatabase.commitsEachStatement()) {
        FDatabase.StartTransaction();
        try {
            TKvQuery wait(FDatabase);
            wait.ParamCheck = false;
            wait.SQL = QStringList{QStringLiteral("LOCK TABLE AUTOUPDATE_PROGRESS IN SHARE MODE")};
            wait.ExecSQL();
        } catch (...) {
            FDatabase.Rollback();
            throw;
        }
        FDatabase.Rollback();
    }
    TKvQuery query(FDatabase);
    query.SQL = QStringList{
        QStringLiteral("UPDATE AUTOUPDATE_HISTORY SET OUTCOME = :outcome, ENDED_UTC = NULL WHERE RUN_ID = :id")};
    query.setParam(QStringLiteral("outcome"), running());
    query.setParam(QStringLiteral("id"), id);
    ExecInOwnTransaction(query);
}

int ScriptHistory::settled(qint64 id)
{
    int done = 0;
    {
        TKvQuery query(FDatabase);
        query.SQL = QStringList{QStringLiteral("SELECT STATEMENTS_DONE FROM AUTOUPDATE_HISTORY WHERE RUN_ID = :id")};
        query.setParam(QStringLiteral("id"), id);
        query.Open();
        done = query.Eof() ? 0 : query.fieldAsInteger(QStringLiteral("STATEMENTS_DONE"));
    }
    TKvQuery progress(FDatabase);
    progress.SQL =
        QStringList{QStringLiteral("SELECT MAX(STATEMENT_NR) AS LAST_NR FROM AUTOUPDATE_PROGRESS WHERE RUN_ID = :id")};
    progress.setParam(QStringLiteral("id"), id);
    progress.Open();
    return progress.Eof() ? done : std::max(done, progress.fieldAsInteger(QStringLiteral("LAST_NR")));
}

void ScriptHistory::finish(qint64 id, const QString &outcome)
{
    const int done = settled(id);
    inTransaction([&] {
        TKvQuery row(FDatabase);
        row.SQL = QStringList{QStringLiteral("UPDATE AUTOUPDATE_HISTORY SET OUTCOME = :outcome, ENDED_UTC = :ended, "
                                             "STATEMENTS_DONE = :done WHERE RUN_ID = :id")};
        row.setParam(QStringLiteral("outcome"), outcome);
        row.setParam(QStringLiteral("ended"), nowText());
        row.setParam(QStringLiteral("done"), done);
        row.setParam(QStringLiteral("id"), id);
        row.ExecSQL();
        TKvQuery folded(FDatabase);
        folded.SQL = QStringList{QStringLiteral("DELETE FROM AUTOUPDATE_PROGRESS WHERE RUN_ID = :id")};
        folded.setParam(QStringLiteral("id"), id);
        folded.ExecSQL();
    });
}

QList<ScriptRunRecord> ScriptHistory::latest(int count)
{
    QList<ScriptRunRecord> rows;
    if (!exists())
        return rows;
    TKvQuery query(FDatabase);
    query.SQL = QStringList{QStringLiteral("SELECT %1 FROM AUTOUPDATE_HISTORY ORDER BY RUN_ID DESC").arg(kColumns)};
    query.Open();
    for (; !query.Eof() && rows.size() < count; query.Next())
        rows.append(record(query));
    query.Close();
    for (ScriptRunRecord &row : rows)
        if (row.isUnfinished())
            row.done = settled(row.id);
    return rows;
}

QString ScriptHistory::progressSql(qint64 id, int position)
{
    // Numbers only: nothing of the script's text goes into it.
    return QStringLiteral("INSERT INTO AUTOUPDATE_PROGRESS (RUN_ID, STATEMENT_NR) VALUES (%1, %2)")
        .arg(id)
        .arg(position);
}

void ScriptHistory::passOver(qint64 id, int position)
{
    QString failedAt;
    {
        TKvQuery read(FDatabase);
        read.SQL = QStringList{QStringLiteral("SELECT FAILED_AT FROM AUTOUPDATE_HISTORY WHERE RUN_ID = :id")};
        read.setParam(QStringLiteral("id"), id);
        read.Open();
        if (!read.Eof())
            failedAt = read.fieldAsString(QStringLiteral("FAILED_AT"));
    }
    const QString more = (failedAt.isEmpty() ? QString() : QStringLiteral(",")) + QString::number(position);
    // The first failures are named; a script with very many says so by the count.
    if (!failedAt.endsWith(QStringLiteral("...")))
        failedAt =
            failedAt.size() + more.size() <= kFailedAtLength - 3 ? failedAt + more : failedAt + QStringLiteral("...");
    inTransaction([&] {
        TKvQuery row(FDatabase);
        row.SQL = QStringList{QStringLiteral("UPDATE AUTOUPDATE_HISTORY SET STATEMENTS_FAILED = STATEMENTS_FAILED + 1, "
                                             "FAILED_AT = :at WHERE RUN_ID = :id")};
        row.setParam(QStringLiteral("at"), failedAt);
        row.setParam(QStringLiteral("id"), id);
        row.ExecSQL();
        TKvQuery progress(FDatabase);
        progress.ParamCheck = false;
        progress.SQL = QStringList{progressSql(id, position)};
        progress.ExecSQL();
    });
}

void ScriptProgress::passedOver()
{
    FHistory.passOver(FId, FDone + 1);
    ++FDone;
}

} // namespace klv
