// The download run of "Ophalen": the package list, the packages the installation lacks, the
// list's commands, and the end of the run.
#include "AutoUpdateFrm.h"

#include "PackageList.h"
#include "RunJournal.h"
#include "StagedList.h"
#include "db/TextRoutines.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "platform/IniFile.h"
#include "signing/Ed25519.h"
#include "signing/ListVerifier.h"
#include "ui_AutoUpdateFrm.h"
#include "verinfo/VerInfoRes.h"

#include <QDir>
#include <QFileInfo>

namespace klv {

using packagelist::Wanted;

namespace {
const QString kRetryQuestion = QStringLiteral("Website is niet beschikbaar, wilt u het opnieuw proberen?");
const QString kListLog = QStringLiteral("Download: whatsnew.klv");
const QString kDownloadedLog = QStringLiteral("Downloaded: ");
const QString kDownloadLog = QStringLiteral("Download ");
const QString kGeneralList = QStringLiteral("whatsnew.klv");
const QString kConversionWaiting = QStringLiteral("Download is voltooid, start update indien nodig.");
const QString kAllDone = QStringLiteral("Auto Update is voltooid.");
const QString kNotAList = QStringLiteral("Het bestand %1 is geen pakketlijst.");
const QString kEmptyValue = QStringLiteral("De pakketlijst geeft geen waarde voor %1.");
const QString kMissingVersion = QStringLiteral("0.0.0.0");
const QString kOutsidePath = QStringLiteral("De pakketlijst noemt een bestand buiten de installatiemap: %1");
const QString kResuming = QStringLiteral("Vorige update wordt afgemaakt (release %1).");
const QString kListTooLarge = QStringLiteral("De pakketlijst %1 is geweigerd: de server kondigt %2 bytes aan, meer dan "
                                             "de %3 die een pakketlijst mag hebben. Er is niets van bewaard.");
const QString kSignatureTooLarge =
    QStringLiteral("de server kondigt %1 bytes aan, een handtekening heeft er %2; er is niets van bewaard");
const QString kSerialLost =
    QStringLiteral("Let op: %1 ontbreekt, maar deze installatie heeft eerder ondertekende pakketlijsten aanvaard. "
                   "Het hoogste aanvaarde volgnummer is niet bekend; een oudere lijst van de maker wordt niet als "
                   "oud herkend.");
// A signature has 64 bytes; a little more is enough to tell that it is not one.
constexpr qint64 kSignatureReadLimit = 1024;
// The message that warns the main application's windows: the first user message plus 16.
constexpr unsigned kFilesReplacedMessage = Shell::WM_USER + 16;
} // namespace

void TFrmAutoUpdate::BtnDownloadClick()
{
    const Operation operation(*this, Operation::Kind::Transfer);
    FRunCompleted = false;
    ProbeDatabase();
    // What interrupted runs left: temporary files always, cut downloads unless a run is to be
    // carried on, which resumes them.
    removeLeftovers(folders().installDir(),
                    RunJournal(folders().inInstallDir(RunJournal::fileName())).unfinishedRelease().has_value());
    setButtonEnabled(ui->BtnDownload, false);
    FRunActive = true;
    // A close of the window clears FRunActive: the run stops at its next step.
    while (FRunActive) {
        processMessages();
        if (!FRunActive)
            return; // closed meanwhile
        AddDownloadLog(kListLog);
        if (!fetchPackageList())
            continue; // the user asked to try again
        if (!FRunActive)
            return;
        AddDownloadLog(kDownloadedLog + FListFileName);
        RunDownload();
        if (!FRunActive)
            return;
        FRunActive = false;
    }
    setButtonEnabled(ui->BtnDownload, true);
}

// The customer's own list, else the general one. False when the user wants another try; the
// error of the last attempt goes on when the user gives up.
bool TFrmAutoUpdate::fetchPackageList()
{
    const QString names[] = {QStringLiteral("whatsnew") + FCustomerKey + QStringLiteral(".klv"), kGeneralList};
    for (const QString &name : names) {
        FListFileName = name;
        const StagedList staged(folders().inInstallDir(FListFileName));
        try {
            // Checked as a whole by its signature, so fetched whole, never continued from a piece
            // of another version of it.
            fetchListFile(FListFileName, staged.list(), signing::kMaxListSize);
            fetchListSignature(staged);
            return true;
        } catch (const std::exception &e) {
            staged.discard();
            if (!FRunActive)
                throw; // the window is closing
            if (const auto *tooLarge = dynamic_cast<const ETooLarge *>(&e))
                reportFailure(listTooLarge(*tooLarge));
            if (&name != &names[1])
                continue;
            if (dialogs().confirm(kRetryQuestion))
                return false;
            FRunActive = false; // "Ophalen" stays disabled
            if (const auto *tooLarge = dynamic_cast<const ETooLarge *>(&e))
                throw Exception(listTooLarge(*tooLarge));
            throw;
        }
    }
    return false;
}

void TFrmAutoUpdate::fetchListFile(const QString &fileName, const QString &destination, qint64 limit)
{
    fetchFromServer(QStringLiteral("/supports/") + fileName, destination, nullptr,
                    TransferLimits{limit, /*continuable=*/false});
}

QString TFrmAutoUpdate::listTooLarge(const ETooLarge &refusal) const
{
    return kListTooLarge.arg(FListFileName).arg(refusal.announced()).arg(refusal.limit());
}

void TFrmAutoUpdate::fetchListSignature(const StagedList &staged)
{
    FListSignature.reset();
    FListSignatureProblem.clear();
    if (!FListVerifier->isStrict())
        return;
    try {
        fetchListFile(FListFileName + QStringLiteral(".sig"), staged.signature(), kSignatureReadLimit);
        FListSignature = staged.readSignature(kSignatureReadLimit);
        if (!FListSignature)
            throw EInOutError(QStringLiteral("de handtekening is niet te lezen"));
    } catch (const ETooLarge &e) {
        QFile::remove(staged.signature());
        FListSignatureProblem = kSignatureTooLarge.arg(e.announced()).arg(signing::kSignatureSize);
    } catch (const std::exception &e) {
        QFile::remove(staged.signature());
        if (!FRunActive)
            throw; // the window is closing
        FListSignatureProblem = exceptionMessage(e);
    }
}

QByteArray TFrmAutoUpdate::acceptedPackageList(bool install)
{
    const StagedList staged(folders().inInstallDir(FListFileName));
    try {
        const QByteArray bytes = staged.readList(signing::kMaxListSize);
        if (FListVerifier->isStrict())
            noteLostSerial();
        FListVerifier->acceptList(FListFileName, bytes, FListSignature, FListSignatureProblem, FSeams.clock.today(),
                                  install);
        // A list with no section at all is not a package list (an error page, a cut file): saying
        // "done" after it would hide that nothing was updated.
        if (IniFile::fromBytes(bytes).sections().isEmpty())
            throw Exception(kNotAList.arg(FListFileName));
        if (install)
            staged.install();
        else
            staged.discard();
        if (!FListVerifier->isStrict())
            AddDownloadLog(signing::ListVerifier::unverifiedNotice());
        return bytes;
    } catch (const std::exception &e) {
        FListVerifier->forgetList();
        staged.discard();
        // The error log may be read by others than the customer: the key stays out of it.
        AddDownloadLog(exceptionMessage(e));
        logErrorQuietly(QString(exceptionMessage(e)).replace(FListFileName, maskedListName(), Qt::CaseInsensitive));
        throw;
    }
}

QString TFrmAutoUpdate::maskedListName() const
{
    return FListFileName.compare(kGeneralList, Qt::CaseInsensitive) == 0 ? FListFileName
                                                                         : QStringLiteral("whatsnew\u2026klv");
}

// An installation that accepted signed lists before but lost the file with the highest serial
// would take an older signed list again without a word; it is at least said.
void TFrmAutoUpdate::noteLostSerial()
{
    const QDir install(folders().installDir());
    if (QFileInfo::exists(install.filePath(signing::ListVerifier::serialFileName())))
        return;
    const bool signedBefore = !install.entryList({QStringLiteral("whatsnew*.klv.sig")}, QDir::Files).isEmpty();
    const bool interrupted = QFileInfo::exists(install.filePath(RunJournal::fileName()));
    if (signedBefore || interrupted)
        AddDownloadLog(kSerialLost.arg(signing::ListVerifier::serialFileName()));
}

void TFrmAutoUpdate::RunDownload()
{
    try {
        runDownloadSteps();
    } catch (const std::exception &e) {
        // Once the window is closing nothing more is shown or touched.
        if (FRunActive)
            dialogs().information(exceptionMessage(e));
    }
}

void TFrmAutoUpdate::runDownloadSteps()
{
    // Checked before anything of it is used; the bytes checked are the bytes read.
    const IniFile list = IniFile::fromBytes(acceptedPackageList());
    // A run that stopped is carried on with the release it was applying: its KLV.EXE may have
    // been replaced already, and the list's sections for the new release have nothing yet.
    FJournal = std::make_unique<RunJournal>(folders().inInstallDir(RunJournal::fileName()));
    const bool resuming = FJournal->unfinishedRelease().has_value();
    const uint16_t releaseNumber = FJournal->begin(FExeDbVersion);
    if (resuming)
        AddDownloadLog(kResuming.arg(releaseNumber));
    const QString release = QString::number(releaseNumber);

    for (const QString &key : list.readSection(QStringLiteral("KLV") + release)) {
        if (!FRunActive)
            return;
        handleFileEntry(list, release, key);
    }

    const auto fetchNumbered = [this](const QString &prefix, int from, int upTo) {
        for (int k = from; k <= upTo && k <= UINT16_MAX; ++k) {
            if (!FRunActive)
                return;
            const QString name = prefix + QString::number(k) + QStringLiteral(".zlb");
            const QString entry = RunJournal::package(name);
            if (FJournal->isDone(entry))
                continue;
            FJournal->markStarted(entry);
            DownloadSupportFile(name, QString(), QString());
            UnzipArchive(name, QString());
            FJournal->markDone(entry);
        }
    };
    const QString sql = QStringLiteral("SQL") + release;
    fetchNumbered(QString(), FDbVersion + 1, list.readInteger(sql, QStringLiteral("VERSIE"), 0));
    fetchNumbered(QStringLiteral("u"), FDbUpdate + 1, list.readInteger(sql, QStringLiteral("UPDATE"), 0));

    int position = 0;
    for (const QString &command : list.readSection(QStringLiteral("CMD") + release)) {
        if (!FRunActive)
            return;
        // A command that an earlier attempt started is run again: it may not have finished.
        const QString entry = RunJournal::command(position++, command);
        if (FJournal->isDone(entry))
            continue;
        FJournal->markStarted(entry);
        RunScriptLine(command);
        FJournal->markDone(entry);
    }
    if (FRunActive)
        finishRun();
}

FileDecision TFrmAutoUpdate::decideFileEntry(const IniFile &list, const QString &release, const QString &key)
{
    const QString section = QStringLiteral("KLV") + release;
    FileDecision d;
    const packagelist::FileKey file = packagelist::splitKey(key);
    d.subfolder = file.subfolder;
    d.fileName = file.fileName;
    if (!packagelist::staysInside(file))
        throw Exception(kOutsidePath.arg(key));
    // The value stands under the bare file name, whatever folder the key names.
    const bool present = list.valueExists(section, d.fileName);
    const QString value = list.readString(section, d.fileName, QString());
    if (present && value.isEmpty())
        throw Exception(kEmptyValue.arg(key));
    d.wanted = packagelist::classify(value, present);

    switch (d.wanted.kind) {
    case Wanted::Kind::Forced:
        d.needed = true;
        d.installed = QStringLiteral("-");
        break;
    case Wanted::Kind::Numbered: {
        int32_t installed = 0;
        if (QFileInfo::exists(folders().inInstallDir(d.subfolder + d.fileName)))
            installed = strToIntDef(knownPackageNumber(d.fileName), 0);
        d.installed = QString::number(installed);
        d.needed = installed < d.wanted.number;
        break;
    }
    case Wanted::Kind::Versioned:
        try {
            d.installed = TVerInfoRes(this, folders().inUpdaterDir(d.fileName)).GetVersionValue(viFileVersion);
        } catch (const std::exception &) {
            d.installed = kMissingVersion;
        }
        // Number by number: 5.2.10.0 is older than 5.3.0.0. Texts that are not numbers raise.
        d.needed = compareVersions(d.installed, d.wanted.version) < 0;
        break;
    }
    return d;
}

void TFrmAutoUpdate::handleFileEntry(const IniFile &list, const QString &release, const QString &key)
{
    const QString entry = RunJournal::fileEntry(key);
    if (FJournal->isDone(entry))
        return;
    const FileDecision d = decideFileEntry(list, release, key);
    // Started and not finished (a package of several files cut off half-way) counts as needed,
    // whatever the installed version says now.
    if (!d.needed && !FJournal->isUnfinished(entry))
        return;
    FJournal->markStarted(entry);
    // Quoted: the installation folder may have blanks in its name.
    FSeams.shell.shellExecute(0, QStringLiteral("open"), QStringLiteral("attrib"),
                              QStringLiteral("-R \"") + folders().installDir() + d.fileName + u'"',
                              QDir::toNativeSeparators(QDir::cleanPath(folders().installDir())), Shell::SW_HIDE);
    if (d.fileName == u"klv.exe" || d.fileName == u"klvcomp.bpl") {
        FSeams.shell.postMessage(FNotifyWnd1, kFilesReplacedMessage, 0, 0);
        FSeams.shell.postMessage(FNotifyWnd2, kFilesReplacedMessage, 0, 0);
        processMessages();
        if (!FRunActive)
            return;
    }
    const QString archive = packagelist::archiveName(d.fileName);
    AddDownloadLog(kDownloadLog + archive);
    DownloadSupportFile(archive, QStringLiteral("klv") + release + u'/', d.subfolder);
    if (!FRunActive)
        return;
    UnzipArchive(archive, d.subfolder);
    if (d.wanted.hasNumber) {
        setKnownPackageNumber(d.fileName, d.wanted.number);
        // Kept at once, not only at the close: the journal is about to call this entry done.
        storeKnownPackages();
    }
    FJournal->markDone(entry);
    if (d.wanted.hasNumber)
        dialogs().information(d.fileName + u' ' + knownPackageNumber(d.fileName) + u' ' +
                              QString::number(d.wanted.number));
}

QString TFrmAutoUpdate::knownPackageNumber(const QString &fileName) const
{
    // Names match without regard to case; the first line of a name counts.
    for (const QString &line : *FWeHave) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq >= 0 && line.first(eq).compare(fileName, Qt::CaseInsensitive) == 0)
            return line.mid(eq + 1);
    }
    return {};
}

void TFrmAutoUpdate::setKnownPackageNumber(const QString &fileName, int32_t number)
{
    for (QString &line : *FWeHave) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq >= 0 && line.first(eq).compare(fileName, Qt::CaseInsensitive) == 0) {
            line = line.first(eq + 1) + QString::number(number);
            return;
        }
    }
    FWeHave->append(fileName + u'=' + QString::number(number));
}

void TFrmAutoUpdate::finishRun()
{
    // The fetched packages in the installation folder itself; those in subfolders stay.
    const QDir install(folders().installDir());
    for (const QString &name : install.entryList({QStringLiteral("*.zlb")}, QDir::Files))
        QFile::remove(install.filePath(name));
    StampAutoUpdateDate();
    ShowVersions();
    // The run's work is all on disk: the next run starts afresh with the release KLV.EXE wants.
    storeKnownPackages();
    FJournal->finish();
    FRunCompleted = true;
    if (buttonEnabled(ui->BtnUpdate)) {
        ui->PgCtrlUpdate->setCurrentWidget(ui->TsUpdate);
        dialogs().information(kConversionWaiting);
    } else {
        dialogs().information(kAllDone);
        close();
    }
}

} // namespace klv
