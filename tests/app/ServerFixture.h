#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// A folder of this test's own on the fixture nginx (tests run in parallel), and the stored
// server address that points at it.
class ServerFixture
{
public:
    // Lets a participant number log in with a customer key (added to the fixture's htpasswd).
    static bool addUser(const QString &participant, const QString &customerKey);

    // Picks a fresh folder; returns the stored (scrambled) server address for the window. Below a
    // folder named "slow" the fixture sends at most 256 KB a second, below "trickle" 100 bytes;
    // below "chunked" every answer comes without a length, in chunks; below "line" at most 1 MB a
    // second, a customer's line.
    enum class Speed
    {
        Normal,
        Line,
        Slow,
        Trickle,
        Chunked
    };
    QString setUp(Speed speed = Speed::Normal);
    QString setUp(bool slow) { return setUp(slow ? Speed::Slow : Speed::Normal); }
    void tearDown();

    void serve(const QString &path, const QByteArray &bytes);
    // A file of `size` zero bytes that takes no room on the disk.
    void serveSparse(const QString &path, qint64 size);
    // A .zlb package of the given files (name, contents) at `path`.
    void servePackage(const QString &path, const QList<QPair<QString, QByteArray>> &files);
    void remove(const QString &path);
    // Where a served path lies on disk.
    QString localPath(const QString &path) const;
    // The paths requested below this test's folder, in order.
    QStringList requests() const;
    int requestCount(const QString &path) const { return int(requests().count(path)); }
    // The answers to the requests for one path, in order: status and body bytes sent.
    QList<QPair<int, qint64>> answers(const QString &path) const;

private:
    QString FRoot;
};
