#pragma once

#include <string>

namespace klv {

// The program is a windowed (GUI) program on Windows, which has no console of its own. For the
// modes without a person, its lines go to the console of the program that started it (cmd.exe),
// unless its output was redirected already. Elsewhere this does nothing.
void useParentConsole();

// The body of the small console program beside the updater: starts `program` (a file in its
// own folder) with the same arguments and standard handles, waits for it and returns its exit
// status, so that cmd.exe and scheduled tasks see the lines and the status. Windows only; -1
// elsewhere or when the program cannot be started.
int runBesideConsole(const std::wstring &program);

} // namespace klv
