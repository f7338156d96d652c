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
    const QString text = ansi::decode(bytes);
    for (QStringView raw : QStringView(text).split(u'\n')) {
        const QStringView line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            ini.FSections.append({line.sliced(1, line.size() - 2).trimmed().toString(), {}});
            current = &ini.FSections.last();
            continue;
        }
        if (!current)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            current->entries.append({QString(), QString()});
        else
            current->entries.append({line.first(eq).trimmed().toString(), line.sliced(eq + 1).trimmed().toString()});
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
    for (const Section &s : FSections)
        if (s.name.compare(section, Qt::CaseInsensitive) == 0)
            return &s;
    return nullptr;
}

const QPair<QString, QString> *IniFile::findEntry(const QString &section, const QString &key) const
{
    const Section *s = find(section);
    if (!s)
        return nullptr;
    for (const auto &entry : s->entries)
        if (entry.first.compare(key, Qt::CaseInsensitive) == 0)
            return &entry;
    return nullptr;
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
