#pragma once

#include <QString>

namespace klv::zlb {

// The reader's texts, in English as the component raises and reports them.
struct msg
{
    static QString archiveNotFound() { return QStringLiteral("Archive file not found"); }
    static QString unableToOpen(const QString &name) { return QStringLiteral("Unable to open file (%1)").arg(name); }
    static QString archiveCorrupted() { return QStringLiteral("The archive file appears to be corrupted"); }
    static QString unableToReadList() { return QStringLiteral("Unable to read archive file list"); }
    static QString noArchiveOpen() { return QStringLiteral("No archive is currently open"); }
    static QString indexOutOfBounds() { return QStringLiteral("Index out of bounds"); }
    static QString unableToCreatePath() { return QStringLiteral("Unable to create destination path"); }
    static QString fileCorrupt(int index) { return QStringLiteral("File (%1) is corrupt").arg(index); }
    static QString extractingRegistry() { return QStringLiteral("Extracting archive registry"); }
    static QString extracting(const QString &name) { return QStringLiteral("Extracting %1").arg(name); }
    // The file layer's own texts.
    static QString cannotCreateDir() { return QStringLiteral("Unable to create directory"); }
    static QString cannotCreateFile(const QString &name, const QString &why)
    {
        return QStringLiteral("Cannot create file \"%1\". %2").arg(name, why);
    }
};

} // namespace klv::zlb
