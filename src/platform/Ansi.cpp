#include "Ansi.h"

#include "Exceptions.h"
#include "FileOps.h"

#include <QFile>
#include <array>

namespace klv::ansi {

namespace {

// 0x80..0x9F of Windows-1252; 0 marks the five unassigned bytes, which map to the C1 control
// characters of the same value, as the platform does.
constexpr std::array<char16_t, 32> kHigh = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                            0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t toUnicode(unsigned char b)
{
    if (b >= 0x80 && b <= 0x9F && kHigh[b - 0x80] != 0)
        return kHigh[b - 0x80];
    return b;
}

char toAnsi(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (size_t i = 0; i < kHigh.size(); ++i) {
        const char16_t mapped = kHigh[i] != 0 ? kHigh[i] : static_cast<char16_t>(0x80 + i);
        if (mapped == c)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

} // namespace

QString decode(QByteArrayView bytes)
{
    QString out(bytes.size(), Qt::Uninitialized);
    QChar *dst = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        dst[i] = QChar(toUnicode(static_cast<unsigned char>(bytes[i])));
    return out;
}

QByteArray encode(QStringView text)
{
    QByteArray out(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = toAnsi(text[i].unicode());
    return out;
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
    const QByteArray all = file.readAll();
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < all.size(); ++i) {
        if (all[i] != '\r' && all[i] != '\n')
            continue;
        lines << decode(QByteArrayView(all).sliced(start, i - start));
        if (all[i] == '\r' && i + 1 < all.size() && all[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < all.size())
        lines << decode(QByteArrayView(all).sliced(start));
    return lines;
}

void writeLines(const QString &path, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines) {
        bytes += encode(line);
        bytes += "\r\n";
    }
    writeFileAtomically(path, bytes);
}

} // namespace klv::ansi
