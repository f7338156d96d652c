#include "Unattended.h"

#include "AutoUpdateFrm.h"
#include "PatchStep.h"
#include "RunJournal.h"
#include "ScriptReport.h"
#include "db/TextRoutines.h"
#include "platform/Exceptions.h"
#include "platform/HttpClient.h"
#include "platform/IniFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <cstdio>
#include <optional>

namespace klv {

namespace {
const QString kRetryQuestion = QStringLiteral("Website is niet beschikbaar, wilt u het opnieuw proberen?");
const QString kBackupQuestion = QStringLiteral("Heeft u een backup van de database gemaakt?");

// Lets deferred deletions run, so a window that closed itself is gone before the exit.
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}
} // namespace

namespace {
// The value of an option given as "--name value" or "--name=value"; nothing when the argument at
// `i` is another option. A value that is missing reads as empty.
std::optional<QString> optionValue(const QStringList &arguments, qsizetype &i, const QString &name)
{
    const QString &a = arguments[i];
    if (a.startsWith(name + u'='))
        return a.mid(name.size() + 1);
    if (a != name)
        return std::nullopt;
    if (i + 1 >= arguments.size())
        return QString();
    return arguments[++i];
}
} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine line;
    bool noProxy = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (!a.startsWith(QStringLiteral("--"))) {
            line.positional << a;
        } else if (a == u"--unattended") {
            line.unattended = true;
        } else if (a == u"--convert") {
            line.convert = true;
        } else if (a == u"--backup-made") {
            line.backupMade = true;
        } else if (a == u"--no-restart") {
            line.noRestart = true;
        } else if (a == u"--dry-run") {
            line.dryRun = true;
        } else if (a == u"--history") {
            line.history = true;
        } else if (a == u"--help") {
            line.help = true;
        } else if (a == u"--no-proxy") {
            noProxy = true;
        } else if (const std::optional<QString> proxy = optionValue(arguments, i, QStringLiteral("--proxy"))) {
            QString why;
            line.proxy = ProxyChoice::fromUrl(*proxy, why);
            if (!line.proxy) {
                line.error = QStringLiteral("--proxy: ") + why;
                return line;
            }
        } else if (const std::optional<QString> file = optionValue(arguments, i, QStringLiteral("--log"))) {
            if (file->isEmpty()) {
                line.error = QStringLiteral("--log verwacht een bestandsnaam.");
                return line;
            }
            line.logFile = *file;
        } else if (const std::optional<QString> rate = optionValue(arguments, i, QStringLiteral("--min-rate"))) {
            bool ok = false;
            line.minRate = rate->toLongLong(&ok);
            if (!ok || line.minRate < 0 || line.minRate > 1024 * 1024 * 1024) {
                line.error = QStringLiteral("--min-rate verwacht een aantal bytes per seconde (0 = geen grens).");
                return line;
            }
        } else if (const std::optional<QString> window = optionValue(arguments, i, QStringLiteral("--rate-window"))) {
            bool ok = false;
            line.rateWindow = window->toInt(&ok);
            if (!ok || line.rateWindow < 1 || line.rateWindow > 24 * 3600) {
                line.error = QStringLiteral("--rate-window verwacht een aantal seconden (1 tot 86400).");
                return line;
            }
        } else {
            line.error = QStringLiteral("Onbekende optie: %1").arg(a);
            return line;
        }
    }
    if (noProxy && line.proxy) {
        line.error = QStringLiteral("--proxy en --no-proxy gaan niet samen.");
        return line;
    }
    if (noProxy)
        line.proxy = ProxyChoice::none();
    // Options that only mean something without a person at the screen.
    const bool unattendedOnly =
        line.convert || line.backupMade || !line.logFile.isEmpty() || line.minRate >= 0 || line.rateWindow >= 0;
    if (unattendedOnly && !line.unattended && !line.dryRun)
        line.error =
            QStringLiteral("--convert, --backup-made, --log, --min-rate en --rate-window horen bij --unattended.");
    else if (line.backupMade && !line.convert)
        line.error = QStringLiteral("--backup-made hoort bij --convert.");
    else if (line.dryRun && (line.convert || line.backupMade))
        line.error = QStringLiteral("--dry-run verandert niets en kan niet converteren.");
    else if (line.history && (line.unattended || line.dryRun))
        line.error = QStringLiteral("--history toont alleen de geschiedenis en gaat niet samen met --unattended of "
                                    "--dry-run.");
    return line;
}

ProxyChoice CommandLine::proxyChoice(const QString &environment, QString &error) const
{
    if (proxy)
        return *proxy;
    const QString value = environment.trimmed();
    if (value.isEmpty())
        return {};
    if (value.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
        return ProxyChoice::none();
    QString why;
    if (const std::optional<ProxyChoice> given = ProxyChoice::fromUrl(value, why))
        return *given;
    error = QStringLiteral("KLV_PROXY: ") + why;
    return {};
}

QString CommandLine::helpText()
{
    return QStringLiteral("Gebruik: AutoUpdate [venster1 [venster2 [alias]]] [opties]\n"
                          "\n"
                          "Zonder opties opent AutoUpdate het venster \"Automatisch updaten\".\n"
                          "  venster1, venster2  vensters van Kelvora die gewaarschuwd worden (0 = geen)\n"
                          "  alias               de database-alias (standaard ODBC_OVT)\n"
                          "\n"
                          "Opties voor een update zonder gebruiker (bijvoorbeeld een geplande taak):\n"
                          "  --unattended        doet wat \"Ophalen\" doet, zonder vragen en zonder venster\n"
                          "  --convert           draait daarna de databaseconversie als die klaarstaat\n"
                          "  --backup-made       bevestigt dat er een backup van de database is (nodig bij --convert)\n"
                          "  --no-restart        start Kelvora niet opnieuw na afloop (ook met venster)\n"
                          "  --log BESTAND       schrijft alle meldingen ook in BESTAND\n"
                          "  --min-rate BYTES    breekt een overdracht af die trager is dan BYTES per seconde\n"
                          "                      (standaard 1024, 0 = geen grens); daarna wordt hij hervat\n"
                          "  --rate-window SEC   over hoeveel seconden die snelheid gemeten wordt (standaard 120)\n"
                          "  --dry-run           laat zien wat een update zou doen, zonder iets te veranderen\n"
                          "  --history           toont de laatst uitgevoerde SQL-scripts uit de database\n"
                          "  --help              toont deze tekst\n"
                          "\n"
                          "Proxyserver (ook met venster):\n"
                          "  --proxy URL         haalt alles via de proxy http://[gebruiker[:wachtwoord]@]host:poort\n"
                          "                      (tekens als : en @ in naam of wachtwoord als %3A en %40)\n"
                          "  --no-proxy          haalt alles rechtstreeks, zonder proxy\n"
                          "                      Zonder deze opties geldt de omgevingsvariabele KLV_PROXY (een\n"
                          "                      adres, of none), en anders de proxy-instellingen van het systeem.\n"
                          "\n"
                          "Afsluitcodes: 0 klaar, 10 klaar maar een conversie wacht, 1 mislukt, 2 verkeerd gebruik.\n");
}

ConsoleOutput::ConsoleOutput(const QString &logFile) : FLogPath(logFile), FLog(logFile)
{
    if (!FLogPath.isEmpty())
        FLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

void ConsoleOutput::hideCustomerKey(const QString &key)
{
    FCustomerKey = key;
}

QString ConsoleOutput::withoutCustomerKey(QString text) const
{
    if (FCustomerKey.isEmpty())
        return text;
    text.replace(QStringLiteral("whatsnew") + FCustomerKey + QStringLiteral(".klv"),
                 QStringLiteral("whatsnew\u2026klv"), Qt::CaseInsensitive);
    // Elsewhere only a key long enough not to be found by chance in an ordinary word or number.
    if (FCustomerKey.size() >= kShortestHiddenKey)
        text.replace(FCustomerKey, QStringLiteral("\u2026"), Qt::CaseInsensitive);
    return text;
}

void ConsoleOutput::line(const QString &text)
{
    const QByteArray bytes = withoutCustomerKey(text).toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    if (FLog.isOpen()) {
        FLog.write(bytes);
        FLog.flush();
    }
}

UnattendedDialogs::UnattendedDialogs(ConsoleOutput &out, bool backupMade, int retries, int retryPauseMs)
    : FOut(out), FBackupMade(backupMade), FRetriesLeft(retries), FRetryPauseMs(retryPauseMs)
{
}

void UnattendedDialogs::message(Kind kind, const QString &text)
{
    static const char *const names[] = {"Informatie", "Waarschuwing", "Fout", "Vraag"};
    FOut.line(QLatin1String(names[static_cast<int>(kind)]) + QStringLiteral(": ") + text);
}

bool UnattendedDialogs::confirm(const QString &text)
{
    bool yes = false;
    if (text == kRetryQuestion && FRetriesLeft > 0) {
        --FRetriesLeft;
        QThread::msleep(static_cast<unsigned long>(FRetryPauseMs));
        yes = true;
    } else if (text == kBackupQuestion) {
        yes = FBackupMade;
    }
    FOut.line(QStringLiteral("Vraag: ") + text + (yes ? QStringLiteral(" Ja") : QStringLiteral(" Nee")));
    return yes;
}

QString UnattendedDialogs::openFile(const QString &, const QString &)
{
    return {};
}

namespace {
void observe(TFrmAutoUpdate *window, ConsoleOutput &out)
{
    window->OnDownloadLog = [&out](const QString &line) { out.line(line); };
    window->OnStatement = [&out](const QStringList &sql) { out.line(QStringLiteral("SQL: ") + sql.join(u' ')); };
    auto timer = std::make_shared<QElapsedTimer>();
    window->OnTransferProgress = [&out, timer](int64_t count, int64_t maximum) {
        // At most once a second.
        if (timer->isValid() && timer->elapsed() < 1000)
            return;
        timer->start();
        const int64_t percent = maximum > 0 ? std::min<int64_t>(100, count * 100 / maximum) : 0;
        out.line(QStringLiteral("Voortgang: %1% (%2 kB)").arg(percent).arg(count / 1024));
    };
}

// A scheduled task starts in another folder than the installation, and KLV.EXE is looked for in
// the current one; then the versions are probed. Empty when the run may go on, else why not: a
// run that could not read what KLV.EXE wants would read the sections of another release.
QString prepare(TFrmAutoUpdate &window)
{
    QDir::setCurrent(window.folders().updaterDir());
    bool shown = false;
    window.guarded([&] {
        window.FormShow();
        shown = true;
    });
    if (!shown)
        return QStringLiteral("De database kan niet worden gelezen.");
    if (!window.FVersionProblem.isEmpty())
        return QStringLiteral("De versie van KLV.EXE of de nummers van de updatescripts kunnen niet worden gelezen: %1")
            .arg(window.FVersionProblem);
    if (window.FExeDbVersion == 0)
        return QStringLiteral("KLV.EXE noemt geen databaseversie (IntegerVersion); welke release nodig is, is niet "
                              "te bepalen.");
    return {};
}

// Closes the window unless it closed itself, and lets it go. A close that could not save what
// it must turns the run into a failure.
int finish(QPointer<TFrmAutoUpdate> &window, ConsoleOutput &out, int status)
{
    bool closeFailed = false;
    if (window) {
        if (!window->FClosing)
            window->close();
        closeFailed = window && !window->FCloseFailure.isEmpty();
    }
    settle();
    if (closeFailed && status != ExitFailed) {
        out.line(QStringLiteral("Update mislukt."));
        return ExitFailed;
    }
    return status;
}
} // namespace

int runUnattended(TFrmAutoUpdate *window, const CommandLine &options, ConsoleOutput &out)
{
    QPointer<TFrmAutoUpdate> guard(window);
    if (options.minRate >= 0 || options.rateWindow >= 0) {
        HttpClient &http = *window->IdHTTP1;
        http.setMinimumRate(options.minRate >= 0 ? options.minRate : http.minimumRate(),
                            options.rateWindow >= 0 ? std::chrono::seconds(options.rateWindow)
                                                    : http.minimumRateWindow());
    }
    observe(window, out);
    if (const QString problem = prepare(*window); !problem.isEmpty()) {
        out.line(QStringLiteral("Fout: ") + problem);
        out.line(QStringLiteral("Update mislukt."));
        return finish(guard, out, ExitFailed);
    }
    out.hideCustomerKey(window->FCustomerKey);
    try {
        window->BtnDownloadClick();
    } catch (const std::exception &e) {
        out.line(QStringLiteral("Fout: ") + exceptionMessage(e));
    }
    const bool completed = guard && guard->FRunCompleted;
    const bool closed = !guard || guard->FClosing;
    if (!completed) {
        out.line(QStringLiteral("Update mislukt."));
        return finish(guard, out, ExitFailed);
    }
    if (closed) // "Auto Update is voltooid." closed the window: nothing waits
        return finish(guard, out, ExitDone);
    const bool waiting = guard->findChild<QPushButton *>(QStringLiteral("BtnUpdate"))->isEnabled();
    if (waiting && options.convert) {
        guard->guarded([&] { guard->BtnUpdateClick(); });
        const bool done = guard && guard->FConversionDone;
        if (!done)
            out.line(QStringLiteral("Conversie mislukt."));
        return finish(guard, out, done ? ExitDone : ExitFailed);
    }
    if (waiting)
        out.line(
            QStringLiteral("Een databaseconversie wacht; draai AutoUpdate met --unattended --convert --backup-made."));
    return finish(guard, out, waiting ? ExitConversionWaiting : ExitDone);
}

namespace {
QString kindText(packagelist::Wanted::Kind kind)
{
    switch (kind) {
    case packagelist::Wanted::Kind::Forced:
        return QStringLiteral("geforceerd");
    case packagelist::Wanted::Kind::Numbered:
        return QStringLiteral("genummerd");
    case packagelist::Wanted::Kind::Versioned:
        return QStringLiteral("versie");
    }
    return {};
}

QString wantedText(const packagelist::Wanted &w)
{
    if (w.kind == packagelist::Wanted::Kind::Versioned)
        return w.version;
    return w.hasNumber ? QString::number(w.number) : QStringLiteral("-");
}

// How a needed file would come: a patch from the installed copy, or its whole package.
QString fetchPlanText(TFrmAutoUpdate &window, const IniFile &list, const QString &release, const FileDecision &d)
{
    const QString archive = packagelist::archiveName(d.fileName);
    const patchstep::Choice choice = patchstep::choose(packagelist::readPatches(list, release).lines, d.fileName,
                                                       window.folders().inInstallDir(d.subfolder + d.fileName));
    if (choice.line)
        return QStringLiteral("met patch %1 (%2 bytes) in plaats van het hele pakket %3")
            .arg(choice.line->name)
            .arg(choice.line->patchLength)
            .arg(archive);
    if (!choice.whyNot.isEmpty())
        return QStringLiteral("het hele pakket %1 (geen patch: %2)").arg(archive, choice.whyNot);
    return QStringLiteral("het hele pakket %1").arg(archive);
}

} // namespace

int runDryRun(TFrmAutoUpdate *window, ConsoleOutput &out)
{
    observe(window, out);
    bool failed = false;
    try {
        if (const QString problem = prepare(*window); !problem.isEmpty())
            throw Exception(problem);
        out.hideCustomerKey(window->FCustomerKey);
        window->FRunActive = true;
        while (!window->fetchPackageList()) {
        }
        window->FRunActive = false;
        // Checked as a run would check it, without raising the kept serial or keeping the list.
        const IniFile list = IniFile::fromBytes(window->acceptedPackageList(false));
        // A run that stopped is carried on with its own release; the dry run shows that one.
        const std::optional<uint16_t> unfinished =
            RunJournal(window->folders().inInstallDir(RunJournal::fileName())).unfinishedRelease();
        const QString release = QString::number(unfinished.value_or(window->FExeDbVersion));
        out.line(QStringLiteral("Pakketlijst: %1, release %2").arg(window->FListFileName, release));
        if (unfinished)
            out.line(QStringLiteral("Een vorige update van release %1 is niet afgemaakt; die wordt eerst afgemaakt.")
                         .arg(release));
        for (const QString &key : list.readSection(QStringLiteral("KLV") + release)) {
            try {
                const FileDecision d = window->decideFileEntry(list, release, key);
                out.line(QStringLiteral("Bestand %1: %2, geïnstalleerd %3, gewenst %4: %5")
                             .arg(key, kindText(d.wanted.kind), d.installed, wantedText(d.wanted),
                                  d.needed ? QStringLiteral("nodig") : QStringLiteral("niet nodig")));
                if (d.needed)
                    out.line(QStringLiteral("  ") + fetchPlanText(*window, list, release, d));
            } catch (const std::exception &e) {
                failed = true;
                out.line(QStringLiteral("Bestand %1: fout: %2").arg(key, exceptionMessage(e)));
            }
        }
        const QString sql = QStringLiteral("SQL") + release;
        const int version = list.readInteger(sql, QStringLiteral("VERSIE"), 0);
        for (int k = window->FDbVersion + 1; k <= version && k <= UINT16_MAX; ++k)
            out.line(QStringLiteral("Databasepakket: %1.zlb").arg(k));
        const int update = list.readInteger(sql, QStringLiteral("UPDATE"), 0);
        for (int k = window->FDbUpdate + 1; k <= update && k <= UINT16_MAX; ++k)
            out.line(QStringLiteral("Scriptpakket: u%1.zlb").arg(k));
        for (const QString &command : list.readSection(QStringLiteral("CMD") + release))
            out.line(QStringLiteral("Opdracht: ") + command);
        // With the scripts that are here now; a run may bring more.
        for (const QString &line : conversionPlanLines(*window))
            out.line(line);
    } catch (const std::exception &e) {
        failed = true;
        out.line(QStringLiteral("Fout: ") + exceptionMessage(e));
    }
    out.line(QStringLiteral("Proefdraai: er is niets veranderd."));
    // Freed without closing: a dry run writes no known-package list and starts nothing.
    delete window;
    return failed ? ExitFailed : ExitDone;
}

} // namespace klv
