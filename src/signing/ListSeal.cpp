#include "ListSeal.h"

#include "platform/Ansi.h"

#include <QSet>

namespace klv::signing {

namespace {

constexpr qsizetype kMaxPathLength = 1024;
constexpr qsizetype kMaxLengthDigits = 15; // below 10^15 bytes: far above any package

// A header line's section name, or nothing for other lines (as the list reader sees them).
std::optional<QString> sectionName(QStringView line)
{
    if (line.size() >= 2 && line.startsWith(u'[') && line.endsWith(u']'))
        return line.sliced(1, line.size() - 2).trimmed().toString();
    return std::nullopt;
}

bool isSection(const QString &name, const char *which)
{
    return name.compare(QLatin1String(which), Qt::CaseInsensitive) == 0;
}

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

std::optional<int64_t> decimal(QStringView text, qsizetype maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return std::nullopt;
    int64_t value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

bool plainPath(QStringView path)
{
    if (path.isEmpty() || path.size() > kMaxPathLength || path.startsWith(u'/'))
        return false;
    for (const QChar c : path)
        if (c.unicode() < 0x20 || c == u'\\' || c.unicode() == 0x7f)
            return false;
    return true;
}

// A list's name as the updater asks for it: a plain file name, no folder.
bool plainFileName(QStringView name)
{
    if (name.isEmpty() || name.size() > 255 || name == u"." || name == u"..")
        return false;
    for (const QChar c : name)
        if (c.unicode() < 0x20 || c == u'\\' || c == u'/' || c == u':' || c.unicode() == 0x7f)
            return false;
    return true;
}

// "<path>=<64 hex> <length>", or nothing.
std::optional<FileDigest> digestLine(QStringView line)
{
    const qsizetype eq = line.indexOf(u'=');
    if (eq <= 0)
        return std::nullopt;
    const QStringView path = line.first(eq).trimmed();
    const QStringView value = line.sliced(eq + 1).trimmed();
    const qsizetype blank = value.indexOf(u' ');
    if (!plainPath(path) || blank != 64)
        return std::nullopt;
    const QStringView hex = value.first(64);
    for (const QChar c : hex)
        if (!isHexDigit(c))
            return std::nullopt;
    const auto length = decimal(value.sliced(65).trimmed(), kMaxLengthDigits);
    if (!length)
        return std::nullopt;
    return FileDigest{path.toString(), QByteArray::fromHex(hex.toLatin1()), *length};
}

QString lineProblem(int number, const char *section)
{
    return QStringLiteral("regel %1 in [%2] is onleesbaar").arg(number).arg(QLatin1String(section));
}

} // namespace

const FileDigest *ListSeal::find(const QString &path) const
{
    for (const FileDigest &file : files)
        if (file.path.compare(path, Qt::CaseInsensitive) == 0)
            return &file;
    return nullptr;
}

SealReading readSeal(QByteArrayView list)
{
    const QString text = ansi::decode(list);
    ListSeal seal;
    QSet<QString> paths;
    enum class In
    {
        Other,
        Digests,
        Signed
    } in = In::Other;
    int digestSections = 0, signedSections = 0;
    std::optional<int64_t> serial;
    bool haveExpiry = false;
    bool haveName = false;
    int number = 0;
    const auto failed = [](const QString &problem) { return SealReading{std::nullopt, problem}; };
    for (QStringView raw : QStringView(text).split(u'\n')) {
        ++number;
        const QStringView line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (const auto name = sectionName(line)) {
            in = isSection(*name, kDigestSection)   ? In::Digests
                 : isSection(*name, kSignedSection) ? In::Signed
                                                    : In::Other;
            if ((in == In::Digests && ++digestSections > 1) || (in == In::Signed && ++signedSections > 1))
                return failed(QStringLiteral("de sectie [%1] staat er meer dan eens in").arg(*name));
            continue;
        }
        if (in == In::Digests) {
            const auto digest = digestLine(line);
            if (!digest)
                return failed(lineProblem(number, kDigestSection));
            if (paths.contains(digest->path.toCaseFolded()))
                return failed(QStringLiteral("%1 staat er meer dan eens in").arg(digest->path));
            paths.insert(digest->path.toCaseFolded());
            seal.files.append(*digest);
        } else if (in == In::Signed) {
            const qsizetype eq = line.indexOf(u'=');
            if (eq <= 0)
                return failed(lineProblem(number, kSignedSection));
            const QStringView key = line.first(eq).trimmed();
            const QStringView value = line.sliced(eq + 1).trimmed();
            if (key.compare(u"serial", Qt::CaseInsensitive) == 0 && !serial) {
                serial = decimal(value, 18);
                if (!serial)
                    return failed(QStringLiteral("het volgnummer (serial) is geen getal"));
            } else if (key.compare(u"list", Qt::CaseInsensitive) == 0 && !haveName) {
                if (!plainFileName(value))
                    return failed(QStringLiteral("de naam van de lijst (list) is geen bestandsnaam"));
                seal.list = value.toString();
                haveName = true;
            } else if (key.compare(u"expires", Qt::CaseInsensitive) == 0 && !haveExpiry) {
                seal.expires = value.size() == 10 ? QDate::fromString(value.toString(), Qt::ISODate) : QDate();
                if (!seal.expires.isValid())
                    return failed(QStringLiteral("de vervaldatum (expires) is geen datum als 2027-12-31"));
                haveExpiry = true;
            } else {
                return failed(lineProblem(number, kSignedSection));
            }
        }
    }
    if (signedSections == 0)
        return failed(QStringLiteral("de sectie [SIGNED] ontbreekt"));
    if (digestSections == 0)
        return failed(QStringLiteral("de sectie [SHA256] ontbreekt"));
    if (!serial)
        return failed(QStringLiteral("het volgnummer (serial) ontbreekt"));
    if (!haveExpiry)
        return failed(QStringLiteral("de vervaldatum (expires) ontbreekt"));
    seal.serial = uint64_t(*serial);
    return {seal, {}};
}

QByteArray withSeal(QByteArrayView list, const ListSeal &seal)
{
    // Kept line by line with their own endings; the seal's sections are dropped wherever they are.
    QByteArray kept;
    bool dropping = false;
    qsizetype start = 0;
    while (start < list.size()) {
        qsizetype end = list.indexOf('\n', start);
        end = end < 0 ? list.size() : end + 1;
        const QByteArrayView raw = list.sliced(start, end - start);
        start = end;
        if (const auto name = sectionName(ansi::decode(raw).trimmed()))
            dropping = isSection(*name, kDigestSection) || isSection(*name, kSignedSection);
        if (!dropping)
            kept.append(raw);
    }
    if (!kept.isEmpty() && !kept.endsWith('\n'))
        kept.append("\r\n");
    QString sections = QStringLiteral("[%1]\r\n").arg(QLatin1String(kDigestSection));
    // One pass of arg() per line: a '%' in a path is text, not a place for the next argument.
    for (const FileDigest &file : seal.files)
        sections += QStringLiteral("%1=%2 %3\r\n")
                        .arg(file.path, QString::fromLatin1(file.sha256.toHex()), QString::number(file.length));
    sections += QStringLiteral("[%1]\r\n").arg(QLatin1String(kSignedSection));
    if (!seal.list.isEmpty())
        sections += QStringLiteral("list=") + seal.list + QStringLiteral("\r\n");
    sections += QStringLiteral("serial=%1\r\nexpires=%2\r\n")
                    .arg(QString::number(seal.serial), seal.expires.toString(Qt::ISODate));
    return kept + ansi::encode(sections);
}

} // namespace klv::signing
