#pragma once

#include <QString>
#include <QStringList>

// What the two download benchmarks share: the fixture's credentials and nginx, a large file of
// poorly compressible bytes, and the process's peak resident memory.
namespace httpbench {

extern const char *const kUser;
extern const char *const kPassword;

quint16 freePort();
// Peak resident memory of the whole run, in KiB.
long peakRssKb();
// Peak resident memory since the last resetPeakRss(), from /proc, in KiB.
long vmHwmKb();
void resetPeakRss();
// Runs tests/support/nginx-fixture.sh with the arguments.
bool fixture(const QStringList &args);
bool writeBigFile(const QString &path, qint64 bytes);

} // namespace httpbench
