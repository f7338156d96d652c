#pragma once

#include <QString>

namespace klv {

// The installation folder (packages, the known-package list, the error log, programs started by
// commands) and the updater's own folder (SQL scripts, Klv.exe started on close).
// Names inside the program use '\' as the target systems do; they become native paths here and
// only here, and on file systems that compare names with case an existing file is found whatever
// the case of the name asked for.
class Folders
{
public:
    Folders(const QString &installDir, const QString &updaterDir);
    // KLV_INSTALL_DIR, else C:\Klv\ on Windows and ~/Klv/ elsewhere; the updater folder is the
    // folder of the running executable.
    static Folders fromEnvironment();

    // Both end with a separator.
    const QString &installDir() const { return FInstallDir; }
    const QString &updaterDir() const { return FUpdaterDir; }

    // A name below a folder, mapped and looked up as described above.
    QString inInstallDir(const QString &name) const { return resolve(FInstallDir + name); }
    QString inUpdaterDir(const QString &name) const { return resolve(FUpdaterDir + name); }

    // True when `name`, taken below a folder, stays inside it: not empty, no root, drive or
    // "\\server" of its own, no ':' (a drive, or a stream of a file on Windows), and no ".." that
    // climbs above the folder. '\' and '/' both separate, as they do on the target systems.
    static bool staysInside(const QString &name);

    // '\' becomes '/' except on Windows.
    static QString nativePath(const QString &path);
    // The native path with every existing component spelled as it is on disk.
    static QString resolve(const QString &path);

private:
    QString FInstallDir;
    QString FUpdaterDir;
};

} // namespace klv
