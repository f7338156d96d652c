// Command lines of update scripts come from the server's package list: any text must split
// into a command without '$' and an argument of at most 100 trimmed characters, or be refused.
#include "packagelist/PackageList.h"
#include "platform/Ansi.h"

#include <cstdint>
#include <cstdlib>

using namespace klv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString line = ansi::decode(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    const auto parsed = packagelist::parseScriptLine(line);
    if (!parsed) {
        if (line.contains(u'$'))
            std::abort();
        return 0;
    }
    if (parsed->command.contains(u'$') || parsed->argument.size() > 100)
        std::abort();
    if (!parsed->argument.isEmpty() &&
        (parsed->argument.front().unicode() <= u' ' || parsed->argument.back().unicode() <= u' '))
        std::abort();
    if (!line.startsWith(parsed->command + u'$'))
        std::abort();
    return 0;
}
