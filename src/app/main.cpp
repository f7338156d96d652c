// The program entry: the application titled "AutoUpdate" with its one window, or the same
// window driven without a person for a scheduled update or a dry run.
#include "AutoUpdateFrm.h"
#include "BuiltInTrust.h"
#include "QtDialogs.h"
#include "ScriptReport.h"
#include "Unattended.h"
#include "platform/Console.h"
#include "platform/InstallLock.h"
#include "platform/NetworkThreadGate.h"
#include "platform/ServerAddress.h"

#include <QApplication>
#include <cstdio>

namespace {
// How long an unattended run waits before it asks the server for the package list again.
int retryPauseMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("KLV_RETRY_PAUSE_MS", &ok);
    return ok ? ms : 10000;
}
} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    klv::CommandLine line = klv::CommandLine::parse(arguments);
    QString proxyError;
    const klv::ProxyChoice proxy = line.proxyChoice(qEnvironmentVariable("KLV_PROXY"), proxyError);
    if (line.error.isEmpty() && !proxyError.isEmpty())
        line.error = proxyError;
    const bool withoutPerson = line.unattended || line.dryRun || line.history;
    if (withoutPerson || line.help || !line.error.isEmpty())
        klv::useParentConsole();
    if (line.help || !line.error.isEmpty()) {
        const QByteArray text =
            ((line.error.isEmpty() ? QString() : line.error + u'\n') + klv::CommandLine::helpText()).toUtf8();
        std::fwrite(text.constData(), 1, size_t(text.size()), line.error.isEmpty() ? stdout : stderr);
        return line.error.isEmpty() ? klv::ExitDone : klv::ExitUsage;
    }
    // No screen is needed when nobody looks at it.
    if (withoutPerson && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    klv::preferCoalescingEventLoop();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("AutoUpdate"));

    klv::SystemShell shell;
    klv::SystemClock clock;
    const klv::Folders folders = klv::Folders::fromEnvironment();
    // One updater at a time: a second one (a scheduled run while somebody works in the window)
    // says so and touches nothing.
    klv::InstallLock lock(folders.installDir());
    const bool locked = lock.tryLock(clock.now());
    const auto seams = [&](klv::Dialogs &dialogs) {
        klv::Seams s{dialogs,
                     shell,
                     clock,
                     folders,
                     klv::AliasTable::fromEnvironment(folders.installDir()),
                     klv::storedServerBase()};
        s.startMainProgramOnClose = !line.noRestart && !line.dryRun && !line.history;
        s.publicKeys = klv::builtInPublicKeys();
        s.authorities = klv::builtInAuthorities();
        s.proxy = proxy;
        return s;
    };

    if (withoutPerson) {
        klv::ConsoleOutput out(line.logFile);
        if (!out.isOpen()) {
            std::fprintf(stderr, "Kan het logbestand niet openen: %s\n", qPrintable(line.logFile));
            return klv::ExitUsage;
        }
        // Reading the history changes nothing: also while another updater is at work.
        if (!locked && !line.history) {
            out.line(QStringLiteral("Fout: ") + lock.refusalText());
            out.line(QStringLiteral("Update mislukt."));
            return klv::ExitFailed;
        }
        klv::UnattendedDialogs dialogs(out, line.backupMade, 3, retryPauseMs());
        auto *window = new klv::TFrmAutoUpdate(seams(dialogs), line.positional);
        if (line.history)
            return klv::runHistory(window, out);
        return line.dryRun ? klv::runDryRun(window, out) : klv::runUnattended(window, line, out);
    }

    klv::QtDialogs dialogs;
    if (!locked) {
        dialogs.warning(lock.refusalText());
        return klv::ExitFailed;
    }
    // The window frees itself when it closes, which ends the message loop. A window that is
    // closed during a transfer hides until the transfer has unwound; hiding must not end the loop.
    QApplication::setQuitOnLastWindowClosed(false);
    auto *window = new klv::TFrmAutoUpdate(seams(dialogs), line.positional);
    QObject::connect(window, &QObject::destroyed, &app, &QCoreApplication::quit);
    window->show();
    return QApplication::exec();
}
