#include "FileOps.h"

#include "Exceptions.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>

#ifdef _WIN32
#include <windows.h>
#else
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

namespace klv {

#ifdef _WIN32

namespace {
constexpr int kAttempts = 20;
constexpr DWORD kPauseMs = 100;
} // namespace

QString systemText(unsigned long code)
{
    wchar_t *text = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString out = n ? QString::fromWCharArray(text, static_cast<qsizetype>(n)).trimmed()
                    : QStringLiteral("Windows error %1").arg(code);
    LocalFree(text);
    return out;
}

QString replaceFile(const QString &source, const QString &target)
{
    const std::wstring from = source.toStdWString();
    const std::wstring to = target.toStdWString();
    const DWORD attributes = GetFileAttributesW(to.c_str());
    const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly)
        SetFileAttributesW(to.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return {};
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION)
            break;
        Sleep(kPauseMs);
    }
    if (readOnly)
        SetFileAttributesW(to.c_str(), attributes);
    return systemText(error);
}

#else

QString replaceFile(const QString &source, const QString &target)
{
    if (std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) == 0)
        return {};
    return QString::fromLocal8Bit(std::strerror(errno));
}

#endif

namespace {
// Less than this left on the volume after a failed write: the disk is full.
constexpr qint64 kFullBelow = 256 * 1024;
} // namespace

bool volumeFull(const QString &path)
{
    QStorageInfo volume(QFileInfo(path).absolutePath());
    volume.refresh();
    return volume.isValid() && volume.bytesAvailable() >= 0 && volume.bytesAvailable() < kFullBelow;
}

QString writeFailureReason(const QString &path, const QString &systemText)
{
    return volumeFull(path) ? QStringLiteral("Schijf vol") : systemText;
}

QString atomicTempName(const QString &path)
{
    return path + QStringLiteral(".klvtmp");
}

void writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    const QString temp = atomicTempName(path);
    const auto fail = [&](const QString &reason) {
        QFile::remove(temp);
        throw EInOutError(QStringLiteral("Cannot write file \"%1\": %2")
                              .arg(QDir::toNativeSeparators(path), writeFailureReason(path, reason)),
                          volumeFull(path));
    };
    {
        QFile file(temp);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fail(file.errorString());
        // A write that fails only at the flush (a full disk) must not be moved into place.
        if (file.write(bytes) != bytes.size() || !file.flush() || file.error() != QFileDevice::NoError)
            fail(file.errorString());
        file.close();
        if (file.error() != QFileDevice::NoError)
            fail(file.errorString());
    }
    if (const QString error = replaceFile(temp, path); !error.isEmpty())
        fail(error);
}

int removeLeftovers(const QString &dir, bool keepPartials)
{
    static const QRegularExpression temporary(
        QStringLiteral("^(.+\\.klvtmp|ZLB[A-Za-z0-9]{6}\\.tmp|.+\\.zlb\\.[A-Za-z0-9]{6})$"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression partial(QStringLiteral("^.+\\.klvpart(\\.info)?$"),
                                            QRegularExpression::CaseInsensitiveOption);
    int removed = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QString name = info.fileName();
        if (!temporary.match(name).hasMatch() && (keepPartials || !partial.match(name).hasMatch()))
            continue;
        if (QFile::remove(info.filePath()))
            ++removed;
    }
    return removed;
}

} // namespace klv
