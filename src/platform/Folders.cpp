#include "Folders.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>

namespace klv {

namespace {
QString withSeparator(QString dir)
{
    dir = Folders::nativePath(dir);
    if (!dir.endsWith(u'/') && !dir.endsWith(u'\\'))
        dir += u'/';
    return dir;
}
} // namespace

Folders::Folders(const QString &installDir, const QString &updaterDir)
    : FInstallDir(withSeparator(installDir)), FUpdaterDir(withSeparator(updaterDir))
{
}

Folders Folders::fromEnvironment()
{
    QString install = qEnvironmentVariable("KLV_INSTALL_DIR");
    if (install.isEmpty()) {
#ifdef _WIN32
        install = QStringLiteral("C:\\Klv\\");
#else
        install = QDir::homePath() + QStringLiteral("/Klv/");
#endif
    }
    return Folders(install, QCoreApplication::applicationDirPath());
}

bool Folders::staysInside(const QString &name)
{
    if (name.isEmpty() || name.startsWith(u'\\') || name.startsWith(u'/') || name.contains(u':'))
        return false;
    int depth = 0;
    for (const QString &segment : name.split(QRegularExpression(QStringLiteral("[\\\\/]")))) {
        if (segment.isEmpty() || segment == u".")
            continue;
        // Windows drops trailing dots and blanks from a name, so ". ." and "..." are ".." there.
        QString bare = segment;
        while (!bare.isEmpty() && (bare.endsWith(u'.') || bare.endsWith(u' ')))
            bare.chop(1);
        if (!bare.isEmpty()) {
            ++depth;
            continue;
        }
        if (segment.trimmed() != u"..")
            return false; // a name of only dots and blanks means nothing good
        if (--depth < 0)
            return false;
    }
    return true;
}

QString Folders::nativePath(const QString &path)
{
#ifdef _WIN32
    return path; // both separators work; the shell seam converts what it hands to Windows
#else
    QString out = path;
    out.replace(u'\\', u'/');
    return out;
#endif
}

QString Folders::resolve(const QString &path)
{
    const QString native = nativePath(path);
#ifdef _WIN32
    return native;
#else
    if (native.isEmpty() || QFileInfo::exists(native))
        return native;
    // Walk the components; the first one that is missing as spelled is looked up without case.
    const bool absolute = native.startsWith(u'/');
    const QStringList parts = native.split(u'/', Qt::SkipEmptyParts);
    QString done = absolute ? QStringLiteral("/") : QString();
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString &part = parts[i];
        QString candidate = done + part;
        if (!QFileInfo::exists(candidate) && part != u"." && part != u"..") {
            // Unsorted and without file details: only the names are compared.
            QDirIterator it(done.isEmpty() ? QStringLiteral(".") : done,
                            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
            bool found = false;
            while (it.hasNext()) {
                const QString entry = it.nextFileInfo().fileName();
                if (entry.compare(part, Qt::CaseInsensitive) == 0) {
                    candidate = done + entry;
                    found = true;
                    break;
                }
            }
            if (!found) {
                // Nothing further exists: keep the rest as asked.
                QString rest = done + parts.mid(i).join(u'/');
                if (native.endsWith(u'/'))
                    rest += u'/';
                return rest;
            }
        }
        done = candidate;
        if (i + 1 < parts.size() || native.endsWith(u'/'))
            done += u'/';
    }
    return done;
#endif
}

} // namespace klv
