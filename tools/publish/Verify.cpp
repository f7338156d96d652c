// The tree checked as an updater with the maker's key checks what it fetches, with the updater's
// own messages, before the tree goes on the server.
#include "CommandLine.h"
#include "Commands.h"
#include "ServerTree.h"

#include "signing/ListVerifier.h"

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

void checkList(const ServerTree &tree, const QString &serverPath, const QList<QByteArray> &keys,
               const QString &serialFile, const QDate &today, Report &report)
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

    const ListReach reach = listReach(IniFile::fromBytes(bytes), tree);
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
                           {QStringLiteral("--serial-file")}});
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
        checkList(tree, list, keys, serialFile, today, report);
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
