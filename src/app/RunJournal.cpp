#include "RunJournal.h"

#include "platform/Ansi.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace klv {

namespace {
const QString kRelease = QStringLiteral("release=");
const QString kStarted = QStringLiteral("started=");
const QString kDone = QStringLiteral("done=");
// Far more than a run has steps; a bigger file is not ours.
constexpr qint64 kMaxSize = 4 * 1024 * 1024;
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
    return Contents{uint16_t(release), lines};
}

std::optional<uint16_t> RunJournal::unfinishedRelease() const
{
    const std::optional<Contents> contents = read();
    if (!contents)
        return std::nullopt;
    return contents->release;
}

uint16_t RunJournal::begin(uint16_t release)
{
    FStarted.clear();
    FDone.clear();
    FLines.clear();
    if (const std::optional<Contents> contents = read()) {
        FRelease = contents->release;
        for (const QString &line : contents->lines) {
            if (line.startsWith(kStarted))
                FStarted.insert(line.mid(kStarted.size()));
            else if (line.startsWith(kDone))
                FDone.insert(line.mid(kDone.size()));
            else
                continue; // unknown lines are dropped
            FLines << line;
        }
        return FRelease;
    }
    FRelease = release;
    writeFileAtomically(FPath, ansi::encode(QString(kRelease + QString::number(release) + QStringLiteral("\r\n"))));
    return FRelease;
}

void RunJournal::append(const QString &line)
{
    FLines << line;
    QStringList all{kRelease + QString::number(FRelease)};
    all << FLines;
    ansi::writeLines(FPath, all);
}

void RunJournal::markStarted(const QString &entry)
{
    if (FStarted.contains(entry) && !FDone.contains(entry))
        return;
    FStarted.insert(entry);
    FDone.remove(entry);
    append(kStarted + entry);
}

void RunJournal::markDone(const QString &entry)
{
    FDone.insert(entry);
    append(kDone + entry);
}

void RunJournal::finish()
{
    if (QFile::exists(FPath) && !QFile::remove(FPath))
        throw EInOutError(QStringLiteral("Cannot remove file \"%1\"").arg(QDir::toNativeSeparators(FPath)));
    FLines.clear();
    FStarted.clear();
    FDone.clear();
}

} // namespace klv
