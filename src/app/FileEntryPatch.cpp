// A file entry of the download run brought up with a patch from the installed copy, or handed
// back to the run for its whole package.
#include "AutoUpdateFrm.h"

#include "DownloadLogTexts.h"
#include "FailureText.h"
#include "PatchStep.h"
#include "platform/Exceptions.h"
#include "platform/IniFile.h"

#include <QFile>

namespace klv {

namespace {
const QString kPatched = QStringLiteral("Bijgewerkt met patch: %1");
const QString kNoPatchFits = QStringLiteral("Geen patch voor %1: %2. Het hele pakket %3 wordt opgehaald.");
const QString kPatchFailed = QStringLiteral("Patch %1 niet gebruikt: %2. Het hele pakket %3 wordt opgehaald.");
} // namespace

bool TFrmAutoUpdate::patchFileEntry(const IniFile &list, const QString &release, const FileDecision &d,
                                    const QString &archive)
{
    const QString installed = folders().inInstallDir(d.subfolder + d.fileName);
    const patchstep::Choice choice =
        patchstep::choose(packagelist::readPatches(list, release).lines, d.fileName, installed);
    if (!choice.line) {
        if (!choice.whyNot.isEmpty())
            AddDownloadLog(kNoPatchFits.arg(d.subfolder + d.fileName, choice.whyNot, archive));
        return false;
    }
    const QString patch = folders().inInstallDir(choice.line->name);
    try {
        AddDownloadLog(kDownloadLog + choice.line->name);
        DownloadSupportFile(choice.line->name, QStringLiteral("klv") + release + u'/', QString());
        if (!FRunActive) {
            QFile::remove(patch);
            return false;
        }
        patchstep::install(patch, installed, *choice.line);
        QFile::remove(patch);
        AddDownloadLog(kPatched.arg(d.subfolder + d.fileName));
        return true;
    } catch (const std::exception &e) {
        QFile::remove(patch);
        if (!FRunActive || dynamic_cast<const EAbort *>(&e))
            throw; // the window is closing
        logErrorQuietly(exceptionMessage(e));
        AddDownloadLog(kPatchFailed.arg(choice.line->name, explainFailure(e).text, archive));
        FFetchCount.again();
        return false;
    }
}

} // namespace klv
