#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Recipes for real PE files with version resources, built at test time by
// tests/support/make-pe.sh (windres and ld), and small helpers to inspect and damage them.
namespace pefixtures {

struct StringTable
{
    QString block; // language and code page as eight hex digits, e.g. "041304E4"
    QList<QPair<QString, QString>> values;
};

struct VersionRc
{
    quint32 flagsMask = 0x3F;
    quint32 flags = 0;
    QList<StringTable> tables;
    QList<QPair<quint16, quint16>> translations; // empty: no VarFileInfo block at all
    bool versionResource = true;                 // false: only an unrelated resource
    // The .rc text in Windows-1252, as windres reads it. Values in `wide` are written as L"..."
    // with \x escapes so that characters outside the code page can be stored.
    QByteArray toRc() const;
};

// Every key with a value, Dutch first and an English translation second, all four flags set.
VersionRc fullRecipe();

// "pe32" and "pe32+".
QStringList architectures();
// Builds `out` from the recipe; returns an empty string or the tool's complaint.
QString build(const QString &arch, const VersionRc &rc, const QString &out);

// Offset of the version tree (its root node) in a PE file, found by its key; -1 when absent.
qsizetype versionTreeOffset(const QByteArray &file);
// Offset of the node whose key is `key` (UTF-16), searching from `from`; -1 when absent.
qsizetype nodeOffset(const QByteArray &file, const QString &key, qsizetype from = 0);
quint16 readU16(const QByteArray &bytes, qsizetype at);
void writeU16(QByteArray &bytes, qsizetype at, quint16 value);
struct SectionInfo
{
    qsizetype fileOffset = 0;
    qsizetype size = 0;
    quint32 address = 0; // virtual address, image base included
};
// A section as objdump sees it; false when not found.
bool sectionInfo(const QString &arch, const QString &file, const QString &section, SectionInfo &info);
// The tags that exiftool reports for a file (exiftool -j), or an empty object.
QJsonObject exiftool(const QString &file);

} // namespace pefixtures
