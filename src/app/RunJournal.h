#pragma once

#include "platform/HttpClient.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace klv {

// What a download run has done, kept in the installation folder while it runs, so that a run
// that stopped anywhere (killed, a cut line, a full disk, a failed command) is finished by the
// next one: it goes on with the release the first one was applying, whatever the installed KLV.EXE
// says meanwhile, and it fetches again what was started but not finished. Written before the run's
// first change and removed once its end-of-run steps are done; every change is written whole to a
// temporary file and moved into place, so the file is always the old state or the new one.
//
// The file is Windows-1252 text: "release=<n>", "list=customer" or "list=general" (the package list
// the release is applied from; a journal of an earlier version has none), then one line per step in
// the order they happened: "started=<entry>", "done=<entry>", "failed=<entry>", and before a package's
// "done" line "copy=<length>,<sha256>,<etag>,<last-modified> <entry>" (the server's copy it fetched,
// each field percent-encoded and empty when unknown), and for a command that runs a script
// "script=<history row> <entry>". Lines it does not know are passed over, so an
// earlier version reads the steps of a later one.
class RunJournal
{
public:
    explicit RunJournal(QString path);

    static QString fileName() { return QStringLiteral("AutoUpdate.journal"); }

    enum class List
    {
        Customer, // the installation's own package list
        General   // whatsnew.klv, taken when the own list cannot be had
    };

    // The server's copy of a package as a run fetched it: its length and validators, and its
    // SHA-256 digest (32 bytes) when a signed list named it.
    struct ServerCopy
    {
        FileValidators http;
        QByteArray sha256;
        bool operator==(const ServerCopy &other) const = default;
    };

    struct Unfinished
    {
        uint16_t release = 0;
        std::optional<List> list; // none in a journal of an earlier version
    };

    // What an unfinished run left behind, when there is a journal that can be read; a file that is
    // not one (cut, written by somebody else) yields nothing and is replaced by begin().
    std::optional<Unfinished> unfinished() const;
    std::optional<uint16_t> unfinishedRelease() const;

    // Carries on with the journal that is there, or starts a new one for `release`. Returns the
    // release the run applies. A journal that the customer's list carries on belongs to that list
    // from then on. Throws EInOutError when the journal cannot be written.
    uint16_t begin(uint16_t release, List list);

    bool isDone(const QString &entry) const { return FDone.contains(entry); }
    // Started by an earlier attempt and not finished: it must be done again whatever it looks like.
    bool isUnfinished(const QString &entry) const { return FStarted.contains(entry) && !FDone.contains(entry); }
    // An earlier attempt of this release stopped at a failing step (not only by being killed), or
    // may have: a journal of an earlier version does not say.
    bool mayHaveFailed() const { return FMayHaveFailed; }
    // The server's copy recorded when `entry` was done; none when it was not recorded.
    std::optional<ServerCopy> fetchedCopy(const QString &entry) const;

    void markStarted(const QString &entry);
    void markDone(const QString &entry);
    void markDone(const QString &entry, const ServerCopy &copy);
    void markFailed(const QString &entry);
    // The history row (its RUN_ID) of the script that `entry`, a command, runs; written before the
    // script's first statement, so that a later attempt can tell whether the script completed
    // before the command could be marked done.
    void markScriptRun(const QString &entry, qint64 run);
    std::optional<qint64> scriptRun(const QString &entry) const;
    // The run's end: the journal goes. Throws EInOutError when it cannot be removed.
    void finish();

    // Names for the steps of a run.
    static QString fileEntry(const QString &key) { return QStringLiteral("KLV:") + key; }
    static QString package(const QString &archive) { return QStringLiteral("SQL:") + archive; }
    static QString command(int position, const QString &line) { return QStringLiteral("CMD:%1:").arg(position) + line; }

private:
    struct Contents
    {
        Unfinished head;
        QStringList lines;
    };
    std::optional<Contents> read() const;
    void write(const QStringList &added);

    QString FPath;
    uint16_t FRelease = 0;
    List FList = List::Customer;
    QStringList FLines;
    QSet<QString> FStarted;
    QSet<QString> FDone;
    QHash<QString, ServerCopy> FCopies;
    QHash<QString, qint64> FScriptRuns;
    bool FMayHaveFailed = false;
};

} // namespace klv
