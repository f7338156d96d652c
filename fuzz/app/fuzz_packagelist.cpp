// Package lists come from the update server: any bytes must read as an INI text whose file
// entries split, classify and name their archives without failing or breaking the rules.
#include "packagelist/PackageList.h"
#include "platform/IniFile.h"

#include <cstdint>
#include <cstdlib>

using namespace klv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const IniFile ini = IniFile::fromBytes(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    for (const QString &section : ini.sections()) {
        if (!ini.sectionExists(section))
            std::abort();
        for (const QString &key : ini.readSection(section)) {
            const packagelist::FileKey file = packagelist::splitKey(key);
            if (file.fileName.contains(u'\\') || (!file.subfolder.isEmpty() && !file.subfolder.endsWith(u'\\')) ||
                file.subfolder.size() > 256 || file.subfolder.count(u'\\') > 1)
                std::abort();
            const bool present = ini.valueExists(section, file.fileName);
            const packagelist::Wanted wanted =
                packagelist::classify(ini.readString(section, file.fileName, {}), present);
            if (wanted.kind == packagelist::Wanted::Kind::Numbered && !wanted.hasNumber)
                std::abort();
            if (!packagelist::archiveName(file.fileName).endsWith(QStringLiteral("zlb")))
                std::abort();
            (void)ini.readInteger(section, key, 0);
        }
    }
    return 0;
}
