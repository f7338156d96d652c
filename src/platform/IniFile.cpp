#include "IniFile.h"

#include "Ansi.h"
#include "Convert.h"
#include "Exceptions.h"

#include <QFile>

namespace klv {

IniFile IniFile::fromBytes(QByteArrayView bytes)
{
    IniFile ini;
    Section *current = nullptr;
    // An editor may have put a UTF-8 byte-order mark before the first section; it is no text.
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    const QString text = ansi::decode(bytes);
    for (QStringView raw : QStringView(text).split(u'\n')) {
        const QStringView line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            const QString name = line.sliced(1, line.size() - 2).trimmed().toString();
            if (!ini.FFirstSection.contains(name.toCaseFolded()))
                ini.FFirstSection.insert(name.toCaseFolded(), ini.FSections.size());
            ini.FSections.append({name, {}, {}});
            current = &ini.FSections.last();
            continue;
        }
        if (!current)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        QString key, value;
        if (eq >= 0) {
            key = line.first(eq).trimmed().toString();
            value = line.sliced(eq + 1).trimmed().toString();
        }
        const QString folded = key.toCaseFolded();
        if (!current->firstEntry.contains(folded))
            current->firstEntry.insert(folded, current->entries.size());
        current->entries.append({key, value});
    }
    return ini;
}

IniFile IniFile::fromFile(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
    return fromBytes(file.readAll());
}

const IniFile::Section *IniFile::find(const QString &section) const
{
    const auto it = FFirstSection.constFind(section.toCaseFolded());
    return it == FFirstSection.constEnd() ? nullptr : &FSections[*it];
}

const QPair<QString, QString> *IniFile::findEntry(const QString &section, const QString &key) const
{
    const Section *s = find(section);
    if (!s)
        return nullptr;
    const auto it = s->firstEntry.constFind(key.toCaseFolded());
    return it == s->firstEntry.constEnd() ? nullptr : &s->entries[*it];
}

QStringList IniFile::sections() const
{
    QStringList out;
    for (const Section &s : FSections)
        out << s.name;
    return out;
}

bool IniFile::sectionExists(const QString &section) const
{
    return find(section) != nullptr;
}

QStringList IniFile::readSection(const QString &section) const
{
    QStringList out;
    if (const Section *s = find(section))
        for (const auto &entry : s->entries)
            out << entry.first;
    return out;
}

QString IniFile::readString(const QString &section, const QString &key, const QString &fallback) const
{
    const auto *entry = findEntry(section, key);
    return entry ? entry->second : fallback;
}

int32_t IniFile::readInteger(const QString &section, const QString &key, int32_t fallback) const
{
    const auto *entry = findEntry(section, key);
    return entry ? strToIntDef(entry->second, fallback) : fallback;
}

bool IniFile::valueExists(const QString &section, const QString &key) const
{
    return findEntry(section, key) != nullptr;
}

} // namespace klv
