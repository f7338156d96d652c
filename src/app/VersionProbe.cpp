// The version probe: reconnect, database versions, credentials, the version KLV.EXE wants and
// the highest SQL update script on disk.
#include "AutoUpdateFrm.h"

#include "FailureText.h"

#include "db/DatabaseWorker.h"
#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/HttpClient.h"
#include "ui_AutoUpdateFrm.h"
#include "verinfo/VerInfoRes.h"

#include <QDir>

namespace klv {

QString gRegioCode;

namespace {
const QString kOtherUsersActive = QStringLiteral("Er zijn nog andere gebruikers actief. Sluit Kelvora op die P.C's");
const QString kLblExe = QStringLiteral("Versie KLV.EXE: ");
const QString kLblDb = QStringLiteral("Versie KLV-database: ");
const QString kLblUSql = QStringLiteral("Versie uXXXX.sql: ");
const QString kLoginUser = QStringLiteral("orvant");
const QString kLoginPassword = QStringLiteral("wimbrel");
constexpr int kCustomerKeyLength = 10;
} // namespace

void TFrmAutoUpdate::gblKlvDBSLogin(KlvDatabase &, ParamList &loginParams)
{
    loginParams.setValue(QStringLiteral("USER NAME"), kLoginUser);
    loginParams.setValue(QStringLiteral("PASSWORD"), kLoginPassword);
}

bool TFrmAutoUpdate::OtherUsersActive()
{
    TKvQuery query(*gblKlvDBS);
    query.UniDirectional = true;
    query.ParamCheck = false;
    query.SQL = QStringList{gblKlvDBS->connectionCountSql()};
    query.Open();
    const int32_t count = query.fieldAsInteger(QStringLiteral("ConnCount"));
    query.Close();
    // The connection that runs script statements is this updater's too.
    return count > 1 + (FWorker && FWorker->isConnected() ? 1 : 0);
}

void TFrmAutoUpdate::ProbeDatabase()
{
    try {
        if (gblKlvDBS->Connected())
            gblKlvDBS->Close();
        gblKlvDBS->Params.setValue(QStringLiteral("BLOB SIZE"), QStringLiteral("128"));
        gblKlvDBS->Open();
        if (OtherUsersActive())
            dialogs().information(kOtherUsersActive);
    } catch (const std::exception &e) {
        // Said once: the start-up may have shown the same failure already.
        const QString text = explainFailure(e).text;
        if (text != FShownFailure)
            dialogs().information(text);
        FShownFailure = text;
        // Nothing more can be read from a database that did not open.
        if (!gblKlvDBS->Connected())
            throw EAbort();
    }

    {
        TKvQuery query(*gblKlvDBS);
        query.SQL = QStringList{QStringLiteral("Select SREGIOCODE_INF"), QStringLiteral("From SYSTEMINFO")};
        query.Prepare();
        query.Open();
        gRegioCode = query.fieldAsString(QStringLiteral("SREGIOCODE_INF"));
    }

    TKvQuery query(*gblKlvDBS);
    FDbVersion = 0;
    FDbUpdate = 0;
    query.SQL = QStringList{QStringLiteral("Select VERSIENUMMER, IUPDATE_SPP"), QStringLiteral("From SYSPROPS")};
    query.Open();
    for (; !query.Eof(); query.Next()) {
        // Compared as signed 32-bit values; the low 16 bits are kept.
        const int32_t version = query.fieldAsInteger(QStringLiteral("VERSIENUMMER"));
        if (version > int32_t{FDbVersion})
            FDbVersion = static_cast<uint16_t>(version);
        const int32_t update = query.fieldAsInteger(QStringLiteral("IUPDATE_SPP"));
        if (update > int32_t{FDbUpdate})
            FDbUpdate = static_cast<uint16_t>(update);
    }
    ui->LblDB->setText(kLblDb + QString::number(FDbVersion));
    ui->LblDbSql->setText(kLblDb + QString::number(FDbUpdate));

    CloseAndUnprepare(query);
    query.SQL =
        QStringList{QStringLiteral("Select SDEELNEMERNR_INF, LICENSE"), QStringLiteral("From SYSTEMINFO, LICENSE")};
    query.Open();
    FDeelnemerNr = query.fieldAsString(QStringLiteral("SDEELNEMERNR_INF"));
    FCustomerKey = trimControl(query.fieldAsString(QStringLiteral("LICENSE"))).right(kCustomerKeyLength);

    // Every request to the update server from now on carries these credentials; the base
    // address is unscrambled from FServerBase only when a request is made.
    IdHTTP1->Username = FDeelnemerNr;
    IdHTTP1->Password = FCustomerKey;
}

uint16_t TFrmAutoUpdate::HighestScriptNumber()
{
    const QString dir = folders().updaterDir();
    QDir::setCurrent(dir);
    // No QDir::CaseSensitive: the pattern matches without regard to case, as on the target systems.
    const QStringList names = QDir(dir).entryList({QStringLiteral("u*.sql")}, QDir::Files);
    int32_t highest = 0;
    for (const QString &name : names)
        highest = std::max(highest, strToInt(name.mid(1, 4)));
    return static_cast<uint16_t>(highest);
}

void TFrmAutoUpdate::ShowVersions()
{
    try {
        // Named without a folder: found in the current directory.
        const TVerInfoRes info(this, QStringLiteral("KLV.EXE"));
        FExeDbVersion = static_cast<uint16_t>(strToIntDef(info.GetVersionValue(viIntegerVersion), 0));
        FScriptVersion = HighestScriptNumber();
        if (FDbVersion < FExeDbVersion || FDbUpdate < FScriptVersion)
            setButtonEnabled(ui->BtnUpdate, true);
        ui->LblEXE->setText(kLblExe + QString::number(FExeDbVersion));
        ui->LblUSql->setText(kLblUSql + QString::number(FScriptVersion));
        FVersionProblem.clear();
    } catch (const std::exception &e) {
        // Without a readable KLV.EXE or script list no conversion script is wanted. The window
        // says nothing; a run without a person refuses to go on (it would read another release).
        FExeDbVersion = FDbVersion;
        FVersionProblem = exceptionMessage(e);
    }
}

} // namespace klv
