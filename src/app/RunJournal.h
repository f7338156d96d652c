#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace klv {

// What a download run has done, kept in the installation folder while it runs, so that a run
// that stopped anywhere (killed, a cut line, a full disk) is finished by the next one: it goes on
// with the release the first one was applying, whatever the installed KLV.EXE says meanwhile, and
// it fetches again what was started but not finished. Written before the run's first change and
// removed once its end-of-run steps are done; every change is written whole to a temporary file
// and moved into place, so the file is always the old state or the new one.
//
// The file is Windows-1252 text: "release=<n>", then one "started=<entry>" or "done=<entry>"
// line per step in the order they happened.
class RunJournal
{
public:
    explicit RunJournal(QString path);

    static QString fileName() { return QStringLiteral("AutoUpdate.journal"); }

    // The release an unfinished run left behind, when there is a journal that can be read; a file
    // that is not one (cut, written by somebody else) yields nothing and is replaced by begin().
    std::optional<uint16_t> unfinishedRelease() const;

    // Carries on with the journal that is there, or starts a new one for `release`. Returns the
    // release the run applies. Throws EInOutError when the journal cannot be written.
    uint16_t begin(uint16_t release);

    bool isDone(const QString &entry) const { return FDone.contains(entry); }
    // Started by an earlier attempt and not finished: it must be done again whatever it looks like.
    bool isUnfinished(const QString &entry) const { return FStarted.contains(entry) && !FDone.contains(entry); }

    void markStarted(const QString &entry);
    void markDone(const QString &entry);
    // The run's end: the journal goes. Throws EInOutError when it cannot be removed.
    void finish();

    // Names for the steps of a run.
    static QString fileEntry(const QString &key) { return QStringLiteral("KLV:") + key; }
    static QString package(const QString &archive) { return QStringLiteral("SQL:") + archive; }
    static QString command(int position, const QString &line) { return QStringLiteral("CMD:%1:").arg(position) + line; }

private:
    struct Contents
    {
        uint16_t release = 0;
        QStringList lines;
    };
    std::optional<Contents> read() const;
    void append(const QString &line);

    QString FPath;
    uint16_t FRelease = 0;
    QStringList FLines;
    QSet<QString> FStarted;
    QSet<QString> FDone;
};

} // namespace klv
