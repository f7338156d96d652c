#include "Shell.h"

#include "Folders.h"

#ifdef _WIN32
// windows.h first: shellapi.h relies on its types.
#include <windows.h>

#include <QDir>
#include <shellapi.h>
#else
#include <QFileInfo>
#include <QProcess>
#endif

namespace klv {

QString shellExecuteErrorText(intptr_t result)
{
    switch (result) {
    case 0:
    case 8:
        return QStringLiteral("onvoldoende geheugen");
    case 2:
        return QStringLiteral("bestand niet gevonden");
    case 3:
        return QStringLiteral("map niet gevonden");
    case 5:
        return QStringLiteral("toegang geweigerd");
    case 11:
        return QStringLiteral("geen geldig programma");
    case 26:
        return QStringLiteral("bestand is in gebruik");
    case 27:
    case 31:
        return QStringLiteral("geen programma gekoppeld aan dit bestandstype");
    case 32:
        return QStringLiteral("een benodigde DLL ontbreekt");
    default:
        return QStringLiteral("kan niet worden gestart (fout %1)").arg(result);
    }
}

#ifdef _WIN32

intptr_t SystemShell::shellExecute(int32_t ownerWnd, const QString &verb, const QString &file, const QString &params,
                                   const QString &dir, int showCmd)
{
    // Qt spells folders with '/'; the shell and the started program get Windows paths.
    const std::wstring v = verb.toStdWString(), f = QDir::toNativeSeparators(file).toStdWString(),
                       p = params.toStdWString(), d = QDir::toNativeSeparators(dir).toStdWString();
    HINSTANCE r =
        ShellExecuteW(reinterpret_cast<HWND>(static_cast<intptr_t>(ownerWnd)), v.empty() ? nullptr : v.c_str(),
                      f.c_str(), p.empty() ? nullptr : p.c_str(), d.empty() ? nullptr : d.c_str(), showCmd);
    return reinterpret_cast<intptr_t>(r);
}

bool SystemShell::postMessage(int32_t wnd, unsigned msg, uintptr_t wParam, intptr_t lParam)
{
    // A handle of 0 means no window; PostMessage would put the message on our own queue.
    if (wnd == 0)
        return false;
    return PostMessageW(reinterpret_cast<HWND>(static_cast<intptr_t>(wnd)), msg, wParam, lParam) != 0;
}

bool SystemShell::isWindow(int32_t wnd)
{
    return IsWindow(reinterpret_cast<HWND>(static_cast<intptr_t>(wnd))) != 0;
}

#else

namespace {
constexpr intptr_t kSuccess = 42;
constexpr intptr_t kFileNotFound = 2; // ERROR_FILE_NOT_FOUND, as ShellExecute reports it

// Parameters as one text, split the way a Windows command line is split for the simple cases
// the updater uses (blank-separated, double quotes group).
QStringList splitParams(const QString &params)
{
    QStringList out;
    QString cur;
    bool quoted = false, any = false;
    for (QChar c : params) {
        if (c == u'"') {
            quoted = !quoted;
            any = true;
        } else if (c.isSpace() && !quoted) {
            if (any || !cur.isEmpty())
                out << cur;
            cur.clear();
            any = false;
        } else {
            cur += c;
        }
    }
    if (any || !cur.isEmpty())
        out << cur;
    return out;
}
} // namespace

intptr_t SystemShell::shellExecute(int32_t, const QString &, const QString &file, const QString &params,
                                   const QString &dir, int)
{
    const QString program = Folders::nativePath(file);
    if (!QFileInfo(program).isExecutable() && QFileInfo(program).isFile())
        return kFileNotFound;
    const bool ok =
        QProcess::startDetached(program, splitParams(params), dir.isEmpty() ? QString() : Folders::nativePath(dir));
    return ok ? kSuccess : kFileNotFound;
}

bool SystemShell::postMessage(int32_t, unsigned, uintptr_t, intptr_t)
{
    return false;
}

bool SystemShell::isWindow(int32_t)
{
    return false;
}

#endif

} // namespace klv
