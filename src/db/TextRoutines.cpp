#include "TextRoutines.h"

#include "platform/Convert.h"
#include "platform/Exceptions.h"

#include <QStringList>

namespace klv {

namespace {
// The runtime's Copy: 1-based start, a count that is clamped to the text; never out of range.
QString copy(const QString &text, qsizetype index, qsizetype count)
{
    if (index < 1)
        index = 1;
    if (index > text.size() || count <= 0)
        return QString();
    return text.mid(index - 1, count);
}
} // namespace

QString RightChars(const QString &text, int16_t count)
{
    if (count <= 0)
        return QString();
    if (count >= text.size())
        return text;
    return text.right(count);
}

double TextToFloat(const QString &text)
{
    double value = 0;
    double weight = 0.1;
    bool fraction = false;
    bool negative = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'+' || c == u'-') {
            if (i != 0)
                break;
            negative = c == u'-';
        } else if (c == u'.' || c == u',') {
            if (fraction)
                break;
            fraction = true;
        } else if (c >= u'0' && c <= u'9') {
            const int digit = c - u'0';
            if (fraction) {
                value += digit * weight;
                weight *= 0.1;
            } else {
                value = value * 10 + digit;
            }
        } else {
            break;
        }
    }
    return negative ? -value : value;
}

int32_t PosOfNth(const QString &sub, const QString &text, uint8_t n)
{
    if (sub.isEmpty())
        return 0;
    // Each search continues one character after the start of the previous match, so the sum of
    // the positions found is the position in the whole text.
    qsizetype total = 0;
    qsizetype from = 0; // 0-based start of the rest
    for (int round = 0; n == 0 || round < n; ++round) {
        const qsizetype found = text.indexOf(sub, from);
        if (found < 0)
            break; // every later search fails too
        total = found + 1;
        from = found + 1;
    }
    return static_cast<int32_t>(total);
}

int32_t VersionMainNumber(const QString &version)
{
    const QString dot = QStringLiteral(".");
    const qsizetype p1 = PosOfNth(dot, version, 1);
    const qsizetype p2 = PosOfNth(dot, version, 2);
    const qsizetype p3 = PosOfNth(dot, version, 3);
    return strToInt(copy(version, 1, p1 - 1) + copy(version, p1 + 1, p2 - p1 - 1) + copy(version, p2 + 1, p3 - p2 - 1));
}

int32_t VersionBuildNumber(const QString &version)
{
    const qsizetype last = PosOfNth(QStringLiteral("."), version, 0);
    return strToInt(last == 0 ? version : version.mid(last));
}

namespace {
// The numbers of a version text without leading zeros, so that they compare by length first and
// then digit by digit, whatever their size.
QStringList versionNumbers(const QString &version)
{
    const QStringList parts = version.split(u'.');
    if (parts.size() > 4)
        throw EConvertError(QStringLiteral("'%1' is not a valid version number").arg(version));
    QStringList numbers;
    for (const QString &part : parts) {
        if (part.isEmpty())
            throw EConvertError(QStringLiteral("'%1' is not a valid version number").arg(version));
        qsizetype start = 0;
        for (qsizetype i = 0; i < part.size(); ++i) {
            const char16_t c = part[i].unicode();
            if (c < u'0' || c > u'9')
                throw EConvertError(QStringLiteral("'%1' is not a valid version number").arg(version));
            if (c == u'0' && start == i && i + 1 < part.size())
                ++start;
        }
        numbers << part.mid(start);
    }
    while (numbers.size() < 4)
        numbers << QStringLiteral("0");
    return numbers;
}
} // namespace

int compareVersions(const QString &a, const QString &b)
{
    const QStringList left = versionNumbers(a);
    const QStringList right = versionNumbers(b);
    for (qsizetype i = 0; i < 4; ++i) {
        if (left[i].size() != right[i].size())
            return left[i].size() < right[i].size() ? -1 : 1;
        const int order = left[i].compare(right[i]);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}

} // namespace klv
