// Fetching files from the update server, and the renewal of the updater itself.
#include "AutoUpdateFrm.h"

#include "platform/Exceptions.h"
#include "platform/HttpClient.h"
#include "platform/ServerAddress.h"
#include "signing/ListVerifier.h"
#include "verinfo/VerInfoRes.h"

#include <QScopeGuard>
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
    // In a build with the maker's keys the accepted list says what the file must be; a file it
    // has no line for is not fetched at all.
    const QString onServer = serverPath.mid(1) + fileName;
    const std::optional<ExpectedFile> expected = FListVerifier->expectedFile(onServer);
    FFetchCount.next(fileName);
    try {
        fetchFromServer(serverPath + fileName, folders().inInstallDir(subfolder + fileName),
                        expected ? &*expected : nullptr);
    } catch (const EContentMismatch &mismatch) {
        throw Exception(signing::ListVerifier::mismatchMessage(onServer, *expected, mismatch));
    }
}

void TFrmAutoUpdate::fetchFromServer(const QString &serverPath, const QString &destination,
                                     const ExpectedFile *expected, const TransferLimits &limits)
{
    const QString base = UnscrambleServerBase(FServerBase);
    // The client writes the body beside the destination and puts it in place only when it is
    // complete (and, when expected, the right file); the destination's folder must exist already.
    IdHTTP1->get(QUrl(base + serverPath), destination, expected, limits);
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
    // The copy is trusted only through a signed list that names it; outside a run that list is
    // fetched first.
    if (FListVerifier->isStrict() && !FListVerifier->hasAcceptedList()) {
        FRunActive = true;
        const auto inactive = qScopeGuard([this] { FRunActive = false; });
        while (!fetchPackageList()) {
        }
        acceptedPackageList();
    }
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
