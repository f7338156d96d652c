#include "PatchStep.h"

#include "delta/FilePatch.h"
#include "platform/FileOps.h"
#include "platform/Sha256.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace klv::patchstep {

namespace {
const QString kNoCopy = QStringLiteral("er is geen eerdere versie van het bestand");
const QString kTooLarge = QStringLiteral("het bestand is te groot voor een patch");
const QString kOtherCopy = QStringLiteral("de geïnstalleerde versie is niet die waarvoor de patch is gemaakt");
const QString kUnreadable = QStringLiteral("de geïnstalleerde versie kan niet worden gelezen");
const QString kNotMade = QStringLiteral("de patch maakt niet het bestand dat de pakketlijst noemt");

QByteArray digestOf(QFile &file)
{
    Sha256 hasher;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(block.data(), block.size());
        if (got < 0)
            return {};
        if (got == 0)
            return hasher.result();
        hasher.add(block.constData(), size_t(got));
    }
}
} // namespace

Choice choose(const QList<packagelist::PatchLine> &lines, const QString &fileName, const QString &installedPath)
{
    const bool any = std::any_of(lines.begin(), lines.end(), [&](const packagelist::PatchLine &line) {
        return line.fileName.compare(fileName, Qt::CaseInsensitive) == 0;
    });
    if (!any)
        return {};
    const QFileInfo info(installedPath);
    if (!info.isFile())
        return {std::nullopt, kNoCopy};
    if (info.size() > delta::kMaxFileSize)
        return {std::nullopt, kTooLarge};
    QFile installed(installedPath);
    if (!installed.open(QIODevice::ReadOnly))
        return {std::nullopt, kUnreadable};
    const QByteArray digest = digestOf(installed);
    if (digest.isEmpty())
        return {std::nullopt, kUnreadable};
    if (const packagelist::PatchLine *line = packagelist::findPatch(lines, fileName, digest))
        return {*line, QString()};
    return {std::nullopt, kOtherCopy};
}

void install(const QString &patchPath, const QString &installedPath, const packagelist::PatchLine &line)
{
    const QFileInfo target(installedPath);
    QFile base(installedPath);
    QFile patch(patchPath);
    if (!base.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("%1 kan niet worden gelezen: %2").arg(installedPath, base.errorString()));
    if (!patch.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("%1 kan niet worden gelezen: %2").arg(patchPath, patch.errorString()));
    QString written;
    {
        // The name of an extraction's temporary file: one that a stop leaves is cleared by the next run.
        QTemporaryFile temp(target.absolutePath() + QStringLiteral("/ZLBXXXXXX.tmp"));
        if (!temp.open())
            throw EInOutError(
                QStringLiteral("%1 kan niet worden gemaakt: %2").arg(temp.fileTemplate(), temp.errorString()));
        try {
            const delta::Applied made = delta::applyPatch(base, patch, temp, line.resultLength);
            if (made.length != line.resultLength || made.sha256 != line.resultSha256)
                throw delta::EPatchError(kNotMade);
            if (!temp.flush() || temp.error() != QFileDevice::NoError)
                throw EInOutError(temp.errorString());
        } catch (const EInOutError &e) {
            // A failed write says why; a full disk is what a person can act on.
            throw EInOutError(writeFailureReason(temp.fileName(), e.message()), volumeFull(temp.fileName()));
        }
        temp.setPermissions(target.permissions());
        written = temp.fileName();
        temp.setAutoRemove(false);
    } // a temporary file stays open until it is destroyed, and Windows moves no open file
    base.close();
    if (const QString error = replaceFile(written, installedPath); !error.isEmpty()) {
        QFile::remove(written);
        throw EInOutError(QStringLiteral("%1 kan niet worden vervangen: %2").arg(installedPath, error));
    }
}

} // namespace klv::patchstep
