#include "PartialFile.h"

#include "BackgroundSha256.h"
#include "FileOps.h"
#include "HttpClient.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace klv {

namespace {
constexpr qint64 kReadBlock = 256 * 1024;
} // namespace

PartialFile::PartialFile(const QString &destinationPath, bool continuable)
    : FDestination(destinationPath), FInfoPath(destinationPath + QLatin1String(HttpClient::kPartialInfoSuffix)),
      FFile(destinationPath + QLatin1String(HttpClient::kPartialSuffix))
{
    if (const auto info = continuable ? partial::readInfo(FInfoPath) : std::nullopt) {
        const QFileInfo partial(FFile.fileName());
        if (partial.isFile() && partial.size() > 0 && partial.size() < info->length) {
            FStored = *info;
            FOffset = partial.size();
        }
    }
    if (FOffset == 0)
        partial::remove(FFile.fileName(), FInfoPath);
    FResumable = FOffset > 0;
    // Opened before the request, so that a destination that cannot be written costs no request.
    // What it holds stays until the answer shows whether it is continued.
    if (!FFile.open(QIODevice::ReadWrite))
        throw EInOutError(QStringLiteral("Cannot create file \"%1\": %2")
                              .arg(QDir::toNativeSeparators(destinationPath), FFile.errorString()));
}

void PartialFile::continueStored(BackgroundSha256 *hasher)
{
    if (!FFile.seek(0))
        throw writeError();
    for (int64_t left = FOffset; hasher && left > 0;) {
        QByteArray block = FFile.read(std::min<qint64>(kReadBlock, left));
        if (block.isEmpty())
            throw writeError();
        left -= block.size();
        hasher->add(std::move(block));
    }
    if (!FFile.seek(FOffset))
        throw writeError();
}

void PartialFile::startWhole(const partial::Info &info, bool keepLater)
{
    // The old info goes first, so that no interruption leaves it describing the new content.
    QFile::remove(FInfoPath);
    FResumable = false;
    try {
        if (!FFile.resize(0) || !FFile.seek(0))
            throw writeError();
    } catch (...) {
        FDiscard = true;
        throw;
    }
    if (keepLater)
        FPendingInfo = info;
}

void PartialFile::keepInfo()
{
    if (!FPendingInfo)
        return;
    try {
        writeFileAtomically(FInfoPath, FPendingInfo->text());
    } catch (...) {
        FPendingInfo.reset();
        FDiscard = true;
        throw;
    }
    FPendingInfo.reset();
    FResumable = true;
}

void PartialFile::write(const char *data, qint64 size)
{
    if (FFile.write(data, size) != size) {
        FDiscard = true;
        throw writeError();
    }
}

bool PartialFile::close()
{
    // Only a checked flush and close show that the last bytes are on the disk.
    const bool flushed = FFile.flush() && FFile.error() == QFileDevice::NoError;
    if (flushed)
        FFile.close();
    return flushed && FFile.error() == QFileDevice::NoError;
}

void PartialFile::install()
{
    if (const QString error = replaceFile(FFile.fileName(), FDestination); !error.isEmpty()) {
        FDiscard = true;
        throw EInOutError(QStringLiteral("Cannot write file \"%1\": %2")
                              .arg(QDir::toNativeSeparators(FDestination), writeFailureReason(FDestination, error)),
                          volumeFull(FDestination));
    }
    if (FResumable)
        QFile::remove(FInfoPath);
}

void PartialFile::settle()
{
    FFile.close();
    // What arrived can be continued once its info is there.
    if (!FDiscard && FPendingInfo && FFile.size() > 0) {
        try {
            keepInfo();
        } catch (...) {
            // Then it is fetched again from the start.
        }
    }
    if (FDiscard || !FResumable)
        partial::remove(FFile.fileName(), FInfoPath);
}

EInOutError PartialFile::writeError() const
{
    return EInOutError(
        QStringLiteral("Cannot write file \"%1\": %2")
            .arg(QDir::toNativeSeparators(FDestination), writeFailureReason(FFile.fileName(), FFile.errorString())),
        volumeFull(FFile.fileName()));
}

} // namespace klv
