#pragma once

#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace klv {

// An INI text read whole into memory (package lists, the alias file), in Windows-1252.
// Every line is trimmed first; empty lines and lines starting with ';' are ignored; "[name]"
// opens a section; "key = value" lines belong to the section above them, with blanks around
// the first '=' removed; a line without '=' has an empty key. Lines before the first section are
// ignored. Section and key names match without regard to case. When a section or a key occurs
// twice, the first occurrence counts, as lookups in the runtime's reader find the first one.
class IniFile
{
public:
    static IniFile fromBytes(QByteArrayView bytes);
    // A file that does not exist reads as empty; one that cannot be read throws EInOutError.
    static IniFile fromFile(const QString &path);

    QStringList sections() const;
    bool sectionExists(const QString &section) const;
    // The keys of a section in file order (empty keys included).
    QStringList readSection(const QString &section) const;
    QString readString(const QString &section, const QString &key, const QString &fallback) const;
    int32_t readInteger(const QString &section, const QString &key, int32_t fallback) const;
    bool valueExists(const QString &section, const QString &key) const;

private:
    struct Section
    {
        QString name;
        QList<QPair<QString, QString>> entries;
        QHash<QString, qsizetype> firstEntry; // folded key -> index of its first occurrence
    };
    const Section *find(const QString &section) const;
    const QPair<QString, QString> *findEntry(const QString &section, const QString &key) const;

    QList<Section> FSections;
    QHash<QString, qsizetype> FFirstSection; // folded name -> index of its first occurrence
};

} // namespace klv
