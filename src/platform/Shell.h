#pragma once

#include <QString>
#include <cstdint>

namespace klv {

// Starting programs and posting window messages. Window handles are 32-bit values as they
// arrive on the command line.
class Shell
{
public:
    enum ShowCmd
    {
        SW_HIDE = 0,
        SW_SHOWNORMAL = 1
    };
    static constexpr unsigned WM_USER = 0x400;

    virtual ~Shell() = default;
    // Behaves as ShellExecute: a result above 32 is success.
    virtual intptr_t shellExecute(int32_t ownerWnd, const QString &verb, const QString &file, const QString &params,
                                  const QString &dir, int showCmd) = 0;
    virtual bool postMessage(int32_t wnd, unsigned msg, uintptr_t wParam, intptr_t lParam) = 0;
    virtual bool isWindow(int32_t wnd) = 0;
};

// What a ShellExecute result of 32 or less means, in Dutch.
QString shellExecuteErrorText(intptr_t result);

// The shell of the machine the program runs on: the Win32 calls on Windows; elsewhere programs
// are started detached and window messages reach no window.
class SystemShell : public Shell
{
public:
    intptr_t shellExecute(int32_t ownerWnd, const QString &verb, const QString &file, const QString &params,
                          const QString &dir, int showCmd) override;
    bool postMessage(int32_t wnd, unsigned msg, uintptr_t wParam, intptr_t lParam) override;
    bool isWindow(int32_t wnd) override;
};

} // namespace klv
