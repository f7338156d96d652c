#include "FetchCount.h"

#include <QLocale>
#include <algorithm>

namespace klv {

namespace {
QString megabytes(int64_t bytes)
{
    QLocale locale; // the system's, unless the program chose another
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}
} // namespace

void FetchCount::plan(int files)
{
    FPlanned = std::max(files, 0);
    FCurrent = 0;
    FName.clear();
}

void FetchCount::next(const QString &name)
{
    ++FCurrent;
    FName = name;
}

void FetchCount::clear()
{
    plan(0);
}

QString FetchCount::gaugeText(int64_t done, int64_t total) const
{
    if (FCurrent == 0)
        return QStringLiteral("%p%");
    // A plan counts what a run is expected to fetch; a file beyond it still gets an honest count.
    const int of = std::max(FPlanned, FCurrent);
    const QString amount = total > 0 ? QStringLiteral("%1 van %2 MB").arg(megabytes(done), megabytes(total))
                                     : QStringLiteral("%1 MB").arg(megabytes(done));
    return QStringLiteral("Bestand %1 van %2: %3, %4 (%p%)").arg(FCurrent).arg(of).arg(FName, amount);
}

} // namespace klv
