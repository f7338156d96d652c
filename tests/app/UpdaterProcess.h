#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class WindowFixture;

// The built updater run as a scheduled task runs it: a separate process on an installation
// folder, no person, an exit status.
namespace updaterprocess {

struct Run
{
    QString exe;             // the updater in the installation folder
    QString install;         // KLV_INSTALL_DIR
    QString server;          // KLV_UPDATE_SERVER
    QString workingDir = {}; // empty: the installation folder
};

// Returns the exit status, -1 when it did not end normally within two minutes. With `peakRssKb`
// (Linux only) the run's peak resident memory is measured by GNU time.
int run(const Run &how, const QStringList &args, QByteArray *output = nullptr, qint64 *peakRssKb = nullptr);

// Every file below `dir` (except the database and the file names in `except`, the updater's among
// them) with a hash of its bytes, and the rows of the tables a run may change.
QStringList snapshot(const QString &dir, WindowFixture &f, const QStringList &except = {});

} // namespace updaterprocess
