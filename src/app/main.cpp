// The program entry: the application titled "AutoUpdate" with its one window.
#include "AutoUpdateFrm.h"
#include "QtDialogs.h"
#include "platform/ServerAddress.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("AutoUpdate"));

    klv::QtDialogs dialogs;
    klv::SystemShell shell;
    klv::SystemClock clock;
    const klv::Folders folders = klv::Folders::fromEnvironment();
    klv::Seams seams{dialogs,
                     shell,
                     clock,
                     folders,
                     klv::AliasTable::fromEnvironment(folders.installDir()),
                     klv::storedServerBase()};

    // The window frees itself when it closes, which ends the message loop.
    auto *window = new klv::TFrmAutoUpdate(seams, QApplication::arguments().mid(1));
    window->show();
    return QApplication::exec();
}
