#pragma once

#include "platform/Exceptions.h"

#include <QDate>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace klv::publish {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A command line that does not say what to do: exit status 2 and a pointer to --help.
class UsageError : public Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("UsageError"); }
};

void out(const QString &text);
// One line to standard error, after the tool's name.
void err(const QString &text);

// The options of one command. Every option takes a value in the next argument; one that may be
// given more than once collects them all, any other given twice is a usage error.
class Options
{
public:
    struct Accepted
    {
        QString name; // with its "--"
        bool repeatable = false;
    };

    // Throws UsageError for an unknown option, a missing value or a second value of a single one.
    Options(const QString &command, const QStringList &args, const QList<Accepted> &accepted);

    bool has(const QString &name) const { return FValues.contains(name); }
    QString value(const QString &name) const;
    QString required(const QString &name) const;
    QStringList values(const QString &name) const { return FValues.value(name); }
    const QStringList &positional() const { return FPositional; }
    void expectPositional(qsizetype count, const QString &what) const;

private:
    QString FCommand;
    QHash<QString, QStringList> FValues;
    QStringList FPositional;
};

// A whole decimal number in [min, max], digits only (no sign, no blanks). Throws UsageError naming
// `what`.
uint64_t parseNumber(const QString &text, uint64_t min, uint64_t max, const QString &what);
// yyyy-MM-dd. Throws UsageError naming `what`.
QDate parseDate(const QString &text, const QString &what);

} // namespace klv::publish
