#include "UpdaterProcess.h"

#include "TestSupport.h"
#include "WindowFixture.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryFile>

namespace updaterprocess {

int run(const Run &how, const QStringList &args, QByteArray *output)
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
    p.start(how.exe, args);
    const bool finished = testsupport::waitUntilEnded(p, 120000);
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
