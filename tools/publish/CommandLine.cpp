#include "CommandLine.h"

#include <algorithm>
#include <cstdio>

namespace klv::publish {

void out(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

void err(const QString &text)
{
    std::fputs(QStringLiteral("klvpublish: %1\n").arg(text).toLocal8Bit().constData(), stderr);
}

Options::Options(const QString &command, const QStringList &args, const QList<Accepted> &accepted) : FCommand(command)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (!arg.startsWith(u"--")) {
            FPositional << arg;
            continue;
        }
        const auto known =
            std::find_if(accepted.begin(), accepted.end(), [&](const Accepted &s) { return s.name == arg; });
        if (known == accepted.end())
            throw UsageError(QStringLiteral("unknown option for %1: %2").arg(command, arg));
        if (i + 1 >= args.size())
            throw UsageError(QStringLiteral("%1 needs a value").arg(arg));
        if (!known->repeatable && FValues.contains(arg))
            throw UsageError(QStringLiteral("%1 is given more than once").arg(arg));
        FValues[arg] << args[++i];
    }
}

QString Options::value(const QString &name) const
{
    const QStringList all = FValues.value(name);
    return all.isEmpty() ? QString() : all.first();
}

QString Options::required(const QString &name) const
{
    if (!has(name))
        throw UsageError(QStringLiteral("%1 needs %2").arg(FCommand, name));
    return value(name);
}

void Options::expectPositional(qsizetype count, const QString &what) const
{
    if (FPositional.size() > count)
        throw UsageError(QStringLiteral("unexpected argument for %1: %2").arg(FCommand, FPositional[count]));
    if (FPositional.size() < count)
        throw UsageError(QStringLiteral("%1 needs %2").arg(FCommand, what));
}

uint64_t parseNumber(const QString &text, uint64_t min, uint64_t max, const QString &what)
{
    const auto refuse = [&] {
        return UsageError(QStringLiteral("%1 takes a whole number from %2 to %3, not '%4'")
                              .arg(what, QString::number(min), QString::number(max), text));
    };
    if (text.isEmpty() || text.size() > 19)
        throw refuse();
    uint64_t value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            throw refuse();
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value < min || value > max)
        throw refuse();
    return value;
}

QDate parseDate(const QString &text, const QString &what)
{
    const QDate date = text.size() == 10 ? QDate::fromString(text, Qt::ISODate) : QDate();
    if (!date.isValid())
        throw UsageError(QStringLiteral("%1 takes a date as yyyy-MM-dd, not '%2'").arg(what, text));
    return date;
}

} // namespace klv::publish
