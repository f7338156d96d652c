#include "ServerAddress.h"

#include "ServerAddressData.h"

#include <QCryptographicHash>

namespace klv {

namespace {

constexpr int kFillerLength = 4;
constexpr int kFirst = 0x20; // printable 7-bit range: 0x20 .. 0x7E
constexpr int kRange = 95;
constexpr int kKey[] = {29, 71, 5, 88, 42, 13, 60, 37, 94, 18, 51};

int shiftAt(qsizetype position, qsizetype length)
{
    const auto key = kKey[position % qsizetype(std::size(kKey))];
    return int((key + 7 * (position % kRange) + 3 * (length % kRange)) % kRange);
}

bool isPrintable(char16_t c)
{
    return c >= kFirst && c < kFirst + kRange;
}

QString withoutTrailingSlashes(QString address)
{
    while (address.endsWith(QLatin1Char('/')))
        address.chop(1);
    return address;
}

} // namespace

QString scrambledServerBase()
{
    return QString::fromUtf16(kScrambledServerBase, qsizetype(std::size(kScrambledServerBase)));
}

QString scrambleServerBase(const QString &plain)
{
    // The filler only has to look like the rest; a hash of the address keeps builds repeatable.
    QString result = QString::fromLatin1(
        QCryptographicHash::hash(plain.toUtf8(), QCryptographicHash::Md5).toHex().left(kFillerLength));
    const qsizetype length = kFillerLength + plain.size();
    for (qsizetype i = 0; i < plain.size(); ++i) {
        const char16_t c = plain.at(i).unicode();
        const qsizetype position = kFillerLength + i;
        result += isPrintable(c) ? QChar(kFirst + (c - kFirst + shiftAt(position, length)) % kRange) : QChar(c);
    }
    return result;
}

QString unscrambleServerBase(const QString &scrambled)
{
    QString result;
    const qsizetype length = scrambled.size();
    for (qsizetype position = kFillerLength; position < length; ++position) {
        const char16_t c = scrambled.at(position).unicode();
        result +=
            isPrintable(c) ? QChar(kFirst + (c - kFirst + kRange - shiftAt(position, length)) % kRange) : QChar(c);
    }
    return result;
}

QString storedServerBase()
{
    const QString override = qEnvironmentVariable("KLV_UPDATE_SERVER");
    return override.isEmpty() ? scrambledServerBase() : scrambleServerBase(withoutTrailingSlashes(override));
}

QString serverBase()
{
    const QString override = qEnvironmentVariable("KLV_UPDATE_SERVER");
    if (!override.isEmpty())
        return withoutTrailingSlashes(override);
    return unscrambleServerBase(scrambledServerBase());
}

} // namespace klv
