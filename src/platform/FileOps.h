#pragma once

#include <QString>

namespace klv {

// Moves a finished file over its target in one step, so that the target is either the old file
// or the new one. On Windows a read-only target has the attribute cleared first, and a target
// that another program (a virus scanner) holds for a moment is tried again for a short while;
// when it finally fails the old file is left as it was (its attribute too). Returns an empty
// text on success, else the system's reason.
QString replaceFile(const QString &source, const QString &target);

} // namespace klv
