#include "StagedList.h"

#include "platform/Exceptions.h"
#include "platform/FileOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace klv {

namespace {
const QString kSignatureSuffix = QStringLiteral(".sig");

void moveInPlace(const QString &staged, const QString &target)
{
    if (const QString error = replaceFile(staged, target); !error.isEmpty()) {
        QFile::remove(staged);
        throw EInOutError(QStringLiteral("Kan %1 niet bewaren: %2")
                              .arg(QDir::toNativeSeparators(target), writeFailureReason(target, error)),
                          volumeFull(target));
    }
}
} // namespace

StagedList::StagedList(QString listPath) : FListPath(std::move(listPath)) {}

// Temporary names that a run removes when a killed one left them.
QString StagedList::list() const
{
    return atomicTempName(FListPath);
}

QString StagedList::signature() const
{
    return atomicTempName(FListPath + kSignatureSuffix);
}

QByteArray StagedList::readList(qint64 limit) const
{
    QFile file(list());
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(
            QStringLiteral("Kan %1 niet lezen: %2").arg(QFileInfo(FListPath).fileName(), file.errorString()));
    return file.read(limit);
}

std::optional<QByteArray> StagedList::readSignature(qint64 limit) const
{
    QFile file(signature());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(limit);
}

void StagedList::install() const
{
    const QString signatureTarget = FListPath + kSignatureSuffix;
    if (QFileInfo::exists(signature())) {
        moveInPlace(signature(), signatureTarget);
    } else if (QFileInfo::exists(signatureTarget) && !QFile::remove(signatureTarget)) {
        // An old signature beside a new list would describe other bytes.
        throw EInOutError(QStringLiteral("Kan %1 niet verwijderen").arg(QDir::toNativeSeparators(signatureTarget)));
    }
    moveInPlace(list(), FListPath);
}

void StagedList::discard() const
{
    QFile::remove(list());
    QFile::remove(signature());
}

} // namespace klv
