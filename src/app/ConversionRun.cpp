// The conversion run of the "Update" button and the date stamp of the last automatic update.
#include "AutoUpdateFrm.h"

#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "platform/Exceptions.h"
#include "ui_AutoUpdateFrm.h"

#include <QFileInfo>

namespace klv {

namespace {
const QString kBackupQuestion = QStringLiteral("Heeft u een backup van de database gemaakt?");
const QString kBackupFirst = QStringLiteral("Maak eerst een backup, voordat u de conversie draait!!!");
const QString kConversionMissing =
    QStringLiteral("Niet alle benodigde conversie bestanden zijn aanwezig, conversie afgebroken!");
const QString kUpdateMissing =
    QStringLiteral("Niet alle benodigde update bestanden zijn aanwezig, conversie afgebroken!");
const QString kOtherUsers = QStringLiteral("Er zijn nog andere gebruikers actief. Sluit Kelvora op die P.C's");
const QString kConversionDone = QStringLiteral("Conversie succesvol be\u00EBindigd");
const QString kPlanBeyondExe = QStringLiteral("Updatescript U%1.SQL vraagt databaseversie %2, maar KLV.EXE gaat niet "
                                              "verder dan versie %3, conversie afgebroken!");
// The prerequisite that means: no SQL update script is left.
constexpr int kNoUpdateScriptLeft = 9999;
} // namespace

bool TFrmAutoUpdate::startScriptWork()
{
    setButtonEnabled(ui->BtnUpdate, false);
    setButtonEnabled(ui->BtnClose2, false);
    if (dialogs().confirm(kBackupQuestion))
        return true;
    dialogs().information(kBackupFirst);
    setButtonEnabled(ui->BtnClose2, true);
    return false;
}

void TFrmAutoUpdate::BtnUpdateClick()
{
    const Operation operation(*this, Operation::Kind::Database);
    FConversionDone = false;
    if (!startScriptWork())
        return;
    // Every script is looked for before any runs, so a missing one changes nothing.
    for (int n = FDbVersion + 1; n <= FExeDbVersion; ++n) {
        if (!QFileInfo::exists(FScripts->conversionScriptPath(static_cast<uint16_t>(n)))) {
            dialogs().information(kConversionMissing);
            return;
        }
    }
    for (int n = FDbUpdate + 1; n <= FScriptVersion; ++n) {
        if (!QFileInfo::exists(FScripts->updateScriptPath(static_cast<uint16_t>(n)))) {
            dialogs().information(kUpdateMissing);
            return;
        }
    }
    if (!conversionPlanFits())
        return;
    if (OtherUsersActive() && ui->EdPwd->isHidden()) {
        dialogs().information(kOtherUsers);
        setButtonEnabled(ui->BtnUpdate, true);
        setButtonEnabled(ui->BtnClose2, true);
        return;
    }
    FScripts->setRelease(FExeDbVersion);
    try {
        useDatabaseWorker();
        runConversionLoop();
    } catch (const std::exception &e) {
        // Scripts already committed stay; the versions keep their advanced values.
        dialogs().information(exceptionMessage(e));
        return;
    }
    FConversionDone = true;
    FConverting = false; // every script has run: the close below may go ahead
    dialogs().information(kConversionDone);
    close();
    setButtonEnabled(ui->BtnClose2, true);
}

// An SQL update script that needs a database version beyond what KLV.EXE wants would pull in
// conversion scripts that do not belong to this release; such a plan is refused before anything runs.
bool TFrmAutoUpdate::conversionPlanFits()
{
    for (int n = FDbUpdate + 1; n <= FScriptVersion; ++n) {
        const uint16_t needed = RequiredDbVersion(static_cast<uint16_t>(n));
        if (needed > FExeDbVersion) {
            dialogs().information(kPlanBeyondExe.arg(n).arg(needed).arg(FExeDbVersion));
            return false;
        }
    }
    return true;
}

// Interleaves the two series: an SQL update script runs as soon as the database has the
// version its header asks for, a conversion script otherwise. A script that cannot be read counts
// as needing nothing; running it raises.
QList<PlannedScript> TFrmAutoUpdate::conversionPlan()
{
    QList<PlannedScript> plan;
    // Counted in int so that the last possible number does not wrap around to 0.
    int dbVersion = FDbVersion + 1;
    int dbUpdate = FDbUpdate + 1;
    const auto prerequisite = [&]() -> int {
        if (dbUpdate > FScriptVersion)
            return kNoUpdateScriptLeft;
        try {
            return RequiredDbVersion(static_cast<uint16_t>(dbUpdate));
        } catch (const std::exception &) {
            return 0;
        }
    };
    int required = prerequisite();
    while (dbVersion <= FExeDbVersion || dbUpdate <= FScriptVersion) {
        if (dbVersion <= required) {
            plan.append({true, static_cast<uint16_t>(dbVersion++)});
        } else {
            plan.append({false, static_cast<uint16_t>(dbUpdate++)});
            required = prerequisite();
        }
    }
    return plan;
}

void TFrmAutoUpdate::runConversionLoop()
{
    const QList<PlannedScript> plan = conversionPlan();
    // From the start of the loop on the versions name the next script of each series.
    ++FDbVersion;
    ++FDbUpdate;
    for (const PlannedScript &script : plan) {
        if (script.conversion) {
            RunConversionScript(script.number);
            FDbVersion = static_cast<uint16_t>(script.number + 1);
        } else {
            RunUpdateScript(script.number, QString());
            FDbUpdate = static_cast<uint16_t>(script.number + 1);
        }
    }
}

void TFrmAutoUpdate::StampAutoUpdateDate()
{
    TKvQuery query(*gblKlvDBS);
    query.SQL = QStringList{QStringLiteral("Update SYSPROPS Set DAUTOUPDATE_SPP = :dautoupdate_spp")};
    query.setParam(QStringLiteral("dautoupdate_spp"), FSeams.clock.today());
    ExecInOwnTransaction(query);
}

} // namespace klv
