// zlb: packs, lists, tests and extracts .zlb archives for release work.

#include "archive/ZLBStreams.h"
#include "archive/ZLBWriter.h"
#include "archive/ZLIBArchive.h"

#include "platform/Exceptions.h"
#include "platform/Folders.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>
#include <cstdio>
#include <optional>

using namespace klv;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char *const kUsage = "Usage:\n"
                           "  zlb pack [options] ARCHIVE FILE|FOLDER...\n"
                           "      Packs files, and every file below each folder, into a new ARCHIVE.\n"
                           "      --stored             keep the content as it is (default: compress)\n"
                           "      --level N            zlib level 0 to 9, or -1 for zlib's default (default -1)\n"
                           "      --compress-registry  compress the file list as well\n"
                           "      --paths              keep each file's folder relative to the folder given\n"
                           "  zlb list ARCHIVE\n"
                           "      Shows the files of ARCHIVE.\n"
                           "  zlb test ARCHIVE\n"
                           "      Checks the archive CRC and the CRC of every file without writing anything.\n"
                           "  zlb extract [--flat] [--verbose] ARCHIVE DEST\n"
                           "      Extracts every file into DEST, checking each CRC, below its folder unless --flat.\n"
                           "  zlb --help\n";

void out(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
}

void err(const QString &text)
{
    std::fputs(QStringLiteral("zlb: %1\n").arg(text).toLocal8Bit().constData(), stderr);
}

int usageError(const QString &text)
{
    err(text);
    std::fputs("Try 'zlb --help'.\n", stderr);
    return kExitUsage;
}

QString entryName(const zlb::TZLBFileEntry &entry)
{
    const QString path = zlb::decodeText(entry.FilePath);
    const QString name = zlb::decodeText(entry.FileName);
    if (path.isEmpty())
        return name;
    return path.endsWith(u'\\') ? path + name : path + u'\\' + name;
}

struct PackOptions
{
    bool stored = false;
    bool compressRegistry = false;
    bool keepPaths = false;
    int level = -1;
};

struct Source
{
    QString file;
    QString name;
    QString path;
};

// Every file named, and every file below every folder named, in a stable order.
QList<Source> collect(const QStringList &inputs, bool keepPaths)
{
    QList<Source> sources;
    for (const QString &input : inputs) {
        const QFileInfo info(input);
        if (info.isFile()) {
            sources.append({info.absoluteFilePath(), info.fileName(), QString()});
            continue;
        }
        if (!info.isDir())
            throw Exception(QStringLiteral("No such file or folder: %1").arg(input));
        const QDir root(info.absoluteFilePath());
        QDirIterator it(root.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        QList<Source> found;
        while (it.hasNext()) {
            const QFileInfo file = it.nextFileInfo();
            QString folder = root.relativeFilePath(file.absolutePath());
            if (folder == u".")
                folder.clear();
            folder.replace(u'/', u'\\');
            found.append({file.absoluteFilePath(), file.fileName(), keepPaths ? folder : QString()});
        }
        std::sort(found.begin(), found.end(), [](const Source &a, const Source &b) { return a.file < b.file; });
        sources += found;
    }
    // The targets compare names without case, so two files must not meet there.
    QHash<QString, QString> seen;
    for (const Source &source : std::as_const(sources)) {
        const QString key = (source.path + u'\\' + source.name).toLower();
        if (seen.contains(key))
            throw Exception(
                QStringLiteral("%1 and %2 would be extracted to the same name").arg(seen[key], source.file));
        seen.insert(key, source.file);
    }
    return sources;
}

int pack(const QStringList &args)
{
    PackOptions options;
    QStringList names;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &option = args[i];
        if (!option.startsWith(u"--")) {
            names << option;
        } else if (option == u"--stored") {
            options.stored = true;
        } else if (option == u"--compress-registry") {
            options.compressRegistry = true;
        } else if (option == u"--paths") {
            options.keepPaths = true;
        } else if (option == u"--level" && i + 1 < args.size()) {
            bool ok = false;
            options.level = args[++i].toInt(&ok);
            if (!ok || options.level < -1 || options.level > 9)
                return usageError(QStringLiteral("--level takes a number from -1 to 9"));
        } else {
            return usageError(QStringLiteral("Unknown option for pack: %1").arg(option));
        }
    }
    if (names.size() < 2)
        return usageError(QStringLiteral("pack needs an archive and at least one file or folder"));
    const QString archive = names.takeFirst();
    const QList<Source> sources = collect(names, options.keepPaths);
    ZLBWriter writer(archive);
    writer.setLevel(options.level);
    writer.setCompressRegistry(options.compressRegistry);
    for (const Source &source : sources)
        writer.addFile(source.file, source.name, source.path, options.stored);
    writer.finish();
    out(QStringLiteral("%1: %2 files\n").arg(archive).arg(sources.size()));
    return 0;
}

int list(const QString &archive)
{
    TZLBArchive reader;
    reader.OpenArchive(archive);
    qint64 total = 0;
    out(QStringLiteral("%1 %2 %3 %4\n")
            .arg(QStringLiteral("Size"), 12)
            .arg(QStringLiteral("Kind"), -10)
            .arg(QStringLiteral("CRC"), -8)
            .arg(QStringLiteral("Name")));
    const int32_t count = reader.GetFileCount();
    for (int32_t i = 0; i < count; ++i) {
        zlb::TZLBFileEntry entry;
        reader.GetFileEntry(i, entry);
        total += entry.Size;
        out(QStringLiteral("%1 %2 %3 %4\n")
                .arg(static_cast<qint64>(entry.Size), 12)
                .arg(entry.Stored != 0 ? QStringLiteral("stored") : QStringLiteral("deflated"), -10)
                .arg(static_cast<quint32>(entry.CRC), 8, 16, QChar(u'0'))
                .arg(entryName(entry)));
    }
    out(QStringLiteral("%1 %2 files\n").arg(total, 12).arg(count));
    return 0;
}

// Reads every entry as extraction would, without writing, and compares its CRC.
int test(const QString &archive)
{
    TZLBArchive reader;
    reader.OpenArchive(archive);
    QFile file(Folders::resolve(archive));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw Exception(QStringLiteral("Unable to open file (%1)").arg(archive));
    const int32_t count = reader.GetFileCount();
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    int failures = 0;
    for (int32_t i = 0; i < count; ++i) {
        zlb::TZLBFileEntry entry;
        reader.GetFileEntry(i, entry);
        QString problem;
        if (!zlb::isSafeFileName(zlb::decodeText(entry.FileName)) ||
            !zlb::isSafeFilePath(zlb::decodeText(entry.FilePath))) {
            problem = QStringLiteral("name leaves the destination folder");
        } else {
            try {
                zlb::EntryReader data(file, entry);
                quint32 crc = 0;
                while (data.remaining() > 0) {
                    const qsizetype length = static_cast<qsizetype>(std::min<qint64>(data.remaining(), buffer.size()));
                    data.read(buffer.data(), length);
                    crc = zlb::crc32(crc, buffer.constData(), length);
                }
                if (crc != entry.CRC)
                    problem = QStringLiteral("CRC differs");
            } catch (const std::exception &e) {
                problem = exceptionMessage(e);
            }
        }
        if (!problem.isEmpty()) {
            ++failures;
            err(QStringLiteral("File (%1) is corrupt: %2: %3").arg(i).arg(entryName(entry), problem));
        }
    }
    if (failures > 0) {
        err(QStringLiteral("%1: %2 of %3 files are corrupt").arg(archive).arg(failures).arg(count));
        return kExitFailure;
    }
    out(QStringLiteral("%1: %2 files OK\n").arg(archive).arg(count));
    return 0;
}

int extract(const QStringList &args)
{
    bool flat = false;
    bool verbose = false;
    QStringList names;
    for (const QString &option : args) {
        if (!option.startsWith(u"--"))
            names << option;
        else if (option == u"--flat")
            flat = true;
        else if (option == u"--verbose")
            verbose = true;
        else
            return usageError(QStringLiteral("Unknown option for extract: %1").arg(option));
    }
    if (names.size() != 2)
        return usageError(QStringLiteral("extract needs an archive and a destination folder"));
    TZLBArchive reader;
    reader.setCheckCRC(true);
    reader.setExtractWithPath(!flat);
    if (verbose)
        reader.OnFileExtracted = [](const QString &name) { out(name + u'\n'); };
    reader.OpenArchive(names[0]);
    QString dest = names[1];
    if (!dest.endsWith(u'/') && !dest.endsWith(u'\\'))
        dest += QDir::separator();
    reader.ExtractArchive(dest);
    return 0;
}

int run(QStringList args)
{
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString command = args.takeFirst();
    if (command == u"--help" || command == u"-h" || command == u"help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == u"pack")
        return pack(args);
    if (command == u"list" || command == u"test") {
        if (args.size() != 1)
            return usageError(QStringLiteral("%1 needs one archive").arg(command));
        return command == u"list" ? list(args[0]) : test(args[0]);
    }
    if (command == u"extract")
        return extract(args);
    return usageError(QStringLiteral("unknown command: %1").arg(command));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    try {
        return run(app.arguments().mid(1));
    } catch (const std::exception &e) {
        err(exceptionMessage(e));
        return kExitFailure;
    }
}
