#include "UpdaterProcess.h"

#include "TestSupport.h"
#include "WindowFixture.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryFile>

namespace updaterprocess {

int run(const Run &how, const QStringList &args, QByteArray *output, qint64 *peakRssKb)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KLV_INSTALL_DIR"), how.install);
    env.insert(QStringLiteral("KLV_UPDATE_SERVER"), how.server);
    env.insert(QStringLiteral("KLV_RETRY_PAUSE_MS"), QStringLiteral("10"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(how.workingDir.isEmpty() ? how.install : how.workingDir);
    // The output goes to a file, not a pipe: under Wine, Qt's pipe reader lost the whole output of
    // a quickly finished run now and then.
    QTemporaryFile outputFile;
    if (!outputFile.open())
        return -2;
    outputFile.close();
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardOutputFile(outputFile.fileName());
    QTemporaryFile rssFile;
    if (peakRssKb) {
        // Freed memory that AddressSanitizer holds back to catch late uses is its own, not the
        // updater's: a measured run keeps little of it.
        QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
        env.insert(QStringLiteral("ASAN_OPTIONS"), asan + (asan.isEmpty() ? "" : ":") + "quarantine_size_mb=1");
        p.setProcessEnvironment(env);
        if (!rssFile.open())
            return -2;
        rssFile.close();
        p.start(QStringLiteral("/usr/bin/time"), QStringList{QStringLiteral("-f"), QStringLiteral("%M"),
                                                             QStringLiteral("-o"), rssFile.fileName(), how.exe} +
                                                     args);
    } else {
        p.start(how.exe, args);
    }
    const bool finished = testsupport::waitUntilEnded(p, 120000);
    if (peakRssKb)
        *peakRssKb = testsupport::readFile(rssFile.fileName()).trimmed().split('\n').last().toLongLong();
    if (output)
        *output = testsupport::readFile(outputFile.fileName());
    return finished && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QStringList snapshot(const QString &dir, WindowFixture &f, const QStringList &except)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QFileInfo(path).fileName();
        if (path.endsWith(QStringLiteral("klv.db")) || except.contains(name))
            continue;
        out << path.mid(dir.size()) + u' ' +
                   QString::fromLatin1(
                       QCryptographicHash::hash(testsupport::readFile(path), QCryptographicHash::Md5).toHex());
    }
    out.sort();
    for (const char *table : {"SYSPROPS", "SYSTEMINFO", "LICENSE", "ARNPREMIE"})
        out << f.column(QStringLiteral("select * from %1").arg(QLatin1String(table)));
    return out;
}

} // namespace updaterprocess
