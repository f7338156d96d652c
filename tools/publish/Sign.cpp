// Signing the tree's package lists: each gets the digests of what it makes an updater fetch, one
// serial for the whole tree, an expiry date, and its detached signature.
#include "CommandLine.h"
#include "Commands.h"
#include "ServerTree.h"

#include "platform/FileOps.h"
#include "signing/Ed25519.h"
#include "signing/ListSeal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace klv::publish {

namespace {

// Re-signed weekly, a list holds three more weeks should a signing be missed.
constexpr int kDefaultValidDays = 28;
using signing::kMaxValidDays;                          // an updater refuses a list valid further ahead
constexpr uint64_t kMaxSerial = 999999999999999999ULL; // the 18 digits a list's serial may have

struct SignedList
{
    QString serverPath;
    QByteArray bytes;
    QByteArray signature;
    qsizetype files = 0;
};

} // namespace

int sign(const QStringList &args)
{
    const Options options(QStringLiteral("sign"), args,
                          {{QStringLiteral("--key")},
                           {QStringLiteral("--tree")},
                           {QStringLiteral("--serial")},
                           {QStringLiteral("--expires")},
                           {QStringLiteral("--valid-days")}});
    options.expectPositional(0, QString());
    const QString keyPath = options.required(QStringLiteral("--key"));
    const ServerTree tree(options.required(QStringLiteral("--tree")));
    if (options.has(QStringLiteral("--expires")) && options.has(QStringLiteral("--valid-days")))
        throw UsageError(QStringLiteral("give --expires or --valid-days, not both"));
    const QDate today = QDate::currentDate();
    QDate expires = today.addDays(kDefaultValidDays);
    if (options.has(QStringLiteral("--expires"))) {
        expires = parseDate(options.value(QStringLiteral("--expires")), QStringLiteral("--expires"));
        if (expires < today)
            throw UsageError(QStringLiteral("--expires %1 lies in the past").arg(expires.toString(Qt::ISODate)));
        if (expires > today.addDays(kMaxValidDays))
            throw UsageError(QStringLiteral("--expires %1 lies more than %2 days ahead; updaters refuse such a list")
                                 .arg(expires.toString(Qt::ISODate))
                                 .arg(kMaxValidDays));
    } else if (options.has(QStringLiteral("--valid-days"))) {
        expires = today.addDays(qint64(parseNumber(options.value(QStringLiteral("--valid-days")), 1, kMaxValidDays,
                                                   QStringLiteral("--valid-days"))));
    }
    std::optional<uint64_t> wantedSerial;
    if (options.has(QStringLiteral("--serial")))
        wantedSerial =
            parseNumber(options.value(QStringLiteral("--serial")), 1, kMaxSerial, QStringLiteral("--serial"));
    const QByteArray seed = readSecretKeyFile(keyPath);

    const QStringList lists = tree.lists();
    if (lists.isEmpty())
        throw Exception(QStringLiteral("%1 holds no package list (whatsnew*.klv)").arg(tree.supportsDir()));
    QList<QByteArray> contents;
    QStringList problems;
    uint64_t highest = tree.keptSerial();
    for (const QString &serverPath : lists) {
        const QByteArray bytes = readSmallFile(tree.path(serverPath), kMaxListSize, QStringLiteral("a package list"));
        contents << bytes;
        const signing::SealReading reading = signing::readSeal(bytes);
        if (reading.seal)
            highest = std::max(highest, reading.seal->serial);
        else if (IniFile::fromBytes(bytes).sectionExists(QLatin1String(signing::kSignedSection)) && !wantedSerial)
            problems << QStringLiteral("%1: its serial cannot be read (%2); give --serial above the one it had")
                            .arg(serverPath, reading.problem);
    }
    // A lower serial is refused by installations that accepted the higher one; an equal one would let
    // the list signed before be sent in place of the new one.
    if (wantedSerial && *wantedSerial <= highest)
        throw Exception(QStringLiteral("--serial %1 is not above %2, the highest serial this tree was signed with")
                            .arg(*wantedSerial)
                            .arg(highest));
    if (!wantedSerial && highest >= kMaxSerial)
        throw Exception(QStringLiteral("the serials of this tree have run out"));
    const uint64_t serial = wantedSerial.value_or(highest + 1);

    QList<SignedList> done;
    for (qsizetype i = 0; i < lists.size(); ++i) {
        const ListReach reach = listReach(IniFile::fromBytes(contents[i]), tree);
        for (const QString &problem : reach.problems)
            problems << lists[i] + QStringLiteral(": ") + problem;
        // Signed for its own name: served under another customer's name it is refused.
        signing::ListSeal seal{{}, QFileInfo(lists[i]).fileName(), serial, expires};
        for (const Fetchable &file : reach.files) {
            const QString local = tree.path(file.serverPath);
            if (QFileInfo(local).isFile()) {
                const FileFacts facts = hashFile(local);
                seal.files.append({file.serverPath, facts.sha256, facts.length});
            } else if (file.named) {
                problems
                    << QStringLiteral("%1: the list names %2, which is not in the tree").arg(lists[i], file.serverPath);
            }
        }
        SignedList list{lists[i], signing::withSeal(contents[i], seal), {}, seal.files.size()};
        list.signature = signing::sign(list.bytes, seed);
        // What the updater will read back: a seal it cannot read would refuse the list everywhere.
        const signing::SealReading back = signing::readSeal(list.bytes);
        if (!back.seal || back.seal->files.size() != seal.files.size() || back.seal->list != seal.list ||
            !signing::verify(list.bytes, list.signature, signing::publicKeyOf(seed)))
            problems << QStringLiteral("%1: the signed list does not read back (%2)").arg(lists[i], back.problem);
        done.append(list);
    }
    if (!problems.isEmpty())
        throw Exception(QStringLiteral("nothing signed:\n  ") + problems.join(QStringLiteral("\n  ")));

    for (const SignedList &list : std::as_const(done)) {
        // The old signature goes first, so that a failure between the writes leaves a list without one
        // (refused, plainly) rather than one with a signature of other bytes.
        const QString signature = tree.path(list.serverPath + QStringLiteral(".sig"));
        if (QFileInfo::exists(signature) && !QFile::remove(signature))
            throw EInOutError(QStringLiteral("Cannot remove %1").arg(signature));
        writeFileAtomically(tree.path(list.serverPath), list.bytes);
        writeFileAtomically(signature, list.signature);
        out(QStringLiteral("Signed %1 for its name: serial %2, valid until %3, %4 files\n")
                .arg(list.serverPath, QString::number(serial), expires.toString(Qt::ISODate),
                     QString::number(list.files)));
        const signing::SealReading written = signing::readSeal(list.bytes);
        for (const signing::FileDigest &file : written.seal->files)
            out(QStringLiteral("  %1  %2 bytes  %3\n")
                    .arg(file.path, QString::number(file.length), QString::fromLatin1(file.sha256.toHex())));
    }
    tree.keepSerial(serial);
    out(QStringLiteral("Public key: %1\n").arg(QString::fromLatin1(signing::publicKeyOf(seed).toHex())));
    return 0;
}

} // namespace klv::publish
