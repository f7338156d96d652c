#include "Console.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#include <string>
#endif

namespace klv {

#ifdef _WIN32

namespace {
bool isUsable(DWORD which)
{
    const HANDLE h = GetStdHandle(which);
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

// The raw command line after the program's own name, as cmd.exe passed it.
std::wstring argumentsOfThisProcess()
{
    const wchar_t *p = GetCommandLineW();
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"')
            ++p;
        if (*p)
            ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t')
            ++p;
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}
} // namespace

void useParentConsole()
{
    if (isUsable(STD_OUTPUT_HANDLE))
        return; // redirected to a file or a pipe: the lines go there
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    std::FILE *ignored = nullptr;
    freopen_s(&ignored, "CONOUT$", "w", stdout);
    freopen_s(&ignored, "CONOUT$", "w", stderr);
}

int runBesideConsole(const std::wstring &program)
{
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return -1;
    std::wstring path(self, n);
    path.erase(path.find_last_of(L"\\/") + 1);
    path += program;

    std::wstring commandLine = L"\"" + path + L"\" " + argumentsOfThisProcess();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fwprintf(stderr, L"Kan %ls niet starten (fout %lu).\n", path.c_str(), GetLastError());
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

#else

void useParentConsole() {}

int runBesideConsole(const std::wstring &)
{
    return -1;
}

#endif

} // namespace klv
