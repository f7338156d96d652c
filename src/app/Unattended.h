#pragma once

#include "platform/Dialogs.h"
#include "platform/ProxyChoice.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>

namespace klv {

class TFrmAutoUpdate;

// The command line of the program: three optional positional arguments as the main
// application passes them, and the options of an unattended run.
struct CommandLine
{
    QStringList positional; // handle1, handle2, alias; further ones are ignored
    bool unattended = false;
    bool convert = false;
    bool backupMade = false;
    bool noRestart = false;
    bool dryRun = false;
    bool history = false;
    QString logFile;
    // The slowest transfer that is let go on, in bytes a second over a window of seconds; -1 keeps
    // the client's own (1024 over 120), a rate of 0 turns the limit off.
    int64_t minRate = -1;
    int rateWindow = -1;
    bool help = false;
    // --proxy URL or --no-proxy; neither: KLV_PROXY, else the system's settings.
    std::optional<ProxyChoice> proxy;
    QString error; // wrong usage; empty when the line is fine

    static CommandLine parse(const QStringList &arguments);
    // The proxy to use: the command line's, else `environment` (KLV_PROXY: an address, or "none"),
    // else the system's settings. Sets `error` when KLV_PROXY is not usable.
    ProxyChoice proxyChoice(const QString &environment, QString &error) const;
    static QString helpText();
};

// Lines to standard output (UTF-8) and, when asked, appended to a log file, as they happen.
class ConsoleOutput
{
public:
    explicit ConsoleOutput(const QString &logFile);
    bool isOpen() const { return FLogPath.isEmpty() || FLog.isOpen(); }
    void line(const QString &text);
    // The customer key is the server password: from now on it is left out of every line. The
    // package list's name shows as "whatsnew…klv".
    void hideCustomerKey(const QString &key);
    QString withoutCustomerKey(QString text) const;
    static constexpr qsizetype kShortestHiddenKey = 4;

private:
    QString FCustomerKey;
    QString FLogPath;
    QFile FLog;
};

// Dialogs for a run without a person: every message is written out with its kind, questions
// get fixed answers (the package list is retried a few times with a pause, the backup question is
// answered Yes only when the administrator said a backup was made), and nothing waits.
class UnattendedDialogs : public Dialogs
{
public:
    UnattendedDialogs(ConsoleOutput &out, bool backupMade, int retries, int retryPauseMs);
    void message(Kind kind, const QString &text) override;
    bool confirm(const QString &text) override;
    QString openFile(const QString &filter, const QString &initialDir) override;

private:
    ConsoleOutput &FOut;
    bool FBackupMade;
    int FRetriesLeft;
    int FRetryPauseMs;
};

// Exit statuses of an unattended run.
enum ExitStatus
{
    ExitDone = 0,
    ExitFailed = 1,
    ExitUsage = 2,
    ExitConversionWaiting = 10
};

// Drives the window like a person would: "Ophalen", then "Update" when asked to convert.
int runUnattended(TFrmAutoUpdate *window, const CommandLine &options, ConsoleOutput &out);
// Shows what a run would do without doing it: the list's entries and what would be fetched.
int runDryRun(TFrmAutoUpdate *window, ConsoleOutput &out);

} // namespace klv
