// The download run of "Ophalen": the package list, the packages the installation lacks, the
// list's commands, and the end of the run.
#include "AutoUpdateFrm.h"

#include "DownloadLogTexts.h"
#include "FailureText.h"
#include "RunJournal.h"
#include "StagedList.h"
#include "db/TextRoutines.h"
#include "packagelist/PackageList.h"
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
#include <QLabel>
#include <QScopeGuard>
#include <QTextBlock>

namespace klv {

using packagelist::Wanted;

namespace {
const QString kRetryQuestion = QStringLiteral("Website is niet beschikbaar, wilt u het opnieuw proberen?");
const QString kListLog = QStringLiteral("Download: whatsnew.klv");
const QString kDownloadedLog = QStringLiteral("Downloaded: ");
const QString kGeneralList = QStringLiteral("whatsnew.klv");
const QString kConversionWaiting = QStringLiteral("Download is voltooid, start update indien nodig.");
const QString kAllDone = QStringLiteral("Auto Update is voltooid.");
const QString kNotAList = QStringLiteral("Het bestand %1 is geen pakketlijst.");
const QString kEmptyValue = QStringLiteral("De pakketlijst geeft geen waarde voor %1.");
const QString kMissingVersion = QStringLiteral("0.0.0.0");
const QString kOutsidePath = QStringLiteral("De pakketlijst noemt een bestand buiten de installatiemap: %1");
const QString kResuming = QStringLiteral("Vorige update wordt afgemaakt (release %1).");
const QString kWaitsForOwnList =
    QStringLiteral("De onderbroken update van release %1 wacht nog op de eigen pakketlijst van deze installatie, "
                   "die nu niet kon worden opgehaald. Met de algemene pakketlijst wordt die update niet afgemaakt "
                   "en er is niets van uitgevoerd. Probeer het later opnieuw.");
const QString kChangedOnServer =
    QStringLiteral("%1 is op de server veranderd sinds het werd opgehaald en wordt opnieuw uitgepakt.");
const QString kFetchedAgain = QStringLiteral("%1 wordt opnieuw opgehaald en uitgepakt: welke versie eerder werd "
                                             "opgehaald, is niet vastgelegd.");
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

// The server's copy of a package as it was fetched just now.
RunJournal::ServerCopy fetchedCopy(const HttpClient &http, const std::optional<ExpectedFile> &listed)
{
    return {http.lastFile(), listed ? listed->sha256 : QByteArray()};
}

// A package that an earlier attempt of the release finished, as the server has it now.
enum class Recheck
{
    Same,    // the copy fetched then: nothing to do
    Changed, // another one: fetched again
    Unknown, // the copy fetched then is not known: fetched again
    Fetched, // another one, and the server sent it into place already
};

QString recheckText(Recheck recheck, const QString &archive)
{
    return (recheck == Recheck::Unknown ? kFetchedAgain : kChangedOnServer).arg(archive);
}

// A package stays as an earlier attempt left it while the server's copy is the same: a signed list
// names its digest; else, once a command failed (the maker may have repaired its file inside the
// package since), the server is asked for it only if it changed. A package finished before its copy
// was recorded is fetched again in that case.
Recheck recheckPackage(const RunJournal &journal, const std::optional<ExpectedFile> &listed,
                       const std::function<void(const FileValidators *onlyIfChangedFrom)> &fetch, const QString &entry)
{
    const std::optional<RunJournal::ServerCopy> copy = journal.fetchedCopy(entry);
    if (listed && copy && !copy->sha256.isEmpty())
        return copy->sha256 == listed->sha256 && copy->http.length == listed->length ? Recheck::Same : Recheck::Changed;
    if (!journal.mayHaveFailed())
        return Recheck::Same;
    if (!copy || !copy->http.identifiesFile())
        return Recheck::Unknown;
    try {
        fetch(&copy->http);
    } catch (const EIdHTTPProtocolException &e) {
        if (e.errorCode() == 304) // not modified
            return Recheck::Same;
        throw;
    }
    return Recheck::Fetched;
}

// Whether an unfinished run applied the customer's own list. A journal of an earlier version does
// not say; it is taken as the own list's when the installation ever accepted an own list, which a
// customer who has none (and always takes the general one) never did.
bool journalOfOwnList(const RunJournal::Unfinished &unfinished, const QString &ownListPath)
{
    if (unfinished.list)
        return *unfinished.list == RunJournal::List::Customer;
    return QFileInfo::exists(ownListPath);
}

void markFailedQuietly(RunJournal &journal, const QString &entry)
{
    try {
        journal.markFailed(entry);
    } catch (const std::exception &) {
        // The step's own error is the one to report; without the mark the next run only asks less.
    }
}
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
    // Whatever way the run ends, nothing of its progress stays on the screen as if it went on.
    const auto clearProgress = qScopeGuard([this] {
        FFetchCount.clear();
        if (!FClosing)
            statusPanel(ui->StatusBar1, 0)->clear();
    });
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
            // A proxy that wants another login refuses every list alike, and is not asked again.
            const auto *proxy = dynamic_cast<const EProxyError *>(&e);
            if (proxy && proxy->aboutLogin()) {
                FRunActive = false;
                reportFailure(proxy->message());
                throw;
            }
            if (&name != &names[1])
                continue;
            // The cause goes to the log before the question; a cause that another try cannot
            // mend (a refused key, a full disk, a list too large) is not asked about.
            const auto *tooLarge = dynamic_cast<const ETooLarge *>(&e);
            const FailureText why = tooLarge ? FailureText{listTooLarge(*tooLarge), false} : explainFailure(e);
            if (!tooLarge)
                AddDownloadLog(why.text);
            if (why.retryMends && dialogs().confirm(kRetryQuestion))
                return false;
            FRunActive = false; // "Ophalen" stays disabled
            if (tooLarge)
                throw Exception(why.text);
            if (proxy)
                logErrorQuietly(proxy->message());
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
        if (!FRunActive)
            return;
        const QString text = explainFailure(e).text;
        if (text != exceptionMessage(e))
            logErrorQuietly(exceptionMessage(e)); // the technical reason, for whoever helps
        if (ui->Memo1->document()->lastBlock().text() != text)
            AddDownloadLog(text); // every failure leaves its line, once
        dialogs().information(text);
    }
}

void TFrmAutoUpdate::runDownloadSteps()
{
    FJournal = std::make_unique<RunJournal>(folders().inInstallDir(RunJournal::fileName()));
    const std::optional<RunJournal::Unfinished> unfinished = FJournal->unfinished();
    // Without a customer key the own list is the general one.
    const QString ownList = QStringLiteral("whatsnew") + FCustomerKey + QStringLiteral(".klv");
    const bool general = FListFileName.compare(kGeneralList, Qt::CaseInsensitive) == 0 &&
                         ownList.compare(kGeneralList, Qt::CaseInsensitive) != 0;
    // A release begun from the customer's own list is finished from that list only: the general
    // list does not name the customer's packages and commands, and finishing the release with it
    // would leave them out for good. Its own release waits too, since it would come after that one.
    if (unfinished && general && journalOfOwnList(*unfinished, folders().inInstallDir(ownList))) {
        StagedList(folders().inInstallDir(FListFileName)).discard();
        const QString text = kWaitsForOwnList.arg(unfinished->release);
        reportFailure(text);
        throw Exception(text);
    }
    // Checked before anything of it is used; the bytes checked are the bytes read.
    const IniFile list = IniFile::fromBytes(acceptedPackageList());
    // A run that stopped is carried on with the release it was applying: its KLV.EXE may have
    // been replaced already, and the list's sections for the new release have nothing yet.
    const uint16_t releaseNumber =
        FJournal->begin(FExeDbVersion, general ? RunJournal::List::General : RunJournal::List::Customer);
    FScripts->setRelease(releaseNumber);
    FFetchCount.plan(plannedFetches(list, QString::number(releaseNumber)));
    if (unfinished)
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
            const bool done = FJournal->isDone(entry);
            if (done && !FJournal->mayHaveFailed() && !FListVerifier->isStrict())
                continue; // nothing to compare with the server's copy, and no reason to ask
            const std::optional<ExpectedFile> listed = FListVerifier->expectedFile(QStringLiteral("supports/") + name);
            const auto fetch = [&](const FileValidators *onlyIfChangedFrom) {
                if (onlyIfChangedFrom)
                    IdHTTP1->onlyIfChangedFrom(*onlyIfChangedFrom);
                DownloadSupportFile(name, QString(), QString());
            };
            Recheck recheck = Recheck::Unknown;
            if (done) {
                recheck = recheckPackage(*FJournal, listed, fetch, entry);
                if (recheck == Recheck::Same)
                    continue;
                AddDownloadLog(recheckText(recheck, name));
            }
            FJournal->markStarted(entry);
            if (recheck != Recheck::Fetched)
                fetch(nullptr);
            const RunJournal::ServerCopy copy = fetchedCopy(*IdHTTP1, listed);
            UnzipArchive(name, QString());
            FJournal->markDone(entry, copy);
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
        // A query file that an earlier attempt completed is not run again.
        FScripts->setCommandRun({FJournal->scriptRun(entry), [&](qint64 run) { FJournal->markScriptRun(entry, run); }});
        const auto unlinked = qScopeGuard([this] { FScripts->setCommandRun({}); });
        try {
            RunScriptLine(command);
        } catch (const std::exception &) {
            // Recorded so that the next run asks the server for repaired packages; not when the
            // window was closed under the command, which was then stopped rather than failing.
            if (FRunActive && !FCloseRequested)
                markFailedQuietly(*FJournal, entry);
            throw;
        }
        FJournal->markDone(entry);
    }
    if (FRunActive)
        finishRun();
}

int TFrmAutoUpdate::plannedFetches(const IniFile &list, const QString &release)
{
    int files = 0;
    for (const QString &key : list.readSection(QStringLiteral("KLV") + release)) {
        try {
            files += decideFileEntry(list, release, key).needed ? 1 : 0;
        } catch (const std::exception &) {
            // The run itself says what is wrong with the entry.
        }
    }
    const QString sql = QStringLiteral("SQL") + release;
    const auto numbered = [&](const QString &prefix, int from, int upTo) {
        for (int k = from; k <= upTo && k <= UINT16_MAX; ++k)
            if (!FJournal->isDone(RunJournal::package(prefix + QString::number(k) + QStringLiteral(".zlb"))))
                ++files;
    };
    numbered(QString(), FDbVersion + 1, list.readInteger(sql, QStringLiteral("VERSIE"), 0));
    numbered(QStringLiteral("u"), FDbUpdate + 1, list.readInteger(sql, QStringLiteral("UPDATE"), 0));
    return files;
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
        d.installed = kMissingVersion;
        // A file that is not there has no version; asked first, since a raised and caught error per
        // entry costs a list of thousands of new files seconds on Windows.
        if (const QString path = folders().inUpdaterDir(d.fileName); QFileInfo::exists(path)) {
            try {
                d.installed = TVerInfoRes(this, path).GetVersionValue(viFileVersion);
            } catch (const std::exception &) {
                d.installed = kMissingVersion;
            }
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
    const bool done = FJournal->isDone(entry);
    if (done && !FJournal->mayHaveFailed() && !FListVerifier->isStrict())
        return; // nothing to compare with the server's copy, and no reason to ask
    const FileDecision d = decideFileEntry(list, release, key);
    // Started and not finished (a package of several files cut off half-way) counts as needed,
    // whatever the installed version says now.
    if (!done && !d.needed && !FJournal->isUnfinished(entry))
        return;
    const QString archive = packagelist::archiveName(d.fileName);
    const QString subPath = QStringLiteral("klv") + release + u'/';
    const std::optional<ExpectedFile> listed =
        FListVerifier->expectedFile(QStringLiteral("supports/") + subPath + archive);
    const auto fetch = [&](const FileValidators *onlyIfChangedFrom) {
        if (onlyIfChangedFrom)
            IdHTTP1->onlyIfChangedFrom(*onlyIfChangedFrom);
        DownloadSupportFile(archive, subPath, d.subfolder);
    };
    Recheck recheck = Recheck::Unknown;
    if (done) {
        recheck = recheckPackage(*FJournal, listed, fetch, entry);
        if (recheck == Recheck::Same)
            return;
        AddDownloadLog(recheckText(recheck, archive));
    }
    // Asked for only if changed, the package is in place before the entry is started again; a run
    // stopped meanwhile asks again with the copy still recorded, and is sent the new one again.
    RunJournal::ServerCopy copy =
        recheck == Recheck::Fetched ? fetchedCopy(*IdHTTP1, listed) : RunJournal::ServerCopy{};
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
    // A patch only for a file the run brings up from the installed copy; a package that changed
    // on the server after an earlier attempt comes whole.
    const bool patched = !done && patchFileEntry(list, release, d, archive);
    if (!FRunActive)
        return;
    if (patched) {
        // Finished against the package the list names, through its patch.
        copy = listed ? RunJournal::ServerCopy{FileValidators{listed->length, {}, {}}, listed->sha256}
                      : RunJournal::ServerCopy{};
    } else if (recheck != Recheck::Fetched) {
        AddDownloadLog(kDownloadLog + archive);
        fetch(nullptr);
        copy = fetchedCopy(*IdHTTP1, listed);
    }
    if (!FRunActive)
        return;
    if (!patched)
        UnzipArchive(archive, d.subfolder);
    if (d.wanted.hasNumber) {
        setKnownPackageNumber(d.fileName, d.wanted.number);
        // Kept at once, not only at the close: the journal is about to call this entry done.
        storeKnownPackages();
    }
    FJournal->markDone(entry, copy);
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
    // The fetched packages in the installation folder itself (and patches a stop left); those in
    // subfolders stay.
    const QDir install(folders().installDir());
    for (const QString &name : install.entryList({QStringLiteral("*.zlb"), QStringLiteral("*.klvpatch")}, QDir::Files))
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
