#include "ListVerifier.h"

#include "Ed25519.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"

#include <QFile>
#include <QFileInfo>

namespace klv::signing {

namespace {

QString listRefused(const QString &listName, const QString &reason)
{
    return QStringLiteral("De pakketlijst %1 is geweigerd: %2. Er is niets opgehaald of uitgevoerd.")
        .arg(listName, reason);
}

QString fileRefused(const QString &serverPath, const QString &reason)
{
    return QStringLiteral("Het bestand %1 is geweigerd: %2. Het is niet uitgepakt of gestart.").arg(serverPath, reason);
}

QString dutchDate(const QDate &date)
{
    return date.toString(QStringLiteral("dd-MM-yyyy"));
}

// Why a list signed for `signedFor` may not stand in for `asked`. Names compare as Windows compares
// file names. The other name is not shown: it carries another customer's key.
QString nameProblem(const QString &signedFor, const QString &asked)
{
    if (signedFor.isEmpty())
        return QStringLiteral("de ondertekening noemt de naam van de lijst niet (een lijst van een oudere klvpublish); "
                              "de maker moet hem opnieuw ondertekenen met klvpublish sign");
    if (signedFor.compare(asked, Qt::CaseInsensitive) == 0)
        return {};
    if (signedFor.compare(ListVerifier::generalListName(), Qt::CaseInsensitive) == 0)
        return QStringLiteral("de lijst is ondertekend als de algemene pakketlijst %1, niet als deze")
            .arg(ListVerifier::generalListName());
    return QStringLiteral("de lijst is ondertekend onder een andere naam (de pakketlijst van een andere klant)");
}

} // namespace

ListVerifier::ListVerifier(QList<QByteArray> publicKeys, QString serialPath)
    : FKeys(std::move(publicKeys)), FSerialPath(std::move(serialPath))
{
}

QString ListVerifier::unverifiedNotice()
{
    return QStringLiteral("Let op: deze AutoUpdate is gebouwd zonder sleutel van de maker; updates worden niet op "
                          "echtheid gecontroleerd.");
}

void ListVerifier::acceptList(const QString &listName, const QByteArray &list,
                              const std::optional<QByteArray> &signature, const QString &signatureProblem,
                              const QDate &today, bool keep)
{
    FSeal.reset();
    if (!isStrict())
        return;
    if (!signature)
        throw Exception(listRefused(listName, QStringLiteral("de handtekening ontbreekt (%1)").arg(signatureProblem)));
    if (signature->size() != kSignatureSize)
        throw Exception(
            listRefused(listName, QStringLiteral("de handtekening is onvolledig (%1 in plaats van %2 bytes)")
                                      .arg(signature->size())
                                      .arg(kSignatureSize)));
    bool valid = false;
    for (const QByteArray &key : FKeys)
        valid = valid || verify(list, *signature, key);
    if (!valid)
        throw Exception(listRefused(
            listName,
            QStringLiteral("de handtekening klopt niet; de lijst is veranderd of niet door de maker ondertekend")));
    const SealReading reading = readSeal(list);
    if (!reading.seal)
        throw Exception(listRefused(listName, reading.problem));
    if (const QString problem = nameProblem(reading.seal->list, listName); !problem.isEmpty())
        throw Exception(listRefused(listName, problem));
    if (reading.seal->expires < today)
        throw Exception(
            listRefused(listName, QStringLiteral("de lijst is verlopen op %1").arg(dutchDate(reading.seal->expires))));
    // A signature that holds for years would let a server hold the installation back that long.
    if (reading.seal->expires > today.addDays(kMaxValidDays + kClockSlackDays))
        throw Exception(listRefused(listName, QStringLiteral("de lijst zegt geldig te zijn tot %1, verder vooruit dan "
                                                             "de %2 dagen die een ondertekening hoogstens geldt")
                                                  .arg(dutchDate(reading.seal->expires))
                                                  .arg(kMaxValidDays)));
    const uint64_t kept = keptSerial();
    if (reading.seal->serial < kept)
        throw Exception(listRefused(listName, QStringLiteral("volgnummer %1 is lager dan het eerder aanvaarde %2; dit "
                                                             "is een oude lijst")
                                                  .arg(reading.seal->serial)
                                                  .arg(kept)));
    if (keep && reading.seal->serial > kept)
        keepSerial(reading.seal->serial);
    FSeal = reading.seal;
}

std::optional<ExpectedFile> ListVerifier::expectedFile(const QString &serverPath) const
{
    if (!isStrict())
        return std::nullopt;
    const FileDigest *digest = FSeal ? FSeal->find(serverPath) : nullptr;
    if (!digest)
        throw Exception(fileRefused(serverPath, QStringLiteral("de pakketlijst geeft er geen controlegetal voor")));
    return ExpectedFile{digest->length, digest->sha256};
}

QString ListVerifier::mismatchMessage(const QString &serverPath, const ExpectedFile &expected,
                                      const EContentMismatch &mismatch)
{
    if (!mismatch.digestDiffers())
        return fileRefused(serverPath, QStringLiteral("het is %1 bytes lang, de pakketlijst zegt %2")
                                           .arg(mismatch.actualLength())
                                           .arg(expected.length));
    return fileRefused(serverPath, QStringLiteral("de SHA-256 klopt niet met de pakketlijst"));
}

uint64_t ListVerifier::keptSerial() const
{
    if (FSerialPath.isEmpty() || !QFileInfo::exists(FSerialPath))
        return 0;
    QFile file(FSerialPath);
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("Kan %1 niet lezen: %2").arg(FSerialPath, file.errorString()));
    const QByteArray text = file.read(64).trimmed();
    bool ok = false;
    const uint64_t serial = text.startsWith("serial=") ? text.mid(7).toULongLong(&ok) : 0;
    // A damaged state file would let an old list in again if it read as 0.
    if (!ok)
        throw Exception(QStringLiteral("Het bestand %1 is beschadigd; de pakketlijst kan niet worden gecontroleerd.")
                            .arg(FSerialPath));
    return serial;
}

void ListVerifier::keepSerial(uint64_t serial) const
{
    if (FSerialPath.isEmpty())
        return;
    writeFileAtomically(FSerialPath, "serial=" + QByteArray::number(qulonglong(serial)) + "\r\n");
}

} // namespace klv::signing
