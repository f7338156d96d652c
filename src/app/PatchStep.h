#pragma once

#include "packagelist/PatchSection.h"

#include <QList>
#include <QString>

#include <optional>

namespace klv {

// One file of a release brought up to date by a patch from the installed copy, instead of by its
// whole package.
namespace patchstep {

struct Choice
{
    std::optional<packagelist::PatchLine> line;
    // Why none of the file's patches fits the installed copy, for the log; empty when the list has
    // no patch for the file at all.
    QString whyNot;
};

// The patch among `lines` whose earlier file is the installed copy at `installedPath`.
Choice choose(const QList<packagelist::PatchLine> &lines, const QString &fileName, const QString &installedPath);

// Applies the fetched patch to the installed copy into a temporary file beside it, checks its
// length and SHA-256 against the line, and moves it over the installed copy as an unpacked file is
// installed (its permissions kept, one atomic step). Throws delta::EPatchError or EInOutError; the
// installed copy is then as it was and no temporary file stays.
void install(const QString &patchPath, const QString &installedPath, const packagelist::PatchLine &line);

} // namespace patchstep
} // namespace klv
