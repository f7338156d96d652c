#include "PatchSection.h"

namespace klv::packagelist {

namespace {
const QString kExtension = QStringLiteral(".klvpatch");
constexpr qsizetype kMaxName = 255;
constexpr int kDigestSize = 32;

QByteArray digestOf(const QString &hex)
{
    if (hex.size() != 2 * kDigestSize)
        return {};
    for (const QChar c : hex)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return {};
    return QByteArray::fromHex(hex.toLatin1());
}

bool isPlainName(const QString &name)
{
    if (name.isEmpty() || name.size() > kMaxName || name.startsWith(u'.'))
        return false;
    for (const QChar c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == u'/' || c == u'\\' || c == u':')
            return false;
    return true;
}
} // namespace

QString patchSection(const QString &release)
{
    return QStringLiteral("PATCH") + release;
}

QString patchName(const QString &fileName, const QByteArray &baseSha256)
{
    return fileName + u'.' + QString::fromLatin1(baseSha256.left(8).toHex()) + kExtension;
}

QString patchValue(const PatchLine &line)
{
    return QStringLiteral("%1;%2;%3;%4;%5")
        .arg(line.fileName, QString::fromLatin1(line.baseSha256.toHex()),
             QString::fromLatin1(line.resultSha256.toHex()))
        .arg(line.resultLength)
        .arg(line.patchLength);
}

std::optional<PatchLine> parsePatchLine(const QString &name, const QString &value)
{
    const QStringList fields = value.split(u';');
    if (fields.size() != 5 || !isPlainName(name) || !name.endsWith(kExtension, Qt::CaseInsensitive) ||
        name.size() == kExtension.size() || !isPlainName(fields[0]))
        return std::nullopt;
    PatchLine line{name, fields[0], digestOf(fields[1]), digestOf(fields[2]), 0, 0};
    const auto length = [](const QString &text, int64_t &into) {
        bool ok = false;
        into = text.toLongLong(&ok);
        return ok && into >= 0 && text == QString::number(into);
    };
    if (line.baseSha256.isEmpty() || line.resultSha256.isEmpty() || !length(fields[3], line.resultLength) ||
        !length(fields[4], line.patchLength))
        return std::nullopt;
    return line;
}

PatchLines readPatches(const IniFile &list, const QString &release)
{
    PatchLines out;
    const QString section = patchSection(release);
    for (const QString &name : list.readSection(section)) {
        const QString value = list.readString(section, name, QString());
        if (const std::optional<PatchLine> line = parsePatchLine(name, value))
            out.lines.append(*line);
        else
            out.problems << QStringLiteral("[%1] %2=%3").arg(section, name, value);
    }
    return out;
}

const PatchLine *findPatch(const QList<PatchLine> &lines, const QString &fileName, const QByteArray &baseSha256)
{
    for (const PatchLine &line : lines)
        if (line.fileName.compare(fileName, Qt::CaseInsensitive) == 0 && line.baseSha256 == baseSha256)
            return &line;
    return nullptr;
}

} // namespace klv::packagelist
