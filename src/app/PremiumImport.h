#pragma once

#include "db/BatchInsert.h"
#include "platform/Folders.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <functional>

namespace klv {

class Dialogs;
class KlvDatabase;
class TCSVReader;

// Loads a premium list (a semicolon-separated file with a YYYYMMDD header) into ARNPREMIE: the
// rows of the installation's own region replace the rows of the same list date, each with a new
// system key, in one transaction. A list that fails while its rows are written leaves the table
// as it was and says why in the download log.
class PremiumImport
{
public:
    using LogSink = std::function<void(const QString &line)>;

    struct Result
    {
        bool imported = false; // the rows were committed
        int rows = 0;          // rows written for the region
        QString failure;       // why the rows were not written; empty otherwise
        bool redone = false;   // a statement of several rows failed, so rows went one at a time
    };

    // `regioCode` is read at each import, so it may be the window's region code that the version
    // probe fills in later. `dialogs` takes the CSV reader's error box, `log` the download log.
    PremiumImport(KlvDatabase &database, const QString &regioCode, Folders folders, Dialogs &dialogs, LogSink log);

    // The script command "premielijst": imports the named file of the installation folder and
    // writes the outcome to the download log. Returns that line when the rows were not written
    // (rolled back), empty otherwise.
    QString LoadPremiumList(const QString &name);

    // Imports the list at `path`. Errors before the rows are written (header date, the delete of
    // the date's rows, counting materials, reserving keys) leave as exceptions; an error while
    // writing rolls back and returns with `failure` set.
    Result ImportPremiumList(const QString &path);

    // The list date of a header field: characters 1-4 year, 5-6 month, 7-8 day; raises
    // EConvertError when they do not form a date.
    static QDate listDate(const QString &headerField);

    // Rows written by one statement where the database takes several; 0, the default, leaves it to
    // the driver. Tests set other sizes to compare the rows with those written one at a time.
    void setRowsPerStatement(int rows) { FRowsPerStatement = rows; }
    // Through ODBC, rows go as parameter arrays, the way every ODBC driver takes, also where the
    // server is known to take a faster way. Tests use it to try that way on the test server.
    void setPortableBatches(bool portable) { FPortableBatches = portable; }

private:
    class MaterialKeys;
    // Starts the insert transaction, removes the rows of the list's date and writes the region's
    // rows, those from `singleFrom` on one at a time; raises RowsFailed (rolled back by the caller).
    // `materials` is null where the database finds the materials' keys itself.
    int writeRows(TCSVReader &reader, const QDateTime &listStart, const QStringList &keys, MaterialKeys *materials,
                  BatchInsert::Batching batching, qsizetype singleFrom);

    KlvDatabase &FDatabase;
    const QString &FRegioCode;
    Folders FFolders;
    Dialogs &FDialogs;
    LogSink FLog;
    int FRowsPerStatement = 0; // the driver's own best
    bool FPortableBatches = false;
};

} // namespace klv
