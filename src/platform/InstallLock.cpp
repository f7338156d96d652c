#include "InstallLock.h"

#include "Ansi.h"
#include "FileOps.h"
#include "Folders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace klv {

namespace {
constexpr int kAttempts = 10;

// The lock file is written by whoever takes it, so one that is a link would have us overwrite what
// it leads to: it is refused and left as it is.
const QString kNotOwnFile =
    QStringLiteral("het is geen gewoon bestand van AutoUpdate zelf, maar een koppeling naar een ander bestand, een "
                   "bestand met meer dan één naam of een bestand van een andere gebruiker. Het is niet aangeraakt; "
                   "verwijder het en probeer het opnieuw");

QByteArray holderText(const QDateTime &started)
{
    return ansi::encode(QStringLiteral("pid=%1\r\nstarted=%2\r\n")
                            .arg(QCoreApplication::applicationPid())
                            .arg(started.toString(QStringLiteral("dd-MM-yyyy HH:mm:ss"))));
}

constexpr qsizetype kHolderTextLimit = 512;

#ifdef _WIN32
// Another updater holds it open to be deleted on close: only a reader that allows deletion and
// writing gets in. A link is opened itself, not what it leads to.
HANDLE openExisting(const std::wstring &path, DWORD access)
{
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A plain file with this one name: no link (a reparse point), no folder, no second hard link.
bool isOwnFile(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
           info.nNumberOfLinks == 1;
}

// The first bytes of the holder's file, as far as they can be read.
QByteArray readLockText(const std::wstring &path)
{
    HANDLE h = openExisting(path, GENERIC_READ);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    QByteArray bytes(kHolderTextLimit, Qt::Uninitialized);
    DWORD read = 0;
    if (!isOwnFile(h) || !ReadFile(h, bytes.data(), DWORD(bytes.size()), &read, nullptr))
        read = 0;
    CloseHandle(h);
    bytes.truncate(qsizetype(read));
    return bytes;
}
#else
// A plain file with this one name, of this user (or of the system's administrator): no link, no
// device or pipe, no second hard link.
bool isOwnFile(const struct stat &info)
{
    return S_ISREG(info.st_mode) && info.st_nlink == 1 && (info.st_uid == ::geteuid() || info.st_uid == 0);
}

QByteArray readLockText(int fd)
{
    QByteArray bytes(kHolderTextLimit, Qt::Uninitialized);
    const ssize_t read = ::pread(fd, bytes.data(), size_t(bytes.size()), 0);
    bytes.truncate(read > 0 ? qsizetype(read) : 0);
    return bytes;
}
#endif
} // namespace

InstallLock::InstallLock(const QString &installDir) : FPath(Folders::nativePath(installDir) + fileName()) {}

void InstallLock::readHolder(const QByteArray &text)
{
    QString pid;
    QString started;
    // Only the two known lines, and only short ones: the file may have been written by anybody.
    for (const QString &line : ansi::decode(text).split(QStringLiteral("\r\n"))) {
        if (line.startsWith(QStringLiteral("pid=")))
            pid = line.mid(4, 12);
        else if (line.startsWith(QStringLiteral("started=")))
            started = line.mid(8, 19);
    }
    if (!pid.isEmpty())
        FHolder = QStringLiteral("proces %1%2")
                      .arg(pid, started.isEmpty() ? QString() : QStringLiteral(", gestart ") + started);
}

QString InstallLock::refusalText() const
{
    if (!FError.isEmpty())
        return QStringLiteral("AutoUpdate kan de installatie niet vergrendelen (%1): %2")
            .arg(QDir::toNativeSeparators(FPath), FError);
    return QStringLiteral("AutoUpdate is al actief voor deze installatie%1. Wacht tot die klaar is en probeer het "
                          "dan opnieuw.")
        .arg(FHolder.isEmpty() ? QString() : QStringLiteral(" (") + FHolder + u')');
}

#ifdef _WIN32

InstallLock::~InstallLock()
{
    // Opened to be deleted on close: closing removes the file.
    if (FHandle)
        CloseHandle(FHandle);
}

bool InstallLock::isLocked() const
{
    return FHandle != nullptr;
}

bool InstallLock::tryLock(const QDateTime &started)
{
    if (FHandle)
        return true;
    const std::wstring path = QDir::toNativeSeparators(FPath).toStdWString();
    // A link is told by its attributes too: not every file system opens the link itself.
    if (const DWORD attributes = GetFileAttributesW(path.c_str());
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        FError = kNotOwnFile;
        return false;
    }
    // Looked at first without the deletion on close, so that a refused link stays where it is.
    if (HANDLE existing = openExisting(path, FILE_READ_ATTRIBUTES); existing != INVALID_HANDLE_VALUE) {
        const bool own = isOwnFile(existing);
        CloseHandle(existing);
        if (!own) {
            FError = kNotOwnFile;
            return false;
        }
    }
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // Nobody else may write it while we hold it, and the system deletes it when our handle
        // closes, also when the process is killed. A link is opened itself and refused.
        HANDLE h = CreateFileW(
            path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h != INVALID_HANDLE_VALUE && !isOwnFile(h)) {
            // Became a link since the look above: only its name goes with our handle.
            CloseHandle(h);
            FError = kNotOwnFile;
            return false;
        }
        if (h != INVALID_HANDLE_VALUE) {
            const QByteArray text = holderText(started);
            DWORD written = 0;
            SetFilePointer(h, 0, nullptr, FILE_BEGIN);
            SetEndOfFile(h);
            WriteFile(h, text.constData(), DWORD(text.size()), &written, nullptr);
            FlushFileBuffers(h);
            FHandle = h;
            return true;
        }
        error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            readHolder(readLockText(path));
            return false;
        }
        // A file being deleted by a holder that just ended refuses access for a moment.
        if (error != ERROR_ACCESS_DENIED)
            break;
        Sleep(50);
    }
    FError = systemText(error);
    return false;
}

#else

InstallLock::~InstallLock()
{
    if (FFd < 0)
        return;
    // Removed while still locked: a process that opens it meanwhile finds the name gone or
    // pointing at a new file, and tries again. Only while the name is still our file.
    const QByteArray path = QFile::encodeName(FPath);
    struct stat opened
    {
    };
    struct stat named
    {
    };
    if (::fstat(FFd, &opened) == 0 && ::lstat(path.constData(), &named) == 0 && opened.st_ino == named.st_ino &&
        opened.st_dev == named.st_dev)
        ::unlink(path.constData());
    ::close(FFd);
}

bool InstallLock::isLocked() const
{
    return FFd >= 0;
}

bool InstallLock::tryLock(const QDateTime &started)
{
    if (FFd >= 0)
        return true;
    const QByteArray path = QFile::encodeName(FPath);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // A link is not followed (not even one that leads nowhere, which would be created), and a
        // pipe or device does not hold the open up; what was opened is looked at before anything
        // is written.
        const int fd =
            ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0644);
        if (fd < 0) {
            const int why = errno;
            FError = why == ELOOP ? kNotOwnFile : QString::fromLocal8Bit(std::strerror(why));
            return false;
        }
        struct stat opened
        {
        };
        if (::fstat(fd, &opened) != 0 || !isOwnFile(opened)) {
            ::close(fd);
            FError = kNotOwnFile;
            return false;
        }
        // The system releases the lock when the process ends, however it ends.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int why = errno;
            if (why == EWOULDBLOCK)
                readHolder(readLockText(fd));
            ::close(fd);
            if (why == EWOULDBLOCK)
                return false;
            FError = QString::fromLocal8Bit(std::strerror(why));
            return false;
        }
        // The holder may have removed the file between our open and our lock: then we locked a
        // file that no longer has the name (or the name is a link now), and start again.
        struct stat named
        {
        };
        if (::lstat(path.constData(), &named) != 0 || opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
            ::close(fd);
            continue;
        }
        const QByteArray text = holderText(started);
        if (::ftruncate(fd, 0) != 0 || ::write(fd, text.constData(), size_t(text.size())) != text.size()) {
            // The lock holds without its text; only the message of a second updater is poorer.
        }
        FFd = fd;
        return true;
    }
    FError = QStringLiteral("het bestand wisselt steeds van eigenaar");
    return false;
}

#endif

} // namespace klv
