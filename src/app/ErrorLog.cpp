#include "ErrorLog.h"

#include "platform/Ansi.h"
#include "platform/Clock.h"
#include "platform/Exceptions.h"

#include <QFile>
#include <QLocale>

namespace klv {

ErrorLog::ErrorLog(QString path, const Clock &clock) : FPath(std::move(path)), FClock(clock) {}

void ErrorLog::append(const QString &message) const
{
    const QString date = QLocale::system().toString(FClock.today(), QLocale::ShortFormat);
    const QByteArray entry = "\r\n" + ansi::encode(date) + "\r\n" + ansi::encode(message);
    QFile file(FPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(entry) != entry.size() || !file.flush())
        throw EInOutError(QStringLiteral("Cannot write \"%1\". %2").arg(FPath, file.errorString()));
}

} // namespace klv
