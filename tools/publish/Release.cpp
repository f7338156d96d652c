// A release on the server tree: its packages, and the sections of the package lists that make the
// updater fetch them.
#include "CommandLine.h"
#include "Commands.h"
#include "ListEditor.h"
#include "ServerTree.h"

#include "archive/ZLBWriter.h"
#include "delta/FilePatch.h"
#include "packagelist/PackageList.h"
#include "packagelist/PatchSection.h"
#include "platform/Ansi.h"
#include "platform/FileOps.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "verinfo/VerInfoRes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QSet>

#include <optional>

namespace klv::publish {

namespace {

// The commands the updater carries out from a [CMD<n>] line; any other it logs and skips.
const QStringList kCommands = {QStringLiteral("selfrenew"),   QStringLiteral("unzip"), QStringLiteral("exec"),
                               QStringLiteral("erasefile"),   QStringLiteral("query"), QStringLiteral("premielijst"),
                               QStringLiteral("forcedupdate")};
// Commands whose argument names a file that must stay inside the updater's folders.
const QStringList kFileCommands = {QStringLiteral("unzip"), QStringLiteral("erasefile"), QStringLiteral("query"),
                                   QStringLiteral("premielijst")};
constexpr qsizetype kMaxArgument = 100; // the updater reads no more after the '$'
// zstd's level for patches: see the measurements in bench/delta.
constexpr int kPatchLevel = 19;

struct ProgramFile
{
    QString source;
    QString subfolder; // empty, or one folder name
    QString name;

    QString display() const { return subfolder.isEmpty() ? name : subfolder + u'/' + name; }
    QString key() const { return subfolder.isEmpty() ? name : subfolder + u'\\' + name; }
};

// The files of one package: one at the top of the programs folder, and the same file in
// subfolders, which the updater fetches from that package too.
struct ProgramPackage
{
    QString archive;
    ProgramFile top;
    QList<ProgramFile> inSubfolders;
    QString value; // of the list entry
    QString why;   // how the value came about, for the report
};

struct Script
{
    QString source;
    QString name;
    bool update = false;
    int number = 0;

    QString serverPath() const
    {
        return QStringLiteral("supports/%1%2.zlb").arg(update ? QStringLiteral("u") : QString()).arg(number);
    }
};

struct Rule
{
    bool forced = false;
    std::optional<int32_t> number;
};

struct PendingList
{
    QString serverPath;
    QByteArray old; // the list as the tree had it
};

void refuseName(const QString &where, const QString &name)
{
    if (const QString problem = nameProblem(name); !problem.isEmpty())
        throw Exception(QStringLiteral("%1: %2").arg(where, problem));
}

QFileInfoList entriesOf(const QString &dir)
{
    return QDir(dir).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                   QDir::Name);
}

QList<ProgramFile> collectPrograms(const QString &dir)
{
    if (!QFileInfo(dir).isDir())
        throw Exception(QStringLiteral("--programs %1 is not a folder").arg(dir));
    QList<ProgramFile> files;
    for (const QFileInfo &entry : entriesOf(dir)) {
        refuseName(entry.filePath(), entry.fileName());
        if (entry.isFile()) {
            files.append({entry.absoluteFilePath(), QString(), entry.fileName()});
            continue;
        }
        if (!entry.isDir())
            throw Exception(QStringLiteral("%1 is neither a file nor a folder").arg(entry.filePath()));
        for (const QFileInfo &inner : entriesOf(entry.absoluteFilePath())) {
            refuseName(inner.filePath(), inner.fileName());
            // The updater places files one folder below the installation at most.
            if (!inner.isFile())
                throw Exception(QStringLiteral("%1: the programs folder may hold files and folders of files, "
                                               "nothing deeper")
                                    .arg(inner.filePath()));
            files.append({inner.absoluteFilePath(), entry.fileName(), inner.fileName()});
        }
    }
    if (files.isEmpty())
        throw Exception(QStringLiteral("--programs %1 holds no files").arg(dir));
    return files;
}

// One package per archive name. A list entry names a file; the updater fetches its name up to the
// last '.' plus "zlb", and a file in a subfolder from the same package, with the rule it reads
// under the bare name. So every file of a package must be one and the same.
QList<ProgramPackage> groupPackages(const QList<ProgramFile> &files)
{
    QMap<QString, QList<ProgramFile>> byArchive;
    for (const ProgramFile &file : files)
        byArchive[packagelist::archiveName(file.name).toCaseFolded()].append(file);
    QList<ProgramPackage> packages;
    for (const QList<ProgramFile> &group : std::as_const(byArchive)) {
        ProgramPackage package;
        package.archive = packagelist::archiveName(group.first().name);
        for (const ProgramFile &file : group) {
            if (file.name != group.first().name)
                throw Exception(file.name.compare(group.first().name, Qt::CaseInsensitive) == 0
                                    ? QStringLiteral("%1 and %2 differ only in case; the updater's systems take "
                                                     "them for one file")
                                          .arg(group.first().display(), file.display())
                                    : QStringLiteral("%1 and %2 would both be packed as %3, which the updater "
                                                     "fetches for either")
                                          .arg(group.first().display(), file.display(), package.archive));
        }
        const auto top =
            std::find_if(group.begin(), group.end(), [](const ProgramFile &f) { return f.subfolder.isEmpty(); });
        if (top == group.end())
            throw Exception(QStringLiteral("%1: the updater reads the rule of a file in a subfolder under its bare "
                                           "name and fetches it from %2 like %3 at the top, so the programs folder "
                                           "needs the same %3 at its top")
                                .arg(group.first().display(), package.archive, group.first().name));
        package.top = *top;
        const QByteArray digest = hashFile(top->source).sha256;
        for (const ProgramFile &file : group) {
            if (file.subfolder.isEmpty())
                continue;
            if (hashFile(file.source).sha256 != digest)
                throw Exception(QStringLiteral("%1 differs from %2; the updater fetches both from the one package %3")
                                    .arg(file.display(), top->display(), package.archive));
            package.inSubfolders.append(file);
        }
        packages.append(package);
    }
    return packages;
}

QHash<QString, Rule> parseRules(const Options &options, const QList<ProgramPackage> &packages)
{
    QSet<QString> names;
    for (const ProgramPackage &package : packages)
        names.insert(package.top.name.toCaseFolded());
    QHash<QString, Rule> rules;
    for (const QString &option : {QStringLiteral("--numbered"), QStringLiteral("--forced")}) {
        for (const QString &given : options.values(option)) {
            const qsizetype eq = given.indexOf(u'=');
            const QString name = eq < 0 ? given : given.first(eq);
            Rule rule{option == u"--forced", std::nullopt};
            if (eq >= 0)
                rule.number = int32_t(parseNumber(given.sliced(eq + 1), 0, INT32_MAX, option + u' ' + name));
            if (name.contains(u'/') || name.contains(u'\\'))
                throw UsageError(QStringLiteral("%1 %2: give the bare file name; a file in a subfolder follows the "
                                                "rule of its name")
                                     .arg(option, given));
            if (!names.contains(name.toCaseFolded()))
                throw UsageError(QStringLiteral("%1 %2: the programs folder has no such file").arg(option, given));
            if (rules.contains(name.toCaseFolded()))
                throw UsageError(QStringLiteral("%1 has more than one rule").arg(name));
            rules.insert(name.toCaseFolded(), rule);
        }
    }
    return rules;
}

// Up to four numbers joined by dots, at least two: what the updater compares a version with (one
// number alone it takes for a numbered entry).
bool isVersionText(const QString &text)
{
    const QStringList parts = text.split(u'.');
    if (parts.size() < 2 || parts.size() > 4)
        return false;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 9)
            return false;
        for (const QChar c : part)
            if (c < u'0' || c > u'9')
                return false;
    }
    return true;
}

void decideValue(ProgramPackage &package, const std::optional<Rule> &rule, int release)
{
    if (rule) {
        package.value = rule->forced ? QStringLiteral("t") + (rule->number ? QString::number(*rule->number) : QString())
                                     : QString::number(rule->number.value_or(release));
        package.why = rule->forced ? QStringLiteral("forced") : QStringLiteral("numbered");
        return;
    }
    QString version;
    try {
        version = TVerInfoRes(nullptr, package.top.source).GetVersionValue(viFileVersion).trimmed();
    } catch (const ENoVerInfoError &) {
    } catch (const std::exception &e) {
        throw Exception(QStringLiteral("%1: its version resource cannot be read (%2); name it with --numbered or "
                                       "--forced to publish it without")
                            .arg(package.top.display(), exceptionMessage(e)));
    }
    if (version.isEmpty()) {
        package.value = QString::number(release);
        package.why = QStringLiteral("numbered, no FileVersion");
        return;
    }
    if (!isVersionText(version))
        throw Exception(QStringLiteral("%1: its FileVersion '%2' is not two to four numbers joined by dots, which the "
                                       "updater compares; name it with --numbered or --forced")
                            .arg(package.top.display(), version));
    package.value = version;
    package.why = QStringLiteral("versioned");
}

QList<Script> collectScripts(const QString &dir)
{
    if (!QFileInfo(dir).isDir())
        throw Exception(QStringLiteral("--scripts %1 is not a folder").arg(dir));
    QList<Script> scripts;
    QSet<QString> seen;
    for (const QFileInfo &entry : entriesOf(dir)) {
        refuseName(entry.filePath(), entry.fileName());
        const QString name = entry.fileName();
        const bool update = name.startsWith(u'u', Qt::CaseInsensitive);
        std::optional<int> number;
        if (entry.isFile() && name.endsWith(QStringLiteral(".sql"), Qt::CaseInsensitive))
            number = releaseOfSection(name.chopped(4).mid(update ? 1 : 0), u"");
        if (!number || *number == 0)
            throw Exception(QStringLiteral("%1 is neither <number>.sql nor u<number>.sql (numbers from 1 to %2, "
                                           "without leading zeros)")
                                .arg(entry.filePath(), QString::number(kMaxNumber)));
        Script script{entry.absoluteFilePath(), name, update, *number};
        if (seen.contains(script.serverPath()))
            throw Exception(QStringLiteral("%1 holds two scripts for %2").arg(dir, script.serverPath()));
        seen.insert(script.serverPath());
        scripts.append(script);
    }
    if (scripts.isEmpty())
        throw Exception(QStringLiteral("--scripts %1 holds no scripts").arg(dir));
    std::sort(scripts.begin(), scripts.end(), [](const Script &a, const Script &b) {
        return std::pair(a.update, a.number) < std::pair(b.update, b.number);
    });
    return scripts;
}

// A command line as the list reader and the updater will read it, or UsageError.
QString checkCommand(const QString &given)
{
    const QString line = given.trimmed();
    const auto refuse = [&](const QString &why) {
        return UsageError(QStringLiteral("--command '%1': %2").arg(given, why));
    };
    for (const QChar c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            throw refuse(QStringLiteral("a list line holds no control characters"));
    if (ansi::decode(ansi::encode(line)) != line)
        throw refuse(QStringLiteral("it has characters that Windows-1252 cannot hold"));
    if (line.contains(u'='))
        throw refuse(QStringLiteral("the list reader would cut the line at its '='"));
    const auto parsed = packagelist::parseScriptLine(line);
    if (!parsed)
        throw refuse(QStringLiteral("a command line is <command>$<argument>"));
    if (!kCommands.contains(parsed->command))
        throw refuse(QStringLiteral("the updater knows the commands %1").arg(kCommands.join(QStringLiteral(", "))));
    if (line.size() - parsed->command.size() - 1 > kMaxArgument)
        throw refuse(QStringLiteral("the updater reads no more than %1 characters after the '$'").arg(kMaxArgument));
    if (kFileCommands.contains(parsed->command) && !Folders::staysInside(parsed->argument))
        throw refuse(QStringLiteral("its file leads out of the updater's folders; the updater stops there"));
    return line;
}

QString sectionsText(int release, const QList<ProgramPackage> &packages, const std::optional<QList<Script>> &scripts,
                     const QStringList &commands)
{
    QString text = QStringLiteral("[KLV%1]\r\n").arg(release);
    for (const ProgramPackage &package : packages)
        text += package.top.key() + u'=' + package.value + QStringLiteral("\r\n");
    // The updater takes a subfolder's rule from the bare name's line; the value here is for people.
    for (const ProgramPackage &package : packages)
        for (const ProgramFile &file : package.inSubfolders)
            text += file.key() + u'=' + package.value + QStringLiteral("\r\n");
    if (scripts) {
        int highest[2] = {0, 0};
        for (const Script &script : *scripts)
            highest[script.update] = std::max(highest[script.update], script.number);
        text += QStringLiteral("[SQL%1]\r\n").arg(release);
        if (highest[0] > 0)
            text += QStringLiteral("VERSIE=%1\r\n").arg(highest[0]);
        if (highest[1] > 0)
            text += QStringLiteral("UPDATE=%1\r\n").arg(highest[1]);
    }
    if (!commands.isEmpty()) {
        text += QStringLiteral("[CMD%1]\r\n").arg(release);
        for (const QString &command : commands)
            text += command + QStringLiteral("=\r\n");
    }
    return text;
}

// Entries of the earlier release sections that the new ones leave out: worth a word, since a
// release run replaces those sections whole.
void noteDropped(const QString &listPath, const QByteArray &oldList, const QString &newSections, int release)
{
    const IniFile before = IniFile::fromBytes(oldList);
    const IniFile after = IniFile::fromBytes(ansi::encode(newSections));
    for (const char *prefix : {"KLV", "SQL", "CMD"}) {
        const QString section = QLatin1String(prefix) + QString::number(release);
        QSet<QString> kept;
        for (const QString &key : after.readSection(section))
            kept.insert(key.toCaseFolded());
        for (const QString &key : before.readSection(section))
            if (!kept.contains(key.toCaseFolded()))
                err(QStringLiteral("note: %1: [%2] no longer has '%3'").arg(listPath, section, key));
    }
}

void pack(const QString &archivePath, const QList<std::pair<QString, QString>> &files)
{
    ZLBWriter writer(archivePath);
    for (const auto &[source, name] : files)
        writer.addFile(source, name);
    writer.finish();
}

// The earlier release's copy of `name`: the same name, or the same in another case (Windows keeps
// either).
std::optional<QString> earlierFile(const QString &dir, const QString &name)
{
    const QDir folder(dir);
    if (QFileInfo(folder.filePath(name)).isFile())
        return folder.filePath(name);
    for (const QString &other : folder.entryList(QDir::Files | QDir::Hidden))
        if (other.compare(name, Qt::CaseInsensitive) == 0)
            return folder.filePath(other);
    return std::nullopt;
}

void openForReading(QFile &file)
{
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("Cannot read %1: %2").arg(file.fileName(), file.errorString()));
}

// The patches of a package's file from each earlier release that has it changed, written beside
// the package. Each is applied once here and must make the new file; one no smaller than the
// package itself is left out, since fetching it gains nothing.
QList<packagelist::PatchLine> writePatches(const ProgramPackage &package, const QStringList &previous,
                                           const ServerTree &tree, const QString &releaseDir, int level)
{
    QList<packagelist::PatchLine> lines;
    const FileFacts target = hashFile(package.top.source);
    const qint64 packageSize = QFileInfo(tree.path(releaseDir + u'/' + package.archive)).size();
    for (const QString &dir : previous) {
        const std::optional<QString> earlier = earlierFile(dir, package.top.name);
        if (!earlier)
            continue;
        const FileFacts base = hashFile(*earlier);
        const auto same = [&](const packagelist::PatchLine &l) { return l.baseSha256 == base.sha256; };
        if (base.sha256 == target.sha256 || std::any_of(lines.begin(), lines.end(), same))
            continue;
        if (base.length > delta::kMaxFileSize || target.length > delta::kMaxFileSize) {
            err(QStringLiteral("note: %1: no patch, files above %2 bytes are fetched whole")
                    .arg(package.top.display())
                    .arg(delta::kMaxFileSize));
            continue;
        }
        packagelist::PatchLine line{packagelist::patchName(package.top.name, base.sha256),
                                    package.top.name,
                                    base.sha256,
                                    target.sha256,
                                    target.length,
                                    0};
        const QString serverPath = releaseDir + u'/' + line.name;
        QSaveFile patch(tree.path(serverPath));
        if (!patch.open(QIODevice::WriteOnly))
            throw EInOutError(QStringLiteral("Cannot write %1: %2").arg(patch.fileName(), patch.errorString()));
        QFile baseFile(*earlier);
        QFile targetFile(package.top.source);
        openForReading(baseFile);
        openForReading(targetFile);
        delta::makePatch(baseFile, targetFile, patch, {level, true});
        if (!patch.commit())
            throw EInOutError(QStringLiteral("Cannot write %1: %2").arg(patch.fileName(), patch.errorString()));
        QFile written(tree.path(serverPath));
        openForReading(written);
        const delta::Applied applied = delta::checkPatch(baseFile, written, target.length);
        if (applied.sha256 != target.sha256)
            throw Exception(
                QStringLiteral("%1: the patch from %2 does not make the new file").arg(serverPath, *earlier));
        if (written.size() >= packageSize) {
            written.close();
            QFile::remove(tree.path(serverPath));
            err(QStringLiteral("note: %1: the patch from %2 is no smaller than the package; left out")
                    .arg(package.top.display(), *earlier));
            continue;
        }
        line.patchLength = written.size();
        out(QStringLiteral("%1  patch of %2 from %3 (%4 of %5 bytes)\n")
                .arg(serverPath, package.top.name, *earlier)
                .arg(written.size())
                .arg(packageSize));
        lines.append(line);
    }
    return lines;
}

QString patchSectionText(int release, const QList<packagelist::PatchLine> &lines)
{
    if (lines.isEmpty())
        return {};
    QString text = u'[' + packagelist::patchSection(QString::number(release)) + QStringLiteral("]\r\n");
    for (const packagelist::PatchLine &line : lines)
        text += line.name + u'=' + packagelist::patchValue(line) + QStringLiteral("\r\n");
    return text;
}

// Patches of an earlier run of this release that this one did not write again.
void removeStalePatches(const QString &releaseDir, const QList<packagelist::PatchLine> &kept)
{
    QSet<QString> names;
    for (const packagelist::PatchLine &line : kept)
        names.insert(line.name);
    const QDir dir(releaseDir);
    for (const QString &name : dir.entryList({QStringLiteral("*.klvpatch")}, QDir::Files))
        if (!names.contains(name) && !QFile::remove(dir.filePath(name)))
            throw EInOutError(QStringLiteral("Cannot remove %1").arg(dir.filePath(name)));
}

} // namespace

int release(const QStringList &args)
{
    const Options options(QStringLiteral("release"), args,
                          {{QStringLiteral("--release")},
                           {QStringLiteral("--programs")},
                           {QStringLiteral("--scripts")},
                           {QStringLiteral("--tree")},
                           {QStringLiteral("--list"), true},
                           {QStringLiteral("--numbered"), true},
                           {QStringLiteral("--forced"), true},
                           {QStringLiteral("--command"), true},
                           {QStringLiteral("--previous"), true},
                           {QStringLiteral("--patch-level")}});
    options.expectPositional(0, QString());
    const int number =
        int(parseNumber(options.required(QStringLiteral("--release")), 1, kMaxNumber, QStringLiteral("--release")));
    const QString programsDir = options.required(QStringLiteral("--programs"));
    const ServerTree tree(options.required(QStringLiteral("--tree")));
    QStringList listNames = options.values(QStringLiteral("--list"));
    if (listNames.isEmpty())
        listNames << QStringLiteral("whatsnew.klv");
    QSet<QString> seenLists;
    for (const QString &name : std::as_const(listNames)) {
        checkListName(name);
        if (seenLists.contains(name))
            throw UsageError(QStringLiteral("--list %1 is given twice").arg(name));
        seenLists.insert(name);
    }
    const QStringList previous = options.values(QStringLiteral("--previous"));
    for (const QString &dir : previous)
        if (!QFileInfo(dir).isDir())
            throw UsageError(QStringLiteral("--previous %1 is not a folder").arg(dir));
    const int patchLevel =
        options.has(QStringLiteral("--patch-level"))
            ? int(parseNumber(options.value(QStringLiteral("--patch-level")), 1, 22, QStringLiteral("--patch-level")))
            : kPatchLevel;
    QStringList commands;
    for (const QString &command : options.values(QStringLiteral("--command")))
        commands << checkCommand(command);

    // Everything is checked before the first file is written.
    QList<ProgramPackage> packages = groupPackages(collectPrograms(programsDir));
    const QHash<QString, Rule> rules = parseRules(options, packages);
    for (ProgramPackage &package : packages) {
        const auto rule = rules.constFind(package.top.name.toCaseFolded());
        decideValue(package, rule == rules.constEnd() ? std::nullopt : std::optional<Rule>(*rule), number);
    }
    std::optional<QList<Script>> scripts;
    if (options.has(QStringLiteral("--scripts")))
        scripts = collectScripts(options.value(QStringLiteral("--scripts")));
    const QString sections = sectionsText(number, packages, scripts, commands);

    QList<PendingList> lists;
    uint64_t highestSerial = tree.keptSerial();
    const uint64_t keptSerial = highestSerial;
    for (const QString &name : std::as_const(listNames)) {
        PendingList list{QStringLiteral("supports/") + name, {}};
        QByteArray &old = list.old;
        if (QFileInfo::exists(tree.path(list.serverPath))) {
            old = readSmallFile(tree.path(list.serverPath), kMaxListSize, QStringLiteral("a package list"));
            noteDropped(list.serverPath, old, sections, number);
            // Read leniently: only so that the next signing goes on above it.
            bool ok = false;
            const uint64_t serial = IniFile::fromBytes(old)
                                        .readString(QStringLiteral("SIGNED"), QStringLiteral("serial"), QString())
                                        .toULongLong(&ok);
            if (ok)
                highestSerial = std::max(highestSerial, serial);
        }
        lists.append(list);
    }

    const QString releaseDir = QStringLiteral("supports/klv%1").arg(number);
    if (!QDir().mkpath(tree.path(releaseDir)))
        throw EInOutError(QStringLiteral("Cannot make the folder %1").arg(tree.path(releaseDir)));
    for (const ProgramPackage &package : packages) {
        const QString serverPath = releaseDir + u'/' + package.archive;
        pack(tree.path(serverPath), {{package.top.source, package.top.name}});
        out(QStringLiteral("%1  %2=%3 (%4)\n").arg(serverPath, package.top.key(), package.value, package.why));
        for (const ProgramFile &file : package.inSubfolders)
            out(QStringLiteral("%1  %2 (from the same package)\n").arg(serverPath, file.key()));
    }
    QList<packagelist::PatchLine> patches;
    for (const ProgramPackage &package : packages)
        patches += writePatches(package, previous, tree, releaseDir, patchLevel);
    removeStalePatches(tree.path(releaseDir), patches);
    for (const Script &script : scripts.value_or(QList<Script>())) {
        pack(tree.path(script.serverPath()), {{script.source, script.name}});
        out(QStringLiteral("%1  %2\n").arg(script.serverPath(), script.name));
    }
    if (highestSerial > keptSerial)
        tree.keepSerial(highestSerial);
    for (const PendingList &list : std::as_const(lists)) {
        // The old signature would no longer fit; the list waits for sign.
        const QString signature = tree.path(list.serverPath + QStringLiteral(".sig"));
        if (QFileInfo::exists(signature) && !QFile::remove(signature))
            throw EInOutError(QStringLiteral("Cannot remove %1").arg(signature));
        writeFileAtomically(tree.path(list.serverPath),
                            withReleaseSections(list.old, number, sections + patchSectionText(number, patches)));
        out(QStringLiteral("%1  release %2 written; sign the tree before it goes on the server\n")
                .arg(list.serverPath, QString::number(number)));
    }
    return 0;
}

} // namespace klv::publish
