#pragma once

#include "platform/IniFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// The patches of a release, in the package list's section [PATCH<n>], which updaters without
// delta updates do not read. One line per patch:
//
//   <patch name>=<file name>;<SHA-256 of the earlier file>;<SHA-256 of the new file>;<its length>;
//                <the patch's length>
//
// (digests in hexadecimal; on one line). The patch lies beside the release's packages, in supports/klv<n>/, and
// makes the one file of that file's package from the earlier file it names.
namespace klv::packagelist {

struct PatchLine
{
    QString name;     // "klv.exe.1a2b3c4d5e6f7a8b.klvpatch"
    QString fileName; // as the KLV section names it, without folder
    QByteArray baseSha256;
    QByteArray resultSha256;
    int64_t resultLength = 0;
    int64_t patchLength = 0;
};

QString patchSection(const QString &release);
// The name of the patch of `fileName` from the earlier file with `baseSha256`.
QString patchName(const QString &fileName, const QByteArray &baseSha256);
QString patchValue(const PatchLine &line);
// Nothing when the line is not a patch line as written above, or its name is not a plain
// "*.klvpatch" name (a patch is fetched into the installation folder, where no other file may be
// overwritten by it).
std::optional<PatchLine> parsePatchLine(const QString &name, const QString &value);

struct PatchLines
{
    QList<PatchLine> lines;
    QStringList problems; // the lines that are not patch lines, and why
};
PatchLines readPatches(const IniFile &list, const QString &release);

// The patch for `fileName` (any case) from the earlier file with `baseSha256`; nullptr if none.
const PatchLine *findPatch(const QList<PatchLine> &lines, const QString &fileName, const QByteArray &baseSha256);

} // namespace klv::packagelist
