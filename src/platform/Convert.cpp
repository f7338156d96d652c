#include "Convert.h"

#include "Exceptions.h"

namespace klv {

namespace {
int digitOf(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}
} // namespace

bool tryStrToInt(const QString &text, int32_t &value)
{
    qsizetype i = 0;
    while (i < text.size() && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == u'$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    int64_t acc = 0;
    for (; i < text.size(); ++i) {
        const int digit = digitOf(text[i]);
        if (digit < 0 || digit >= base)
            return false;
        acc = acc * base + digit;
        // Hexadecimal texts may spell the full 32-bit pattern; decimal ones must fit.
        if (acc > (base == 16 ? int64_t{0xFFFFFFFF} : int64_t{0x80000000}))
            return false;
    }
    if (base == 16) {
        value = static_cast<int32_t>(static_cast<uint32_t>(acc));
        if (negative)
            value = static_cast<int32_t>(0u - static_cast<uint32_t>(value));
        return true;
    }
    if (negative)
        acc = -acc;
    if (acc > INT32_MAX || acc < INT32_MIN)
        return false;
    value = static_cast<int32_t>(acc);
    return true;
}

int32_t strToInt(const QString &text)
{
    int32_t value = 0;
    if (!tryStrToInt(text, value))
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return value;
}

int32_t strToIntDef(const QString &text, int32_t fallback)
{
    int32_t value = 0;
    return tryStrToInt(text, value) ? value : fallback;
}

} // namespace klv

namespace klv {

QString trimControl(const QString &text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && text[begin].unicode() <= u' ')
        ++begin;
    while (end > begin && text[end - 1].unicode() <= u' ')
        --end;
    return text.sliced(begin, end - begin);
}

} // namespace klv
