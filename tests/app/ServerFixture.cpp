#include "ServerFixture.h"

#include "archive/ZLBWriter.h"
#include "platform/ServerAddress.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

namespace {
QString docroot()
{
    return qEnvironmentVariable("KLV_NGINX_DOCROOT");
}
} // namespace

bool ServerFixture::addUser(const QString &participant, const QString &customerKey)
{
    QByteArray hash;
    if (testsupport::run(QStringLiteral("openssl"), {"passwd", "-apr1", customerKey}, &hash) != 0)
        return false;
    const QString htpasswd = qEnvironmentVariable("KLV_NGINX_DIR") + QStringLiteral("/htpasswd");
    const QByteArray current = testsupport::readFile(htpasswd);
    if (current.contains("\n" + participant.toUtf8() + ":"))
        return true;
    QFile file(htpasswd);
    if (!file.open(QIODevice::Append))
        return false;
    file.write("\n" + participant.toUtf8() + ":" + hash.trimmed() + "\n");
    return true;
}

QString ServerFixture::setUp(Speed speed)
{
    FRoot = QStringLiteral("t%1").arg(QRandomGenerator::global()->generate());
    if (speed == Speed::Slow)
        FRoot += QStringLiteral("/slow");
    else if (speed == Speed::Trickle)
        FRoot += QStringLiteral("/trickle");
    else if (speed == Speed::Chunked)
        FRoot += QStringLiteral("/chunked");
    else if (speed == Speed::Line)
        FRoot += QStringLiteral("/line");
    return klv::scrambleServerBase(
        QStringLiteral("http://127.0.0.1:%1/%2").arg(qEnvironmentVariable("KLV_NGINX_HTTP_PORT"), FRoot));
}

void ServerFixture::tearDown()
{
    if (!FRoot.isEmpty())
        QDir(docroot() + u'/' + FRoot.section(u'/', 0, 0)).removeRecursively();
}

void ServerFixture::serve(const QString &path, const QByteArray &bytes)
{
    testsupport::writeFile(localPath(path), bytes);
}

void ServerFixture::serveSparse(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(localPath(path)).absolutePath());
    QFile file(localPath(path));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.resize(size);
}

void ServerFixture::servePackage(const QString &path, const QList<QPair<QString, QByteArray>> &files)
{
    const QString target = localPath(path);
    QDir().mkpath(QFileInfo(target).absolutePath());
    klv::ZLBWriter writer(target);
    for (const auto &[name, bytes] : files)
        writer.addData(bytes, name);
    writer.finish();
}

void ServerFixture::remove(const QString &path)
{
    QFile::remove(localPath(path));
}

QString ServerFixture::localPath(const QString &path) const
{
    return docroot() + u'/' + FRoot + path;
}

QStringList ServerFixture::requests() const
{
    const QByteArray log =
        testsupport::readFile(qEnvironmentVariable("KLV_NGINX_DIR") + QStringLiteral("/logs/access.log"));
    const QByteArray marker = "\"GET /" + FRoot.toUtf8();
    QStringList out;
    for (const QByteArray &line : log.split('\n')) {
        const qsizetype at = line.indexOf(marker);
        if (at < 0)
            continue;
        const qsizetype start = at + marker.size();
        out << QString::fromUtf8(line.mid(start, line.indexOf(' ', start) - start));
    }
    return out;
}

QList<QPair<int, qint64>> ServerFixture::answers(const QString &path) const
{
    const QByteArray log =
        testsupport::readFile(qEnvironmentVariable("KLV_NGINX_DIR") + QStringLiteral("/logs/access.log"));
    // ... "GET /<root><path> HTTP/1.1" <status> <bytes> ...
    const QByteArray marker = "\"GET /" + FRoot.toUtf8() + path.toUtf8() + ' ';
    QList<QPair<int, qint64>> out;
    for (const QByteArray &line : log.split('\n')) {
        const qsizetype at = line.indexOf(marker);
        if (at < 0)
            continue;
        const qsizetype close = line.indexOf('"', at + 1);
        const QList<QByteArray> fields = line.mid(close + 1).trimmed().split(' ');
        if (fields.size() >= 2)
            out.append({fields[0].toInt(), fields[1].toLongLong()});
    }
    return out;
}
