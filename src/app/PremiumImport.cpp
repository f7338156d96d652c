#include "PremiumImport.h"

#include "csv/CSVReader.h"
#include "db/BatchInsert.h"
#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "db/OdbcAccess.h"
#include "db/SysKeys.h"
#include "db/TextRoutines.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <optional>
#include <vector>

namespace klv {

namespace {
// Download log lines.
QString logImported()
{
    return QStringLiteral("Premielijst");
}
QString logMissing(const QString &path)
{
    return QStringLiteral("Premielijst: ") + path + QStringLiteral(" bestaat niet.");
}
QString logNotImported(const QString &path, const QString &reason)
{
    return QStringLiteral("Premielijst: ") + path + QStringLiteral(" niet ingelezen (") + reason + QStringLiteral(").");
}

// Field positions of a row.
enum Field
{
    fRegio = 0,
    fMaterial = 1,
    fNorm = 3,
    fUnit = 4,
    fDemontage = 5,
    fInzamel = 6,
    fTotaal = 7
};

// An empty text is bound as an empty text, never as null.
QString text(const QString &value)
{
    return value.isNull() ? QStringLiteral("") : value;
}

void rollbackQuietly(KlvDatabase &database)
{
    try {
        database.Rollback();
    } catch (const Exception &) {
        // The error that led here is the one to report.
    }
}

const QStringList kColumns{
    QStringLiteral("SSYSKEY_PRM"),  QStringLiteral("SSYSKEY_MAT"),  QStringLiteral("SREGIO_PRM"),
    QStringLiteral("NNORM_PRM"),    QStringLiteral("SEENHEID_PRM"), QStringLiteral("NDEMONTAGE_PRM"),
    QStringLiteral("NINZAMEL_PRM"), QStringLiteral("NTOTAAL_PRM"),  QStringLiteral("DINGANG_PRM")};

// How the rows of an import went wrong: the line of the row, or of the first row of a statement of
// several rows, and the error.
struct RowsFailed
{
    qsizetype firstRow; // of the rows written, counted from 0
    int line;
    bool several; // a statement of several rows failed; which row is not known
    std::exception_ptr error;
};

QString messageOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return exceptionMessage(e);
    }
}
} // namespace

// The material keys by code, where the database does not find them as the rows are written. The
// database's own comparison decides: each distinct code is asked for once; codes known beforehand
// (prefetch) are found by reading the table, or by asking many in one question where the table is
// much larger than the list. Of several materials with one code the first the database returns
// counts, as with the query per code.
class PremiumImport::MaterialKeys
{
public:
    explicit MaterialKeys(KlvDatabase &database) : FDatabase(database), FQuery(database)
    {
        FQuery.SQL = QStringList{QStringLiteral("Select SSYSKEY_MAT"), QStringLiteral("From ARNMATERIAAL"),
                                 QStringLiteral("Where SCODE_MAT = :scode_mat")};
        FQuery.Prepare();
    }

    // Asks for the keys of these codes, many in one question. A code that the answer holds as it
    // is written takes that material's key: the database's comparison finds a code equal to
    // itself, so that row is one that the question for that code alone may return. The others,
    // which the database may still find by rules of its own (case, blanks), are asked for on
    // their own when their rows come.
    void prefetch(const QStringList &codes)
    {
        QStringList unknown;
        QSet<QString> wanted;
        wanted.reserve(codes.size());
        for (const QString &code : codes)
            if (!FAsked.contains(code) && !wanted.contains(code)) {
                wanted.insert(code);
                unknown << code;
            }
        if (unknown.isEmpty())
            return;
        // A code leaves `wanted` when an answer holds it as written, so the first material with
        // it counts.
        FAsked.reserve(FAsked.size() + unknown.size());
        const auto take = [&](const QString &code, const QString &key) {
            if (wanted.remove(code))
                FAsked.insert(code, key);
        };
        if (materialCount() <= kRowsReadPerCode * unknown.size()) {
            // Fewer questions: the whole table in one answer.
            forEachMaterial(take);
            return;
        }
        for (qsizetype from = 0; from < unknown.size(); from += kCodesPerQuestion)
            forEachMaterial(take, unknown.mid(from, kCodesPerQuestion));
    }

    // The key of the material with this code; empty when there is none.
    QString key(const QString &code)
    {
        // The server's answer for a code is the same for every row that names it.
        if (const auto known = FAsked.constFind(code); known != FAsked.cend())
            return *known;
        FQuery.setParam(QStringLiteral("scode_mat"), code);
        FQuery.Open();
        const QString key = FQuery.fieldAsString(QStringLiteral("SSYSKEY_MAT"));
        FQuery.Close();
        FAsked.insert(code, key);
        return key;
    }

private:
    static constexpr qsizetype kCodesPerQuestion = 500;
    // Reading a material's row costs about half of asking for one code among many (measured over
    // ODBC): up to this many rows per code wanted, the whole table is read.
    static constexpr qsizetype kRowsReadPerCode = 2;

    // Each material with a code, or with one of `codes` when they are given, as the database
    // compares them: its code and key, in the order the database returns them.
    void forEachMaterial(const std::function<void(const QString &code, const QString &key)> &take,
                         const QStringList &codes = {})
    {
        QString sql = QStringLiteral("Select SCODE_MAT, SSYSKEY_MAT From ARNMATERIAAL");
        const bool throughOdbc = FDatabase.isOdbc();
        if (!codes.isEmpty()) {
            QStringList markers;
            for (qsizetype i = 0; i < codes.size(); ++i)
                markers << (throughOdbc ? QStringLiteral("?") : QStringLiteral(":c%1").arg(i));
            sql += QStringLiteral(" Where SCODE_MAT In (%1)").arg(markers.join(QStringLiteral(", ")));
        }
        if (throughOdbc) {
            odbc::readTexts(
                FDatabase.connection(), sql, 2,
                [&](const QString *values) {
                    if (!values[0].isNull())
                        take(values[0], values[1]);
                },
                codes);
            return;
        }
        TKvQuery query(FDatabase);
        query.SQL = QStringList{sql};
        for (qsizetype i = 0; i < codes.size(); ++i)
            query.setParam(QStringLiteral("c%1").arg(i), codes[i]);
        query.UniDirectional = true;
        query.Open();
        for (; !query.Eof(); query.Next()) {
            const QVariant code = query.Field(0);
            if (!code.isNull())
                take(code.toString(), query.Field(1).toString());
        }
    }

    qsizetype materialCount()
    {
        TKvQuery count(FDatabase);
        count.SQL = QStringList{QStringLiteral("Select Count(*) as MATCOUNT"), QStringLiteral("From ARNMATERIAAL")};
        count.Open();
        return count.fieldAsInteger(QStringLiteral("MATCOUNT"));
    }

    KlvDatabase &FDatabase;
    TKvQuery FQuery;
    QHash<QString, QString> FAsked; // by code as written in the list
};

PremiumImport::PremiumImport(KlvDatabase &database, const QString &regioCode, Folders folders, Dialogs &dialogs,
                             LogSink log)
    : FDatabase(database), FRegioCode(regioCode), FFolders(std::move(folders)), FDialogs(dialogs), FLog(std::move(log))
{
}

QString PremiumImport::LoadPremiumList(const QString &name)
{
    const QString path = FFolders.inInstallDir(name);
    if (!QFileInfo(path).isFile()) {
        FLog(logMissing(path));
        return {};
    }
    const Result result = ImportPremiumList(path);
    if (result.failure.isEmpty()) {
        FLog(logImported());
        return {};
    }
    const QString line = logNotImported(path, result.failure);
    FLog(line);
    return line;
}

QDate PremiumImport::listDate(const QString &headerField)
{
    const int year = strToInt(headerField.mid(0, 4));
    const int month = strToInt(headerField.mid(4, 2));
    const int day = strToInt(headerField.mid(6, 2));
    const QDate date(year, month, day);
    if (year < 1 || year > 9999 || !date.isValid())
        throw EConvertError(QStringLiteral("Invalid argument to date encode"));
    return date;
}

PremiumImport::Result PremiumImport::ImportPremiumList(const QString &path)
{
    Result result;
    TCSVReader reader(FDialogs); // closes its file on every way out
    reader.setCSVFile(path);
    if (!QFileInfo(path).isFile())
        return result;
    reader.setDelimiter(' ');
    reader.setSeparator(';');
    reader.Open();
    const QDateTime listStart(listDate(reader.GetField(0)), QTime(0, 0));

    // Every official material may get a row; each row takes one key.
    int32_t budget = 0;
    {
        TKvQuery count(FDatabase);
        count.SQL = QStringList{QStringLiteral("Select Count(*) as MATCOUNT"), QStringLiteral("From ARNMATERIAAL"),
                                QStringLiteral("Where SISOFFICIAL_MAT = 'T'")};
        count.Prepare();
        count.Open();
        budget = count.fieldAsInteger(QStringLiteral("MATCOUNT"));
    }
    // Where the database finds each row's material as the rows are written, nothing is asked
    // beforehand.
    const BatchInsert::Batching batching =
        FPortableBatches ? BatchInsert::Batching::Portable : BatchInsert::Batching::Best;
    std::optional<MaterialKeys> materials;
    if (!BatchInsert::looksUp(FDatabase, batching))
        materials.emplace(FDatabase);
    if (materials) {
        // The region's codes, read ahead, so that the database is asked for many at once. A row
        // that cannot be read here fails where it is written.
        QStringList codes;
        for (reader.ReadLine(); !reader.Eof(); reader.ReadLine()) {
            try {
                if (reader.GetField(fRegio) == FRegioCode)
                    codes << text(reader.GetField(fMaterial));
            } catch (const EStringListError &) {
            }
        }
        materials->prefetch(codes);
        reader.Close();
        reader.Open();
    }

    // The keys are committed in a transaction of their own; they stay used even when the rows
    // are not written.
    QStringList keys;
    AllocateSysKeys(FDatabase, budget, keys);

    // When a statement of several rows fails, the import is rolled back and run once more with
    // the rows of that statement one at a time, so that the row and the error reported are the
    // ones a row-by-row import meets.
    qsizetype singleFrom = -1;
    for (;;) {
        int rows = 0;
        try {
            rows = writeRows(reader, listStart, keys, materials ? &*materials : nullptr, batching, singleFrom);
        } catch (const RowsFailed &failed) {
            // writeRows rolled back.
            if (failed.several && singleFrom < 0) {
                singleFrom = failed.firstRow;
                result.redone = true;
                reader.Close();
                reader.Open();
                continue;
            }
            result.failure = QStringLiteral("regel %1: %2").arg(failed.line).arg(messageOf(failed.error));
            return result;
        }
        try {
            FDatabase.Commit();
        } catch (const std::exception &e) {
            rollbackQuietly(FDatabase);
            result.failure = exceptionMessage(e);
            return result;
        }
        result.rows = rows;
        result.imported = true;
        return result;
    }
}

int PremiumImport::writeRows(TCSVReader &reader, const QDateTime &listStart, const QStringList &keys,
                             MaterialKeys *materials, BatchInsert::Batching batching, qsizetype singleFrom)
{
    // The earlier rows of this date go in the same transaction as the new ones, so that a list
    // that fails leaves them in place.
    FDatabase.StartTransaction();
    TKvQuery remove(FDatabase);
    remove.SQL =
        QStringList{QStringLiteral("Delete From ARNPREMIE"), QStringLiteral("Where DINGANG_PRM = :dingang_prm")};
    try {
        remove.setParam(QStringLiteral("dingang_prm"), listStart);
        remove.ExecSQL();
    } catch (...) {
        rollbackQuietly(FDatabase);
        throw;
    }

    BatchInsert insert(FDatabase, QStringLiteral("ARNPREMIE"), kColumns, singleFrom == 0 ? 1 : FRowsPerStatement,
                       batching);
    if (!materials)
        insert.setLookup(1,
                         {QStringLiteral("ARNMATERIAAL"), QStringLiteral("SSYSKEY_MAT"), QStringLiteral("SCODE_MAT")});
    qsizetype written = 0;    // rows handed to the insert
    qsizetype batchFirst = 0; // the first of them not in the database yet
    int batchLine = 0;        // its line
    const auto flush = [&] {
        try {
            insert.flush();
        } catch (...) {
            throw RowsFailed{batchFirst, batchLine, written - batchFirst > 1, std::current_exception()};
        }
        batchFirst = written;
    };

    // Rolled back here, while the statements are still there: they are freed on the server when
    // they go, which an aborted transaction would refuse.
    try {
        int line = 1; // the header
        for (;;) {
            std::vector<QVariant> row;
            try {
                reader.ReadLine();
                ++line;
                if (reader.Eof())
                    break;
                if (reader.GetField(fRegio) != FRegioCode)
                    continue;
                // The material's code, where the database finds its key.
                const QString code = text(reader.GetField(fMaterial));
                const QString material = materials ? text(materials->key(code)) : code;
                if (written >= keys.size())
                    throw Exception(QStringLiteral("meer regels voor regio %1 dan gereserveerde sleutels (%2)")
                                        .arg(FRegioCode)
                                        .arg(keys.size()));
                row = {keys[written],
                       material,
                       text(FRegioCode),
                       TextToFloat(reader.GetField(fNorm)),
                       text(reader.GetField(fUnit)),
                       TextToFloat(reader.GetField(fDemontage)),
                       TextToFloat(reader.GetField(fInzamel)),
                       TextToFloat(reader.GetField(fTotaal)),
                       listStart};
            } catch (const std::exception &) {
                // One at a time, the rows before this one would have been written first.
                const std::exception_ptr error = std::current_exception();
                flush();
                throw RowsFailed{written, line, false, error};
            }
            if (written == singleFrom) {
                flush();
                insert.setRowsPerStatement(1);
            }
            if (written == batchFirst)
                batchLine = line;
            insert.add(std::move(row));
            ++written;
            if (insert.full())
                flush();
        }
        flush();
    } catch (...) {
        rollbackQuietly(FDatabase);
        throw;
    }
    return int(written);
}

} // namespace klv
