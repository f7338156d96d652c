#include "AutoUpdateFrm.h"

#include "ErrorLog.h"
#include "FailureText.h"
#include "PremiumImport.h"
#include "RunJournal.h"
#include "WindowKeyboard.h"
#include "WindowPlacement.h"
#include "db/DatabaseWorker.h"
#include "db/KlvDatabase.h"
#include "platform/Ansi.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/HttpClient.h"
#include "platform/ServerAddress.h"
#include "signing/ListVerifier.h"
#include "ui_AutoUpdateFrm.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QScreen>
#include <QSslCertificate>
#include <QStatusBar>
#include <QStyle>
#include <QSysInfo>
#include <QTabBar>
#include <QWindow>
#include <utility>

namespace klv {

namespace {
const QString kDefaultAlias = QStringLiteral("ODBC_OVT");
const QString kKnownPackagesFile = QStringLiteral("WeHave.klv");
const QString kMainProgram = QStringLiteral("Klv.exe");
const QString kChangingAlias = QStringLiteral("Changing: ");
const QSize kMinimumSize(441, 300);
const QString kCannotStartMain = QStringLiteral("Kan Kelvora niet starten.");
const QString kUpdaterVersion = QStringLiteral("136.46");
const QString kVersionPanel = QStringLiteral("Version ") + kUpdaterVersion;
const QString kCloseDuringConversion =
    QStringLiteral("De database wordt bijgewerkt. Het venster kan pas worden gesloten als de conversie klaar is.");
const QString kCannotSaveKnownPackages = QStringLiteral("Kan %1 niet opslaan: %2");
const QString kRunChangedScriptWhole =
    QStringLiteral("Het script %1 is eerder tot en met statement %2 uitgevoerd en is sindsdien veranderd. Wilt u het "
                   "helemaal opnieuw uitvoeren, vanaf het eerste statement?");
const QString kMarkChangedScriptDone =
    QStringLiteral("Wilt u het script %1 als uitgevoerd afvinken? Het wordt dan niet uitgevoerd.");
} // namespace

TFrmAutoUpdate::TFrmAutoUpdate(Seams seams, const QStringList &arguments, QWidget *parent)
    : QWidget(parent), FSeams(std::move(seams)), ui(std::make_unique<Ui::TFrmAutoUpdate>())
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("FrmAutoUpdate"));
    setAttribute(Qt::WA_DeleteOnClose);
    addStatusPanels(ui->StatusBar2);
    addStatusPanels(ui->StatusBar1);
    statusPanel(ui->StatusBar2, 0)->setText(kVersionPanel);
    ui->EdPassword->setVisible(false);
    ui->EdPwd->setVisible(false);
    ui->SpdBtnLoad->setVisible(false);
    ui->SpdBtnLoad->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
    ui->PgCtrlUpdate->setCurrentWidget(ui->TsDownload);
    // The logs are read, not typed in, and Tab goes past them.
    for (QPlainTextEdit *log : {ui->Memo1, ui->Memo2}) {
        log->setReadOnly(true);
        log->setTabChangesFocus(true);
        log->setFocusPolicy(Qt::ClickFocus);
    }
    // Every control stays visible: the "Update" page's buttons reach to the designed width.
    setMinimumSize(kMinimumSize);
    FKeyboard = new WindowKeyboard(
        *this, *ui->PgCtrlUpdate, [this] { return operationRunning(); }, [this] { close(); });
    FKeyboard->setDefaultButton(ui->TsDownload, ui->BtnDownload);
    FKeyboard->setDefaultButton(ui->TsUpdate, ui->BtnUpdate);

    gblKlvDBS = new KlvDatabase(FSeams.aliases, this);
    gblKlvDBS->OnLogin = [this](KlvDatabase &sender, ParamList &params) { gblKlvDBSLogin(sender, params); };
    IdHTTP1 = new HttpClient(this);
    IdHTTP1->setObjectName(QStringLiteral("IdHTTP1"));
    for (const QByteArray &pem : FSeams.authorities)
        for (const QSslCertificate &authority : QSslCertificate::fromData(pem, QSsl::Pem))
            IdHTTP1->addCaCertificate(authority);
    IdHTTP1->OnWorkBegin = [this](WorkMode, int64_t max) { WorkBegin(max); };
    IdHTTP1->OnWork = [this](WorkMode mode, int64_t count) { Work(mode == WorkMode::Read ? 0 : 1, count); };
    IdHTTP1->OnWorkEnd = [this](WorkMode) { WorkEnd(); };
    IdHTTP1->setProxy(FSeams.proxy);
    IdHTTP1->OnProxyLogin = [this](const QString &proxy, bool refused, QString &user, QString &password) {
        return dialogs().login(
            (refused ? QStringLiteral("De proxyserver %1 weigerde de aanmelding. Probeer het opnieuw.")
                     : QStringLiteral("De proxyserver %1 vraagt om een aanmelding."))
                    .arg(proxy) +
                QStringLiteral(" Het wachtwoord wordt alleen voor deze update gebruikt en nergens bewaard."),
            user, password);
    };

    FListVerifier = std::make_unique<signing::ListVerifier>(
        FSeams.publicKeys, folders().inInstallDir(signing::ListVerifier::serialFileName()));
    FErrorLog = std::make_unique<ErrorLog>(folders().inInstallDir(QStringLiteral("AuError.txt")), FSeams.clock);
    StatementDisplay &display = *this;
    FHistory = std::make_unique<ScriptHistory>(*gblKlvDBS, FSeams.clock, kUpdaterVersion, QSysInfo::machineHostName());
    FScripts = std::make_unique<SqlScriptEngine>(*gblKlvDBS, display, *FErrorLog, folders().updaterDir(), *FHistory);
    FScripts->OnChangedScript = [this](const QString &fileName, int settled) {
        return changedScriptChoice(fileName, settled);
    };
    FPremium = std::make_unique<PremiumImport>(*gblKlvDBS, gRegioCode, folders(), FSeams.dialogs,
                                               [this](const QString &line) { AddDownloadLog(line); });
    connectHandlers();

    guarded([&] { FormCreate(arguments); });
}

TFrmAutoUpdate::~TFrmAutoUpdate() = default;

void TFrmAutoUpdate::connectHandlers()
{
    const auto click = [this](QAbstractButton *button, void (TFrmAutoUpdate::*handler)()) {
        connect(button, &QAbstractButton::clicked, this,
                [this, handler] { guarded([this, handler] { (this->*handler)(); }); });
    };
    click(ui->BtnClose, &TFrmAutoUpdate::BtnCloseClick);
    click(ui->BtnClose2, &TFrmAutoUpdate::BtnCloseClick);
    click(ui->BtnUpdate, &TFrmAutoUpdate::BtnUpdateClick);
    click(ui->SpdBtnLoad, &TFrmAutoUpdate::SpdBtnLoadClick);
    click(ui->BtnNewAU, &TFrmAutoUpdate::BtnNewAUClick);
    click(ui->BtnDownload, &TFrmAutoUpdate::BtnDownloadClick);
    ui->Panel1->installEventFilter(this);
    ui->LblDbSql->installEventFilter(this);
}

bool TFrmAutoUpdate::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == ui->Panel1)
            guarded([this] { Panel1DblClick(); });
        else if (watched == ui->LblDbSql)
            guarded([this] { LblDbSqlDblClick(); });
    }
    return QWidget::eventFilter(watched, event);
}

void TFrmAutoUpdate::showScriptNumber(Runner runner, uint16_t number)
{
    (runner == Runner::Conversion ? ui->LblVersie : ui->LblUpdate)->setText(QString::number(number));
}

void TFrmAutoUpdate::showStatement(const QStringList &sql)
{
    ui->Memo2->setPlainText(sql.join(u'\n'));
    if (OnStatement)
        OnStatement(sql);
    processMessages();
}

void TFrmAutoUpdate::keepAlive()
{
    processMessages();
}

void TFrmAutoUpdate::useDatabaseWorker()
{
    if (FWorker)
        return;
    ParamList login;
    gblKlvDBSLogin(*gblKlvDBS, login);
    FWorker = std::make_unique<DatabaseWorker>(FSeams.aliases, gblKlvDBS->AliasName, login);
    FScripts->setWork(FWorker.get());
}

// Only a technician in the service mode may decide about a script that changed since it was
// partly run; everybody else gets the refusal, which says where the way out is.
ChangedScript TFrmAutoUpdate::changedScriptChoice(const QString &fileName, int settled)
{
    if (ui->EdPwd->isHidden() || !CheckServicePassword(ui->EdPwd->text()))
        return ChangedScript::Refuse;
    if (dialogs().confirm(kRunChangedScriptWhole.arg(fileName).arg(settled)))
        return ChangedScript::RunWhole;
    if (dialogs().confirm(kMarkChangedScriptDone.arg(fileName)))
        return ChangedScript::MarkDone;
    return ChangedScript::Refuse;
}

// Status bar panels are labels of fixed width, left to right.
void TFrmAutoUpdate::addStatusPanels(QStatusBar *bar)
{
    const int widths[] = {300, 250};
    // Fixed-width panels are cut at the window's edge instead of widening the window.
    bar->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    for (int i = 0; i < 2; ++i) {
        auto *panel = new QLabel(bar);
        panel->setObjectName(bar->objectName() + QStringLiteral("Panel%1").arg(i));
        panel->setFixedWidth(widths[i]);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        bar->addWidget(panel);
    }
}

QLabel *TFrmAutoUpdate::statusPanel(QStatusBar *bar, int index) const
{
    return bar->findChild<QLabel *>(bar->objectName() + QStringLiteral("Panel%1").arg(index));
}

void TFrmAutoUpdate::guarded(const std::function<void()> &action)
{
    try {
        action();
    } catch (const EAbort &) {
        // Silent by definition: a close stopped the work, or the work said why itself.
    } catch (const std::exception &e) {
        FShownFailure = explainFailure(e).text;
        FSeams.dialogs.error(FShownFailure);
    }
}

void TFrmAutoUpdate::reportFailure(const QString &text)
{
    AddDownloadLog(text);
    logErrorQuietly(text);
}

void TFrmAutoUpdate::logErrorQuietly(const QString &text)
{
    try {
        LogError(text);
    } catch (const std::exception &) {
        // The download log and the message still say it.
    }
}

void TFrmAutoUpdate::processMessages()
{
    QCoreApplication::processEvents();
}

void TFrmAutoUpdate::FormCreate(const QStringList &arguments)
{
    FServerBase = FSeams.serverBase;
    if (arguments.size() >= 1)
        FNotifyWnd1 = strToIntDef(arguments[0], 0);
    if (arguments.size() >= 2)
        FNotifyWnd2 = strToIntDef(arguments[1], 0);

    // The known-package list exists even when no database could be opened, so that the window
    // still works as far as it can and closing still hands over to the main application.
    std::exception_ptr openFailure;
    try {
        openChosenAlias(arguments);
    } catch (...) {
        openFailure = std::current_exception();
    }
    loadKnownPackages();
    if (openFailure)
        std::rethrow_exception(openFailure);
}

void TFrmAutoUpdate::openChosenAlias(const QStringList &arguments)
{
    if (arguments.size() < 3) {
        FAliasName = kDefaultAlias;
        gblKlvDBS->AliasName = FAliasName;
        gblKlvDBS->Open();
        return;
    }
    FAliasName = arguments[2];
    if (gblKlvDBS->Connected()) {
        gblKlvDBS->CloseDataSets();
        gblKlvDBS->Close();
    }
    gblKlvDBS->AliasName = FAliasName;
    try {
        gblKlvDBS->Open();
    } catch (const std::exception &) {
        FSeams.dialogs.warning(kChangingAlias + FAliasName);
        FAliasName = kDefaultAlias;
        gblKlvDBS->AliasName = FAliasName;
        gblKlvDBS->Open();
    }
}

void TFrmAutoUpdate::loadKnownPackages()
{
    FWeHave = std::make_unique<QStringList>();
    const QString path = folders().inInstallDir(kKnownPackagesFile);
    if (QFileInfo::exists(path))
        *FWeHave = ansi::readLines(path);
}

void TFrmAutoUpdate::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (FShown)
        return;
    FShown = true;
    if (const QScreen *screen = this->screen())
        setGeometry(placeOnScreen(size(), minimumSize(), screen->availableGeometry(),
                                  style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this)));
    guarded([this] { FormShow(); });
    FKeyboard->focusDefault();
}

void TFrmAutoUpdate::FormShow()
{
    // The start-up may have said already why the database is not there; later probes say it again.
    const auto forget = qScopeGuard([this] { FShownFailure.clear(); });
    ProbeDatabase();
    ShowVersions();
}

void TFrmAutoUpdate::closeEvent(QCloseEvent *event)
{
    if (FClosing) { // closed already, waiting to be freed
        event->accept();
        return;
    }
    if (operationRunning()) {
        event->ignore();
        if (FConverting) {
            dialogs().information(kCloseDuringConversion);
            return;
        }
        // The operation notices at its next step (a running transfer at once) and unwinds; its
        // end closes the window for real.
        FCloseRequested = true;
        FRunActive = false;
        IdHTTP1->abort();
        hide();
        return;
    }
    FormClose();
    event->accept();
}

void TFrmAutoUpdate::FormClose()
{
    FRunActive = false;
    FClosing = true;
    try {
        if (gblKlvDBS->Connected())
            gblKlvDBS->Close();
    } catch (...) {
        // A connection that cannot be closed does not keep the list from being saved.
    }
    // The list itself lives as long as the window.
    saveKnownPackages();
    try {
        processMessages();
        startMainProgram();
    } catch (...) {
        // Closing always goes on to free the window.
    }
}

void TFrmAutoUpdate::storeKnownPackages()
{
    if (!FWeHave || FWeHave->isEmpty())
        return;
    const QString path = folders().inInstallDir(kKnownPackagesFile);
    try {
        ansi::writeLines(path, *FWeHave);
        FStoredWeHave = *FWeHave;
    } catch (const std::exception &e) {
        const QString text = kCannotSaveKnownPackages.arg(QDir::toNativeSeparators(path), exceptionMessage(e));
        reportFailure(text);
        throw Exception(text);
    }
}

void TFrmAutoUpdate::saveKnownPackages()
{
    if (!FWeHave || FWeHave->isEmpty())
        return; // an empty list leaves the file alone
    if (FStoredWeHave && *FStoredWeHave == *FWeHave)
        return; // stored already during the run
    const QString path = folders().inInstallDir(kKnownPackagesFile);
    try {
        ansi::writeLines(path, *FWeHave);
    } catch (const std::exception &e) {
        // The old file stays as it was; the numbers fetched in this run are fetched again next time.
        FCloseFailure = kCannotSaveKnownPackages.arg(QDir::toNativeSeparators(path), exceptionMessage(e));
        reportFailure(FCloseFailure);
        FSeams.dialogs.error(FCloseFailure);
    }
}

void TFrmAutoUpdate::startMainProgram()
{
    if (!FSeams.startMainProgramOnClose)
        return;
    // The window's own handle when it has one; asking a window that was never shown for one would
    // create it while it closes.
    const QWindow *handle = windowHandle();
    const auto owner = handle ? static_cast<int32_t>(handle->winId()) : 0;
    const intptr_t result =
        FSeams.shell.shellExecute(owner, QStringLiteral("open"), folders().inUpdaterDir(kMainProgram), FAliasName,
                                  QString(), Shell::SW_SHOWNORMAL);
    if (result <= 32)
        FSeams.dialogs.error(kCannotStartMain);
}

TFrmAutoUpdate::Operation::Operation(TFrmAutoUpdate &window, Kind kind)
    : FWindow(window), FWasConverting(window.FConverting)
{
    FWindow.beginOperation(kind);
}

TFrmAutoUpdate::Operation::~Operation()
{
    FWindow.FConverting = FWasConverting;
    try {
        FWindow.endOperation();
    } catch (...) {
        // Closing reports what it must itself; nothing may leave a destructor.
    }
}

void TFrmAutoUpdate::beginOperation(Operation::Kind kind)
{
    QList<QWidget *> locked{ui->BtnDownload, ui->BtnUpdate, ui->BtnNewAU, ui->SpdBtnLoad};
    if (kind == Operation::Kind::Database) {
        locked << ui->BtnClose << ui->BtnClose2;
        FConverting = true;
    }
    ++FOperationDepth;
    FKeyboard->moveFocusFrom(locked);
    for (QWidget *button : std::as_const(locked)) {
        if (FIdleEnabled.contains(button))
            continue;
        FIdleEnabled.insert(button, button->isEnabled());
        button->setEnabled(false);
    }
}

void TFrmAutoUpdate::endOperation()
{
    if (--FOperationDepth > 0)
        return;
    const auto states = std::exchange(FIdleEnabled, {});
    for (auto it = states.cbegin(); it != states.cend(); ++it)
        const_cast<QWidget *>(it.key())->setEnabled(it.value());
    if (focusWidget() == ui->PgCtrlUpdate->tabBar())
        FKeyboard->focusDefault(); // back where the operation took it from, when that button works again
    if (FCloseRequested) {
        FCloseRequested = false;
        close();
    }
}

void TFrmAutoUpdate::setButtonEnabled(QWidget *button, bool enabled)
{
    if (const auto it = FIdleEnabled.find(button); it != FIdleEnabled.end())
        *it = enabled;
    else
        button->setEnabled(enabled);
}

bool TFrmAutoUpdate::buttonEnabled(const QWidget *button) const
{
    return FIdleEnabled.value(button, button->isEnabled());
}

void TFrmAutoUpdate::Afsluiten1Click()
{
    close();
}

} // namespace klv
