#pragma once

#include <QDateTime>
#include <QString>

namespace klv {

// One updater at a time per installation. The lock is a file in the installation folder that the
// system holds locked for as long as the process that took it lives, so a lock left by a process
// that was killed is free again at once and is simply taken over. The file carries the holder's
// process id and start time, for the message that a second updater shows.
class InstallLock
{
public:
    explicit InstallLock(const QString &installDir);
    ~InstallLock(); // releases the lock and removes the file
    InstallLock(const InstallLock &) = delete;
    InstallLock &operator=(const InstallLock &) = delete;

    // True when this process holds the lock now. False when another process holds it (holder()
    // says which) or the file cannot be made or is not a plain file of its own (a link, a second
    // name of another file): errorText() says why, and such a file is left as it is.
    bool tryLock(const QDateTime &started);
    bool isLocked() const;

    // "proces 1234, gestart 09-12-2026 10:00:12", as the holder's file tells; empty when unknown.
    const QString &holder() const { return FHolder; }
    // Why the lock file could not be made; empty when another process holds it.
    const QString &errorText() const { return FError; }
    // The Dutch message for a lock that could not be taken.
    QString refusalText() const;

    static QString fileName() { return QStringLiteral("AutoUpdate.lock"); }

private:
    void readHolder(const QByteArray &text);

    QString FPath;
    QString FHolder;
    QString FError;
#ifdef _WIN32
    void *FHandle = nullptr;
#else
    int FFd = -1;
#endif
};

} // namespace klv
