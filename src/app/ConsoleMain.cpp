// AutoUpdate.com: the console companion of the windowed AutoUpdate.exe. cmd.exe prefers it when
// "AutoUpdate" is typed, and waits for it: the unattended lines appear and the exit status
// reaches %ERRORLEVEL% and the scheduled task. It only passes everything on, so the updater's
// renewal of AutoUpdate.exe never needs to touch it.
#include "platform/Console.h"

int main()
{
    return klv::runBesideConsole(L"AutoUpdate.exe");
}
