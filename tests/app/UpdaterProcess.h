#pragma once

#include "TestSupport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QThread>

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

// The updater as a separate process. Its output goes to a file (under Wine a pipe lost output now
// and then), which the test reads as it grows to find the moment to act.
class Watched
{
public:
    Watched(const QProcessEnvironment &env, const QString &program, const QString &workingDir)
    {
        FProcess.setProcessEnvironment(env);
        FProcess.setWorkingDirectory(workingDir);
        FProgram = program;
    }
    bool start(const QStringList &args)
    {
        if (!FOutput.open())
            return false;
        FOutput.close();
        FProcess.setProcessChannelMode(QProcess::MergedChannels);
        FProcess.setStandardOutputFile(FOutput.fileName());
        FClock.start();
        FProcess.start(FProgram, args);
        return FProcess.waitForStarted(30000);
    }
    QByteArray output() const { return testsupport::readFile(FOutput.fileName()); }
    // Waits until a line of the output starts with `prefix` and ends with `suffix`; false when the
    // process ended first or the time ran out.
    bool waitForLine(const QByteArray &prefix, const QByteArray &suffix = {}, int timeoutMs = 120000)
    {
        return waitForAny({{prefix, suffix}}, timeoutMs) == 0;
    }
    // The index of the first of the lines (prefix, suffix) that the output shows; -1 when the
    // process ended first or the time ran out.
    int waitForAny(const QList<QPair<QByteArray, QByteArray>> &lines, int timeoutMs = 120000)
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < timeoutMs) {
            const bool ended = FProcess.state() == QProcess::NotRunning || FProcess.waitForFinished(0);
            const QList<QByteArray> output = this->output().split('\n');
            for (qsizetype i = 0; i < lines.size(); ++i)
                for (const QByteArray &line : output)
                    if (line.trimmed().startsWith(lines[i].first) && line.trimmed().endsWith(lines[i].second))
                        return int(i);
            if (ended)
                return -1;
            QThread::msleep(2);
        }
        return -1;
    }
    qint64 elapsed() const { return FClock.elapsed(); }
    bool isRunning() { return FProcess.state() != QProcess::NotRunning && !FProcess.waitForFinished(0); }
    void kill()
    {
        FProcess.kill();
        FProcess.waitForFinished(30000);
    }
    // The exit status, or -1 when the process was killed or did not end in time.
    int finish(int timeoutMs = 180000)
    {
        const bool finished = testsupport::waitUntilEnded(FProcess, timeoutMs);
        return finished && FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
    }

private:
    QProcess FProcess;
    QString FProgram;
    QTemporaryFile FOutput;
    QElapsedTimer FClock;
};

} // namespace updaterprocess
