#pragma once

#include <QByteArray>
#include <QString>

namespace klv {

// Moves a finished file over its target in one step, so that the target is either the old file
// or the new one. On Windows a read-only target has the attribute cleared first, and a target
// that another program (a virus scanner) holds for a moment is tried again for a short while;
// when it finally fails the old file is left as it was (its attribute too). Returns an empty
// text on success, else the system's reason.
QString replaceFile(const QString &source, const QString &target);

#ifdef _WIN32
// The system's text for a Windows error code.
QString systemText(unsigned long code);
#endif

// The reason a write to `path` failed, for a message: "Schijf vol" when the volume that holds it
// has no room left (what a user can act on), else the system's own text.
QString writeFailureReason(const QString &path, const QString &systemText);
// Whether the volume that holds `path` has no room left: a write that failed there is not mended
// by trying again.
bool volumeFull(const QString &path);

// The name of the temporary file that an atomic write of `path` goes through. One updater runs at
// a time, so a fixed name is safe, and one that an interrupted run left is recognised and removed.
QString atomicTempName(const QString &path);

// Writes `bytes` to `path` through its temporary file, flushed and checked before it is moved over
// the old file, so that `path` is the old file or the new one, never a cut one. Throws EInOutError
// with the reason ("Schijf vol" or the system's text); the old file then stays as it was.
void writeFileAtomically(const QString &path, const QByteArray &bytes);

// Removes, in `dir` and its subfolders, the temporary files that interrupted work leaves: atomic
// writes (*.klvtmp), extractions (ZLB??????.tmp), packages written by earlier versions
// (*.zlb.??????) and, unless `keepPartials`, cut downloads (*.klvpart, *.klvpart.info), which
// a run that carries on resumes. Returns how many were removed.
int removeLeftovers(const QString &dir, bool keepPartials);

} // namespace klv
