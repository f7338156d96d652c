// Fetching files from the update server, and the renewal of the updater itself.
#include "AutoUpdateFrm.h"

#include "platform/HttpClient.h"
#include "platform/ServerAddress.h"
#include "verinfo/VerInfoRes.h"

#include <QUrl>

namespace klv {

namespace {
const QString kNewUpdaterQuestion = QStringLiteral("Nieuwe autoupdate ophalen?");
const QString kRestarting =
    QStringLiteral("Autoupdate wordt afgesloten en opnieuw opgestart, vanwege een interne update.");
const QString kNewUpdaterFile = QStringLiteral("autoupdate2.exe");
const QString kInstalledUpdater = QStringLiteral("AutoUpdate.exe");
const QString kMissingVersion = QStringLiteral("0.0.0.0");
} // namespace

QString TFrmAutoUpdate::UnscrambleServerBase(const QString &stored)
{
    QString base = unscrambleServerBase(stored);
    while (base.endsWith(u'/'))
        base.chop(1);
    return base;
}

void TFrmAutoUpdate::DownloadFile(const QString &fileName, const QString &serverPath, const QString &subfolder)
{
    const QString base = UnscrambleServerBase(FServerBase);
    // The client writes the body beside the destination and puts it in place only when it is
    // complete; the destination's folder must exist already.
    const QString destination = folders().inInstallDir(subfolder + fileName);
    IdHTTP1->get(QUrl(base + serverPath + fileName), destination);
}

void TFrmAutoUpdate::DownloadSupportFile(const QString &fileName, const QString &subPath, const QString &subfolder)
{
    DownloadFile(fileName, QStringLiteral("/supports/") + subPath, subfolder);
}

void TFrmAutoUpdate::BtnNewAUClick()
{
    const Operation operation(*this, Operation::Kind::Transfer);
    if (!dialogs().confirm(kNewUpdaterQuestion))
        return;
    DownloadFile(kNewUpdaterFile, QStringLiteral("/public/"), QString());
    dialogs().information(kRestarting);
    close();
}

void TFrmAutoUpdate::CheckSelfRenewal(const QString &wantedVersion)
{
    QString installed;
    try {
        installed = TVerInfoRes(this, folders().inInstallDir(kInstalledUpdater)).GetVersionValue(viFileVersion);
    } catch (...) {
        installed = kMissingVersion;
    }
    // Equality, not order: a newer installed updater is replaced as well.
    if (installed == wantedVersion)
        return;
    dialogs().information(kRestarting);
    close();
}

} // namespace klv
