#pragma once

#include "FetchCount.h"
#include "Seams.h"
#include "SqlScriptEngine.h"
#include "packagelist/PackageList.h"
#include "platform/HttpClient.h"

#include <QHash>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace Ui {
class TFrmAutoUpdate;
}
class QLabel;
class QStatusBar;

namespace klv {
class HttpClient;
class ErrorLog;
class WindowKeyboard;
class IniFile;
class PremiumImport;
class RunJournal;
class StagedList;
class DatabaseWorker;
namespace signing {
class ListVerifier;
}

// A script of the conversion run: conversion script n, or SQL update script n.
struct PlannedScript
{
    bool conversion;
    uint16_t number;
};

// What the download run decides for one entry of the package list's file section.
struct FileDecision
{
    QString subfolder;
    QString fileName;
    packagelist::Wanted wanted;
    QString installed; // the installed version or number as text
    bool needed = false;
};
class KlvDatabase;
class ParamList;

// The installation's region code, read by the version probe; the premium list import compares
// against it.
extern QString gRegioCode;

// The updater's one window. It owns the database component, the known-package list and the
// state below; its work is split by subject over several source files.
class TFrmAutoUpdate : public QWidget, private StatementDisplay
{
    Q_OBJECT

public:
    // `arguments` are the command-line arguments after the program name.
    TFrmAutoUpdate(Seams seams, const QStringList &arguments, QWidget *parent = nullptr);
    ~TFrmAutoUpdate() override;

    // Window state, zero or empty at creation.
    int32_t FNotifyWnd1 = 0;
    int32_t FNotifyWnd2 = 0;
    QString FAliasName;
    bool FRunActive = false;
    uint16_t FDbUpdate = 0;
    uint16_t FDbVersion = 0;
    uint16_t FExeDbVersion = 0;
    uint16_t FScriptVersion = 0;
    QString FDeelnemerNr;
    QString FCustomerKey;
    double FStartTime = 0;
    double FSpeed = 0;
    std::unique_ptr<QStringList> FWeHave;
    QString FServerBase;
    QString FListFileName;

    // How the last download run and conversion ended, for a caller that drives the window
    // without a person (the unattended mode).
    bool FRunCompleted = false;   // the end-of-run steps were reached
    bool FConversionDone = false; // the conversion run finished without error
    bool FClosing = false;        // the closing steps have begun
    QString FVersionProblem;      // why the last ShowVersions could not read the versions; empty when it could
    QString FCloseFailure;        // what went wrong while closing (the known-package list not saved)

    // Optional observers of the work, called as it happens.
    std::function<void(const QString &line)> OnDownloadLog;
    std::function<void(const QStringList &sql)> OnStatement;
    std::function<void(int64_t count, int64_t maximum)> OnTransferProgress;

    KlvDatabase *gblKlvDBS = nullptr;
    HttpClient *IdHTTP1 = nullptr;

    // Start-up, first showing and closing.
    void FormCreate(const QStringList &arguments);
    void FormShow();
    void FormClose();
    void Afsluiten1Click();
    void BtnCloseClick();

    // The version probe.
    void gblKlvDBSLogin(KlvDatabase &sender, ParamList &loginParams);
    bool OtherUsersActive();
    void ProbeDatabase();
    uint16_t HighestScriptNumber();
    void ShowVersions();

    // The SQL script engine, on the window's database and "Update" tab.
    void RunConversionScript(uint16_t number) { FScripts->RunConversionScript(number); }
    void RunUpdateScript(uint16_t number, const QString &fileName) { FScripts->RunUpdateScript(number, fileName); }
    void LogError(const QString &message) { FScripts->LogError(message); }

    // The conversion run.
    void BtnUpdateClick();
    uint16_t RequiredDbVersion(uint16_t number) { return FScripts->RequiredDbVersion(number); }
    // The scripts a conversion would run, in order.
    QList<PlannedScript> conversionPlan();
    SqlScriptEngine &scripts() { return *FScripts; }
    ScriptHistory &history() { return *FHistory; }
    void StampAutoUpdateDate();

    // Service mode and one-off scripts.
    void Panel1DblClick();
    void LblDbSqlDblClick();
    bool CheckServicePassword(const QString &text);
    static int32_t servicePassword(const QDate &day);
    void SpdBtnLoadClick();

    // The update server and the updater's own renewal.
    void DownloadFile(const QString &fileName, const QString &serverPath, const QString &subfolder);
    void DownloadSupportFile(const QString &fileName, const QString &subPath, const QString &subfolder);
    static QString UnscrambleServerBase(const QString &stored);
    void BtnNewAUClick();
    void CheckSelfRenewal(const QString &wantedVersion);

    // The download run of "Ophalen".
    void BtnDownloadClick();
    void RunDownload();
    // Fetches the customer's list or the general one, and in a build with the maker's keys its
    // signature; false when the user asks to try again.
    bool fetchPackageList();
    // The fetched list's bytes once the list verifier accepts it; it then replaces the list of the
    // last accepted run and raises the kept serial, unless `install` is false (a look that must
    // change nothing). A refused list is removed, said in the download log and AuError.txt, and
    // its reason thrown.
    QByteArray acceptedPackageList(bool install = true);
    FileDecision decideFileEntry(const IniFile &list, const QString &release, const QString &key);
    QString knownPackageNumber(const QString &fileName) const;

    // Update script commands, and the download log they write to.
    void RunScriptLine(const QString &line);
    void UnzipArchive(const QString &name, const QString &subfolder);
    void ExecQueryFile(const QString &name);
    void LoadPremiumList(const QString &fileName);
    void AddDownloadLog(const QString &line);

    // Transfer progress, driven by the HTTP client's work events (mode 0 reading, 1 writing).
    void WorkBegin(int64_t workCountMax);
    void Work(int workMode, int64_t workCount);
    void WorkEnd();

    // The application's standard error display for an action that raised; the silent abort
    // shows nothing.
    void guarded(const std::function<void()> &action);
    // Lets the window repaint during long work.
    static void processMessages();
    // Writes a failure to the download log and AuError.txt; a log that cannot be written does
    // not hide the failure itself, which the caller still reports.
    void reportFailure(const QString &text);
    void logErrorQuietly(const QString &text);

    // One user operation (a download run, the updater's renewal, database scripts) for as long as
    // it is on the stack. The buttons that would start another one are disabled, and for database
    // work "Sluiten" too. A close during a transfer operation stops it at its next step and is
    // carried out once it has unwound, so the window is never freed under it; a close during
    // database work is refused, so that Kelvora never starts on a half-converted database.
    class Operation
    {
    public:
        enum class Kind
        {
            Transfer,
            Database
        };
        Operation(TFrmAutoUpdate &window, Kind kind);
        ~Operation();
        Operation(const Operation &) = delete;
        Operation &operator=(const Operation &) = delete;

    private:
        TFrmAutoUpdate &FWindow;
        bool FWasConverting;
    };
    bool operationRunning() const { return FOperationDepth > 0; }

    const Folders &folders() const { return FSeams.folders; }
    Dialogs &dialogs() { return FSeams.dialogs; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void openChosenAlias(const QStringList &arguments);
    void loadKnownPackages();
    QLabel *statusPanel(QStatusBar *bar, int index) const;
    void addStatusPanels(QStatusBar *bar);
    void connectHandlers();
    void showScriptNumber(Runner runner, uint16_t number) override;
    void showStatement(const QStringList &sql) override;
    void keepAlive() override;
    // Script statements from now on on a connection and thread of their own.
    void useDatabaseWorker();
    ChangedScript changedScriptChoice(const QString &fileName, int settled);
    void runConversionLoop();
    // Disables "Update" and "Sluiten" and asks whether a backup was made; false (with the
    // reminder shown and "Sluiten" enabled again) when it was not.
    bool startScriptWork();
    void runDownloadSteps();
    // A GET from the server's base + `serverPath` (with the file name) into `destination`, with
    // the file checked against `expected` when given.
    void fetchFromServer(const QString &serverPath, const QString &destination, const ExpectedFile *expected,
                         const TransferLimits &limits = {});
    void fetchListFile(const QString &fileName, const QString &destination, qint64 limit);
    void fetchListSignature(const StagedList &staged);
    QString listTooLarge(const ETooLarge &refusal) const;
    QString maskedListName() const;
    void noteLostSerial();
    void handleFileEntry(const IniFile &list, const QString &release, const QString &key);
    // Brings the entry's file up to date with a patch from the installed copy when the list has one
    // for it; false when the whole package is to be fetched instead (said in the log).
    bool patchFileEntry(const IniFile &list, const QString &release, const FileDecision &d, const QString &archive);
    void setKnownPackageNumber(const QString &fileName, int32_t number);
    void finishRun();
    bool conversionPlanFits();
    void execProgram(const QString &line, const QString &argument);
    // A command that cannot be carried out stops the run: reported, then raised.
    [[noreturn]] void scriptFailure(const QString &text);
    void saveKnownPackages();
    // Writes the known-package list now; a failure is reported and raised.
    void storeKnownPackages();
    void startMainProgram();
    // A button's state as the user will find it: while an operation runs, the state it gets
    // back when the operation ends.
    void setButtonEnabled(QWidget *button, bool enabled);
    bool buttonEnabled(const QWidget *button) const;
    void beginOperation(Operation::Kind kind);
    void endOperation();

    Seams FSeams;
    std::unique_ptr<Ui::TFrmAutoUpdate> ui;
    std::unique_ptr<ErrorLog> FErrorLog;
    std::unique_ptr<ScriptHistory> FHistory;
    std::unique_ptr<DatabaseWorker> FWorker; // script statements run there, the window meanwhile answers
    std::unique_ptr<SqlScriptEngine> FScripts;
    std::unique_ptr<PremiumImport> FPremium;
    std::unique_ptr<RunJournal> FJournal; // the download run under way
    std::unique_ptr<signing::ListVerifier> FListVerifier;
    std::optional<QByteArray> FListSignature; // the fetched list's signature, when it could be fetched
    QString FListSignatureProblem;            // why it could not
    std::optional<QStringList> FStoredWeHave; // the known-package list as last written
    bool FShown = false;
    WindowKeyboard *FKeyboard = nullptr; // owned by the window as a child object
    QString FShownFailure;               // the last failure shown, so that the same one is not shown twice in a row
    int FOperationDepth = 0;
    bool FConverting = false;                  // database scripts run: a close is refused
    bool FCloseRequested = false;              // closed during an operation: the closing steps wait for its end
    QHash<const QWidget *, bool> FIdleEnabled; // button states to restore when the operation ends
    // Transfer progress reaches the screen at most this often; the last texts are kept and
    // shown when the transfer ends, so the user finally sees the same.
    qint64 FLastPaintMs = -1;
    QString FPendingSpeedText;
    QString FPendingTimeText;
    int64_t FPendingPosition = 0;
    int64_t FWorkBase = 0;  // bytes a resumed transfer started from
    int64_t FWorkTotal = 0; // the length the server announced; 0 or less when it did not
    FetchCount FFetchCount; // which package of the run is being fetched
    // The packages this run is expected to fetch, for "bestand 3 van 6".
    int plannedFetches(const IniFile &list, const QString &release);
    bool FPaintPending = false;
    void paintProgress();
};

} // namespace klv
