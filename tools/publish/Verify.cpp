// The tree checked as an updater with the maker's key checks what it fetches, with the updater's
// own messages, before the tree goes on the server.
#include "CommandLine.h"
#include "Commands.h"
#include "ServerTree.h"

#include "archive/ZLIBArchive.h"
#include "delta/FilePatch.h"
#include "packagelist/PackageList.h"
#include "packagelist/PatchSection.h"
#include "signing/ListVerifier.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace klv::publish {

namespace {

// The updater reads no more of a signature file; a little more than 64 bytes tells it is none.
constexpr qint64 kSignatureReadLimit = 1024;

class Report
{
public:
    void ok(const QString &what) { out(QStringLiteral("OK %1\n").arg(what)); }
    void fail(const QString &message)
    {
        ++FFailures;
        out(QStringLiteral("FAIL %1\n").arg(message));
    }
    int failures() const { return FFailures; }

private:
    int FFailures = 0;
};

void checkFile(const ServerTree &tree, const signing::FileDigest &line, Report &report)
{
    if (!isTreePath(line.path)) {
        report.fail(QStringLiteral("%1: the line leads out of the server tree").arg(line.path));
        return;
    }
    const QString local = tree.path(line.path);
    if (!QFileInfo(local).isFile()) {
        report.fail(QStringLiteral("%1 has its line in [SHA256], but the tree lacks it").arg(line.path));
        return;
    }
    FileFacts facts;
    try {
        facts = hashFile(local);
    } catch (const std::exception &e) {
        report.fail(exceptionMessage(e));
        return;
    }
    const ExpectedFile expected{line.length, line.sha256};
    if (facts.length != line.length)
        report.fail(signing::ListVerifier::mismatchMessage(line.path, expected, EContentMismatch(facts.length, false)));
    else if (facts.sha256 != line.sha256)
        report.fail(signing::ListVerifier::mismatchMessage(line.path, expected, EContentMismatch(facts.length, true)));
    else
        report.ok(line.path);
}

// The file a release's package makes, when it holds exactly one file of that name.
std::optional<FileFacts> packagedFile(const ServerTree &tree, const QString &packagePath, const QString &fileName,
                                      Report &report)
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        throw EInOutError(QStringLiteral("Cannot make a temporary folder: %1").arg(scratch.errorString()));
    try {
        TZLBArchive archive;
        archive.setCheckCRC(true);
        archive.OpenArchive(tree.path(packagePath));
        TZLBFileEntry entry{};
        if (archive.GetFileCount() == 1)
            archive.GetFileEntry(0, entry);
        if (archive.GetFileCount() != 1 ||
            zlb::decodeText(entry.FileName).compare(fileName, Qt::CaseInsensitive) != 0) {
            report.fail(QStringLiteral("%1: a patch makes the one file of its package, but the package does not hold "
                                       "just %2")
                            .arg(packagePath, fileName));
            return std::nullopt;
        }
        archive.ExtractArchive(scratch.path());
        return hashFile(scratch.filePath(zlb::decodeText(entry.FileName)));
    } catch (const std::exception &e) {
        report.fail(QStringLiteral("%1: %2").arg(packagePath, exceptionMessage(e)));
        return std::nullopt;
    }
}

// A patch must make its package's file, and make it from the earlier file it names, which one of
// the --previous folders must hold.
void verifyPatch(const ServerTree &tree, const QString &release, const packagelist::PatchLine &line,
                 const QStringList &previous, Report &report)
{
    const QString patchPath = QStringLiteral("supports/klv%1/%2").arg(release, line.name);
    const QString packagePath =
        QStringLiteral("supports/klv%1/%2").arg(release, packagelist::archiveName(line.fileName));
    const std::optional<FileFacts> packaged = packagedFile(tree, packagePath, line.fileName, report);
    if (!packaged)
        return;
    if (packaged->sha256 != line.resultSha256 || packaged->length != line.resultLength) {
        report.fail(QStringLiteral("%1: the list says it makes another %2 than %3 holds")
                        .arg(patchPath, line.fileName, packagePath));
        return;
    }
    for (const QString &dir : previous) {
        for (const QFileInfo &candidate : QDir(dir).entryInfoList(QDir::Files | QDir::Hidden)) {
            if (candidate.fileName().compare(line.fileName, Qt::CaseInsensitive) != 0 ||
                hashFile(candidate.filePath()).sha256 != line.baseSha256)
                continue;
            QFile base(candidate.filePath());
            QFile patch(tree.path(patchPath));
            if (!base.open(QIODevice::ReadOnly) || !patch.open(QIODevice::ReadOnly)) {
                report.fail(QStringLiteral("%1: cannot read it or %2").arg(patchPath, candidate.filePath()));
                return;
            }
            try {
                const delta::Applied applied = delta::checkPatch(base, patch, line.resultLength);
                if (applied.sha256 != line.resultSha256)
                    report.fail(QStringLiteral("%1 does not make %2 from %3")
                                    .arg(patchPath, line.fileName, candidate.filePath()));
                else
                    report.ok(
                        QStringLiteral("%1 makes %2 from %3").arg(patchPath, line.fileName, candidate.filePath()));
            } catch (const std::exception &e) {
                report.fail(QStringLiteral("%1 from %2: %3").arg(patchPath, candidate.filePath(), exceptionMessage(e)));
            }
            return;
        }
    }
    report.fail(QStringLiteral("%1: the earlier %2 it applies to (SHA-256 %3) is in no --previous folder; the patch "
                               "is not checked")
                    .arg(patchPath, line.fileName, QString::fromLatin1(line.baseSha256.toHex())));
}

void checkList(const ServerTree &tree, const QString &serverPath, const QList<QByteArray> &keys,
               const QString &serialFile, const QDate &today, const QStringList &previous, Report &report)
{
    const QString listName = QFileInfo(serverPath).fileName();
    const QByteArray bytes = readSmallFile(tree.path(serverPath), kMaxListSize, QStringLiteral("a package list"));
    std::optional<QByteArray> signature;
    QString signatureProblem;
    QFile file(tree.path(serverPath + QStringLiteral(".sig")));
    if (!file.exists())
        signatureProblem = QStringLiteral("%1.sig is niet gevonden").arg(serverPath);
    else if (!file.open(QIODevice::ReadOnly))
        signatureProblem = file.errorString();
    else
        signature = file.read(kSignatureReadLimit);

    // The verifier raises the serial it keeps; the installation's own file is only read.
    QTemporaryDir scratch;
    QString serialCopy;
    if (!serialFile.isEmpty()) {
        if (!scratch.isValid())
            throw EInOutError(QStringLiteral("Cannot make a temporary folder: %1").arg(scratch.errorString()));
        serialCopy = scratch.filePath(signing::ListVerifier::serialFileName());
        if (!QFile::copy(serialFile, serialCopy))
            throw EInOutError(QStringLiteral("Cannot copy %1").arg(serialFile));
    }
    signing::ListVerifier verifier(keys, serialCopy);
    try {
        verifier.acceptList(listName, bytes, signature, signatureProblem, today);
    } catch (const std::exception &e) {
        report.fail(exceptionMessage(e));
        return;
    }
    const signing::ListSeal seal = *signing::readSeal(bytes).seal;
    report.ok(QStringLiteral("%1 (serial %2, valid until %3)")
                  .arg(serverPath, QString::number(seal.serial), seal.expires.toString(Qt::ISODate)));
    for (const signing::FileDigest &line : seal.files)
        checkFile(tree, line, report);

    const IniFile list = IniFile::fromBytes(bytes);
    for (const QString &section : list.sections())
        if (const auto release = releaseOfSection(section, u"PATCH"))
            for (const packagelist::PatchLine &line : packagelist::readPatches(list, QString::number(*release)).lines)
                verifyPatch(tree, QString::number(*release), line, previous, report);
    const ListReach reach = listReach(list, tree);
    for (const QString &problem : reach.problems)
        report.fail(serverPath + QStringLiteral(": ") + problem);
    for (const Fetchable &fetchable : reach.files) {
        try {
            verifier.expectedFile(fetchable.serverPath);
        } catch (const std::exception &e) {
            report.fail(exceptionMessage(e));
            if (fetchable.named && !QFileInfo(tree.path(fetchable.serverPath)).isFile())
                report.fail(QStringLiteral("%1: the list names %2, which is not in the tree")
                                .arg(serverPath, fetchable.serverPath));
        }
    }
}

} // namespace

int verify(const QStringList &args)
{
    const Options options(QStringLiteral("verify"), args,
                          {{QStringLiteral("--key"), true},
                           {QStringLiteral("--tree")},
                           {QStringLiteral("--list")},
                           {QStringLiteral("--today")},
                           {QStringLiteral("--serial-file")},
                           {QStringLiteral("--previous"), true}});
    options.expectPositional(0, QString());
    options.required(QStringLiteral("--key"));
    const ServerTree tree(options.required(QStringLiteral("--tree")));
    const QDate today = options.has(QStringLiteral("--today"))
                            ? parseDate(options.value(QStringLiteral("--today")), QStringLiteral("--today"))
                            : QDate::currentDate();
    QList<QByteArray> keys;
    for (const QString &path : options.values(QStringLiteral("--key")))
        keys << readPublicKeyFile(path);
    const QString serialFile = options.value(QStringLiteral("--serial-file"));
    if (options.has(QStringLiteral("--serial-file")) && !QFileInfo(serialFile).isFile())
        throw Exception(QStringLiteral("--serial-file %1 is not a file").arg(serialFile));

    QStringList lists;
    if (options.has(QStringLiteral("--list"))) {
        const QString name = options.value(QStringLiteral("--list"));
        checkListName(name);
        lists << QStringLiteral("supports/") + name;
        if (!QFileInfo(tree.path(lists.first())).isFile())
            throw Exception(QStringLiteral("%1 is not in the tree").arg(tree.path(lists.first())));
    } else {
        lists = tree.lists();
        if (lists.isEmpty())
            throw Exception(QStringLiteral("%1 holds no package list (whatsnew*.klv)").arg(tree.supportsDir()));
    }
    Report report;
    for (const QString &list : std::as_const(lists))
        checkList(tree, list, keys, serialFile, today, options.values(QStringLiteral("--previous")), report);
    if (report.failures() > 0) {
        err(QStringLiteral("%1 %2 in %3")
                .arg(report.failures())
                .arg(report.failures() == 1 ? QStringLiteral("problem") : QStringLiteral("problems"),
                     tree.supportsDir()));
        return kExitFailure;
    }
    out(QStringLiteral("Everything holds: %1 lists\n").arg(lists.size()));
    return 0;
}

} // namespace klv::publish
