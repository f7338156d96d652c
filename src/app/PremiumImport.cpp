#include "PremiumImport.h"

#include "csv/CSVReader.h"
#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "db/SysKeys.h"
#include "db/TextRoutines.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStringList>

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
} // namespace

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

    TKvQuery remove(FDatabase);
    remove.SQL =
        QStringList{QStringLiteral("Delete From ARNPREMIE"), QStringLiteral("Where DINGANG_PRM = :dingang_prm")};
    remove.Prepare();
    TKvQuery material(FDatabase);
    material.SQL = QStringList{QStringLiteral("Select SSYSKEY_MAT"), QStringLiteral("From ARNMATERIAAL"),
                               QStringLiteral("Where SCODE_MAT = :scode_mat")};
    material.Prepare();
    TKvQuery insert(FDatabase);
    insert.SQL = QStringList{
        QStringLiteral("Insert Into ARNPREMIE"),
        QStringLiteral("  (SSYSKEY_PRM, SSYSKEY_MAT, SREGIO_PRM, NNORM_PRM, SEENHEID_PRM, NDEMONTAGE_PRM, "
                       "NINZAMEL_PRM, NTOTAAL_PRM, DINGANG_PRM)"),
        QStringLiteral("Values"),
        QStringLiteral("  (:ssyskey_prm, :ssyskey_mat, :sregio_prm, :nnorm_prm, :seenheid_prm, :ndemontage_prm, "
                       ":ninzamel_prm, :ntotaal_prm, :dingang_prm)")};
    insert.Prepare();

    // The keys are committed in a transaction of their own; they stay used even when the rows
    // are not written.
    QStringList keys;
    AllocateSysKeys(FDatabase, budget, keys);

    // The earlier rows of this date go in the same transaction as the new ones, so that a list
    // that fails leaves them in place.
    FDatabase.StartTransaction();
    try {
        remove.setParam(QStringLiteral("dingang_prm"), listStart);
        remove.ExecSQL();
    } catch (...) {
        rollbackQuietly(FDatabase);
        throw;
    }

    int line = 1; // the header
    try {
        qsizetype nextKey = 0;
        reader.ReadLine();
        ++line;
        while (!reader.Eof()) {
            if (reader.GetField(fRegio) == FRegioCode) {
                material.setParam(QStringLiteral("scode_mat"), text(reader.GetField(fMaterial)));
                material.Open();
                const QString materialKey = material.fieldAsString(QStringLiteral("SSYSKEY_MAT"));
                material.Close();

                if (nextKey >= keys.size())
                    throw Exception(QStringLiteral("meer regels voor regio %1 dan gereserveerde sleutels (%2)")
                                        .arg(FRegioCode)
                                        .arg(keys.size()));
                insert.setParam(QStringLiteral("ssyskey_mat"), text(materialKey));
                insert.setParam(QStringLiteral("ssyskey_prm"), keys[nextKey++]);
                insert.setParam(QStringLiteral("sregio_prm"), text(FRegioCode));
                insert.setParam(QStringLiteral("nnorm_prm"), TextToFloat(reader.GetField(fNorm)));
                insert.setParam(QStringLiteral("seenheid_prm"), text(reader.GetField(fUnit)));
                insert.setParam(QStringLiteral("ndemontage_prm"), TextToFloat(reader.GetField(fDemontage)));
                insert.setParam(QStringLiteral("ninzamel_prm"), TextToFloat(reader.GetField(fInzamel)));
                insert.setParam(QStringLiteral("ntotaal_prm"), TextToFloat(reader.GetField(fTotaal)));
                insert.setParam(QStringLiteral("dingang_prm"), listStart);
                insert.ExecSQL();
                ++result.rows;
            }
            reader.ReadLine();
            ++line;
        }
        line = 0; // past the rows
        FDatabase.Commit();
        result.imported = true;
    } catch (const std::exception &e) {
        rollbackQuietly(FDatabase);
        result.rows = 0;
        result.failure =
            line > 0 ? QStringLiteral("regel %1: %2").arg(line).arg(exceptionMessage(e)) : exceptionMessage(e);
    }
    return result;
}

} // namespace klv
