// A small Windows program for the shell test: writes the command line it was given, as Windows
// passed it, to "args.txt" in its own folder.
#include <windows.h>

#include <cstdio>
#include <string>

int main()
{
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    path.erase(path.find_last_of(L"\\/") + 1);
    path += L"args.txt";
    std::FILE *out = _wfopen(path.c_str(), L"w");
    if (!out)
        return 1;
    std::fputws(GetCommandLineW(), out);
    std::fclose(out);
    return 0;
}
