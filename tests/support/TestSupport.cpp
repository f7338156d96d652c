#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QThread>

namespace testsupport {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        QTest::qFail(qPrintable(QStringLiteral("cannot write ") + path), __FILE__, __LINE__);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

namespace {
// Under Wine a Windows program cannot start a Linux tool and see its output or exit status. The
// Windows test run (scripts/test-windows.sh) therefore starts a host runner on the Linux side that
// takes requests through a spool folder: one file names the program and its arguments, one line
// each; the runner writes the output and then the exit status beside it.
int runOnHost(const QString &spool, const QString &program, const QStringList &args, QByteArray *output, int timeoutMs)
{
    static int serial = 0;
    const QString id = QStringLiteral("%1-%2").arg(QCoreApplication::applicationPid()).arg(++serial);
    const QString base = spool + u'/' + id;
    QFile request(base + QStringLiteral(".tmp"));
    if (!request.open(QIODevice::WriteOnly))
        return -1;
    request.write((QStringList{program} + args).join(u'\n').toUtf8() + '\n');
    request.close();
    if (!QFile::rename(base + QStringLiteral(".tmp"), base + QStringLiteral(".req")))
        return -1;
    QElapsedTimer clock;
    clock.start();
    const QString statusPath = base + QStringLiteral(".status");
    while (!QFileInfo::exists(statusPath)) {
        if (clock.elapsed() > timeoutMs) {
            if (output)
                *output = "(the host runner did not answer)";
            return -1;
        }
        QThread::msleep(20);
    }
    if (output)
        *output = readFile(base + QStringLiteral(".out"));
    const int code = readFile(statusPath).trimmed().toInt();
    QFile::remove(base + QStringLiteral(".out"));
    QFile::remove(statusPath);
    return code;
}
} // namespace

bool waitUntilEnded(QProcess &process, int timeoutMs)
{
    if (process.state() == QProcess::NotRunning)
        return process.error() != QProcess::FailedToStart;
    return process.waitForFinished(timeoutMs) ||
           (process.state() == QProcess::NotRunning && process.error() != QProcess::FailedToStart);
}

int run(const QString &program, const QStringList &args, QByteArray *output, int timeoutMs)
{
    const QString spool = qEnvironmentVariable("KLV_HOST_RUNNER");
    if (!spool.isEmpty() && !program.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive))
        return runOnHost(spool, program, args, output, timeoutMs);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!waitUntilEnded(p, timeoutMs)) {
        p.kill();
        p.waitForFinished();
        if (output)
            *output = p.readAll() + "\n(timed out or failed to start)";
        return -1;
    }
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QString toolsDir()
{
    return qEnvironmentVariable("KLV_TEST_TOOLS_DIR");
}

} // namespace testsupport

namespace testsupport {

bool makeVersionedExe(const QString &path, const QList<QPair<QString, QString>> &strings, const QString &arch)
{
    QByteArray rc = "1 VERSIONINFO\nFILEVERSION 1,0,0,0\nPRODUCTVERSION 1,0,0,0\nFILEFLAGSMASK 0x3f\n"
                    "FILEFLAGS 0\nFILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\nBEGIN\n"
                    "  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"041304E4\"\n    BEGIN\n";
    for (const auto &[key, value] : strings)
        rc += "      VALUE \"" + key.toLatin1() + "\", \"" + value.toLatin1() + "\\0\"\n";
    rc += "    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", 0x413, 1252\n  END\nEND\n";
    const QString rcPath = path + QStringLiteral(".rc");
    writeFile(rcPath, rc);
    QByteArray output;
    const int code =
        run(QStringLiteral("bash"), {toolsDir() + QStringLiteral("/make-pe.sh"), arch, rcPath, path}, &output);
    QFile::remove(rcPath);
    if (code != 0)
        qWarning("make-pe.sh failed: %s", output.constData());
    return code == 0;
}

} // namespace testsupport

namespace testsupport {

QByteArray scrambleScript(const QByteArray &payload)
{
    QByteArray stored = payload;
    const qsizetype length = payload.size();
    for (qsizetype j = 3; j < length; ++j) {
        const auto p = static_cast<unsigned char>(payload[j]);
        if (p >= 0x80)
            continue;
        Q_ASSERT(p < 0x7F);
        // The reader computes b + j - length and adds 127 until it is not negative.
        qsizetype b = (p - (j - length)) % 127;
        stored[j] = static_cast<char>(b);
    }
    return QByteArray("X\0\0", 3) + stored;
}

} // namespace testsupport
