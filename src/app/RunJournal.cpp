#include "RunJournal.h"

#include "platform/Ansi.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "platform/PartialDownload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace klv {

namespace {
const QString kRelease = QStringLiteral("release=");
const QString kList = QStringLiteral("list=");
const QString kStarted = QStringLiteral("started=");
const QString kDone = QStringLiteral("done=");
const QString kFailed = QStringLiteral("failed=");
const QString kCopy = QStringLiteral("copy=");
const QString kScript = QStringLiteral("script=");
const QString kCustomer = QStringLiteral("customer");
const QString kGeneral = QStringLiteral("general");
// Far more than a run has steps; a bigger file is not ours.
constexpr qint64 kMaxSize = 4 * 1024 * 1024;

QString listName(RunJournal::List list)
{
    return list == RunJournal::List::General ? kGeneral : kCustomer;
}

QString field(const QByteArray &value)
{
    return QString::fromLatin1(value.toPercentEncoding());
}

QString copyLine(const QString &entry, const RunJournal::ServerCopy &copy)
{
    return kCopy + QString::number(copy.http.length) + u',' + QString::fromLatin1(copy.sha256.toHex()) + u',' +
           field(copy.http.etag) + u',' + field(copy.http.lastModified) + u' ' + entry;
}

// The entry and the copy of a "copy=" line; nothing when it is damaged. The validators are sent to
// the server again, so only plain ones are taken.
std::optional<std::pair<QString, RunJournal::ServerCopy>> parseCopy(const QString &line)
{
    const qsizetype blank = line.indexOf(u' ');
    if (blank < 0)
        return std::nullopt;
    const QStringList fields = line.mid(kCopy.size(), blank - kCopy.size()).split(u',');
    if (fields.size() != 4)
        return std::nullopt;
    RunJournal::ServerCopy copy;
    bool ok = false;
    copy.http.length = fields[0].toLongLong(&ok);
    copy.sha256 = QByteArray::fromHex(fields[1].toLatin1());
    copy.http.etag = QByteArray::fromPercentEncoding(fields[2].toLatin1());
    copy.http.lastModified = QByteArray::fromPercentEncoding(fields[3].toLatin1());
    const auto plainOrEmpty = [](const QByteArray &v) { return v.isEmpty() || partial::isPlainValue(v); };
    if (!ok || copy.http.length < -1 || (!copy.sha256.isEmpty() && copy.sha256.size() != 32) ||
        !plainOrEmpty(copy.http.etag) || !plainOrEmpty(copy.http.lastModified))
        return std::nullopt;
    return std::pair{line.mid(blank + 1), copy};
}
} // namespace

RunJournal::RunJournal(QString path) : FPath(std::move(path)) {}

std::optional<RunJournal::Contents> RunJournal::read() const
{
    const QFileInfo info(FPath);
    if (!info.isFile() || info.size() > kMaxSize)
        return std::nullopt;
    QStringList lines;
    try {
        lines = ansi::readLines(FPath);
    } catch (const std::exception &) {
        return std::nullopt;
    }
    if (lines.isEmpty() || !lines.first().startsWith(kRelease))
        return std::nullopt;
    bool ok = false;
    const uint release = lines.first().mid(kRelease.size()).toUInt(&ok);
    if (!ok || release == 0 || release > UINT16_MAX)
        return std::nullopt;
    lines.removeFirst();
    Contents contents{{uint16_t(release), std::nullopt}, {}};
    if (!lines.isEmpty() && lines.first().startsWith(kList)) {
        const QString list = lines.takeFirst().mid(kList.size());
        // Another name is no list we know: the journal is taken as one of an earlier version.
        if (list == kGeneral)
            contents.head.list = List::General;
        else if (list == kCustomer)
            contents.head.list = List::Customer;
    }
    contents.lines = lines;
    return contents;
}

std::optional<RunJournal::Unfinished> RunJournal::unfinished() const
{
    const std::optional<Contents> contents = read();
    if (!contents)
        return std::nullopt;
    return contents->head;
}

std::optional<uint16_t> RunJournal::unfinishedRelease() const
{
    const std::optional<Unfinished> head = unfinished();
    if (!head)
        return std::nullopt;
    return head->release;
}

uint16_t RunJournal::begin(uint16_t release, List list)
{
    FStarted.clear();
    FDone.clear();
    FCopies.clear();
    FScriptRuns.clear();
    FLines.clear();
    FMayHaveFailed = false;
    if (const std::optional<Contents> contents = read()) {
        FRelease = contents->head.release;
        FMayHaveFailed = !contents->head.list.has_value();
        // Once the customer's list has carried the release on, the general list no longer may: it
        // does not name what the customer's list added.
        const List before = contents->head.list.value_or(list);
        FList = before == List::Customer || list == List::Customer ? List::Customer : List::General;
        // A copy counts for the "done" line right after it; a "done" without one leaves the copy unknown.
        std::optional<std::pair<QString, ServerCopy>> copy;
        for (const QString &line : contents->lines) {
            if (line.startsWith(kCopy)) {
                copy = parseCopy(line);
                if (copy)
                    FLines << line;
                continue; // a damaged record: the copy counts as unknown
            }
            if (line.startsWith(kStarted)) {
                FStarted.insert(line.mid(kStarted.size()));
                FScriptRuns.remove(line.mid(kStarted.size()));
            } else if (line.startsWith(kDone)) {
                const QString entry = line.mid(kDone.size());
                FDone.insert(entry);
                if (copy && copy->first == entry)
                    FCopies.insert(entry, copy->second);
                else
                    FCopies.remove(entry);
            } else if (line.startsWith(kFailed)) {
                FMayHaveFailed = true;
            } else if (line.startsWith(kScript)) {
                const QString rest = line.mid(kScript.size());
                bool ok = false;
                const qint64 run = rest.section(u' ', 0, 0).toLongLong(&ok);
                if (!ok || run <= 0 || !rest.contains(u' '))
                    continue; // damaged: the script counts as not started
                FScriptRuns.insert(rest.section(u' ', 1), run);
            } else {
                continue; // unknown lines are dropped
            }
            copy.reset();
            FLines << line;
        }
        // A journal of an earlier version keeps saying, in the terms of this one, that a step may
        // have failed.
        if (!contents->head.list)
            write({kFailed});
        else if (contents->head.list != FList)
            write({});
        return FRelease;
    }
    FRelease = release;
    FList = list;
    write({});
    return FRelease;
}

std::optional<RunJournal::ServerCopy> RunJournal::fetchedCopy(const QString &entry) const
{
    const auto found = FCopies.constFind(entry);
    if (found == FCopies.cend())
        return std::nullopt;
    return *found;
}

void RunJournal::write(const QStringList &added)
{
    QStringList all{kRelease + QString::number(FRelease), kList + listName(FList)};
    all << FLines << added;
    ansi::writeLines(FPath, all);
    FLines << added;
}

void RunJournal::markStarted(const QString &entry)
{
    if (FStarted.contains(entry) && !FDone.contains(entry))
        return;
    write({kStarted + entry});
    FStarted.insert(entry);
    FDone.remove(entry);
    FScriptRuns.remove(entry); // a new start runs its script anew
}

void RunJournal::markScriptRun(const QString &entry, qint64 run)
{
    if (FScriptRuns.value(entry) == run)
        return;
    write({kScript + QString::number(run) + u' ' + entry});
    FScriptRuns.insert(entry, run);
}

std::optional<qint64> RunJournal::scriptRun(const QString &entry) const
{
    const auto found = FScriptRuns.constFind(entry);
    if (found == FScriptRuns.cend())
        return std::nullopt;
    return *found;
}

void RunJournal::markDone(const QString &entry)
{
    write({kDone + entry});
    FDone.insert(entry);
    FCopies.remove(entry);
}

void RunJournal::markDone(const QString &entry, const ServerCopy &copy)
{
    // One write: a copy without its "done" line would say nothing, a "done" without the copy would
    // describe an older one.
    write({copyLine(entry, copy), kDone + entry});
    FDone.insert(entry);
    FCopies.insert(entry, copy);
}

void RunJournal::markFailed(const QString &entry)
{
    write({kFailed + entry});
    FMayHaveFailed = true;
}

void RunJournal::finish()
{
    if (QFile::exists(FPath) && !QFile::remove(FPath))
        throw EInOutError(QStringLiteral("Cannot remove file \"%1\"").arg(QDir::toNativeSeparators(FPath)));
    FLines.clear();
    FStarted.clear();
    FDone.clear();
    FCopies.clear();
    FScriptRuns.clear();
    FMayHaveFailed = false;
}

} // namespace klv
