#pragma once

#include <QString>

namespace klv {

class Clock;

// The error log AuError.txt in the installation folder. Each entry is a line end, the date in
// the system's short format and a line end, then the message without a line end, so a new log
// starts with an empty line and each entry's first line end closes the previous message.
class ErrorLog
{
public:
    ErrorLog(QString path, const Clock &clock);
    // Appends one entry; a file error is raised to the caller (EInOutError).
    void append(const QString &message) const;
    const QString &path() const { return FPath; }

private:
    QString FPath;
    const Clock &FClock;
};

} // namespace klv
