// Extraction speed and memory of TZLBArchive, measured side by side with plain zlib inflate of the
// same streams and a plain copy of the same stored bytes, to the same disk in the same run.
//
//   bench_zlb [--sizes 20,200] [--dir /tmp] [--runs 3]
//   bench_zlb --generate MB DIR          (writes DIR/mixed.zlb and DIR/stored.zlb)
//   bench_zlb --measure component|inflate|copy ARCHIVE DEST
//
// Archives of mixed content are generated into a scratch folder under --dir and deleted at the
// end. Every measurement runs in a child process of its own so that its peak RSS is its own.

#include "archive/ZLBFormat.h"
#include "archive/ZLBWriter.h"
#include "archive/ZLIBArchive.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qsizetype kBlock = 256 * 1024;

// Records, zero runs and noise in files of 64 KiB to 8 MiB: about 2.5 to 1 with zlib's default.
QByteArray mixedContent(qsizetype size, QRandomGenerator &random)
{
    QByteArray out;
    out.reserve(size + 4096);
    while (out.size() < size) {
        const int kind = random.bounded(10);
        if (kind < 6) {
            out += "INSERT INTO ARNPREMIE VALUES (";
            out += QByteArray::number(random.bounded(1000000));
            out += ", 'regio ";
            out += QByteArray::number(random.bounded(50));
            out += "');\r\n";
        } else if (kind < 7) {
            out += QByteArray(random.bounded(64, 4096), '\0');
        } else {
            const qsizetype at = out.size();
            out.resize(at + 1024);
            random.fillRange(reinterpret_cast<quint32 *>(out.data() + at), 256);
        }
    }
    out.truncate(size);
    return out;
}

void generate(const QString &compressed, const QString &stored, qint64 total)
{
    QRandomGenerator random(20240601);
    klv::ZLBWriter packed(compressed);
    klv::ZLBWriter plain(stored);
    qint64 done = 0;
    for (int i = 0; done < total; ++i) {
        const qsizetype size = std::min<qint64>(total - done, random.bounded(64 * 1024, 8 * int(kMiB)));
        const QByteArray content = mixedContent(size, random);
        const QString name = QStringLiteral("file%1.dat").arg(i);
        const QString folder = QStringLiteral("dir%1").arg(i % 7);
        packed.addData(content, name, folder, false);
        plain.addData(content, name, folder, true);
        done += size;
    }
    packed.finish();
    plain.finish();
}

QList<klv::zlb::TZLBFileEntry> readRegistry(QFile &file)
{
    klv::zlb::TZLBTrailer trailer;
    file.seek(file.size() - klv::zlb::kTrailerSize);
    file.read(reinterpret_cast<char *>(&trailer), sizeof trailer);
    file.seek(trailer.RegistryOffset);
    QList<klv::zlb::TZLBFileEntry> entries(trailer.FileCount);
    file.read(reinterpret_cast<char *>(entries.data()), qint64(entries.size()) * klv::zlb::kEntrySize);
    return entries;
}

QString targetOf(const QString &dest, const klv::zlb::TZLBFileEntry &entry)
{
    const QString folder = dest + u'/' + klv::zlb::decodeText(entry.FilePath);
    QDir().mkpath(folder);
    return folder + u'/' + klv::zlb::decodeText(entry.FileName);
}

// The reference for compressed entries: inflate each stream straight into its file.
void plainInflate(const QString &archive, const QString &dest)
{
    QFile file(archive);
    file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    QByteArray in(kBlock, Qt::Uninitialized);
    QByteArray out(kBlock, Qt::Uninitialized);
    for (const auto &entry : readRegistry(file)) {
        QFile target(targetOf(dest, entry));
        target.open(QIODevice::WriteOnly);
        z_stream zs{};
        inflateInit(&zs);
        file.seek(entry.Offset);
        qint64 left = entry.Size;
        while (left > 0) {
            if (zs.avail_in == 0) {
                zs.avail_in = uInt(file.read(in.data(), in.size()));
                zs.next_in = reinterpret_cast<Bytef *>(in.data());
            }
            zs.next_out = reinterpret_cast<Bytef *>(out.data());
            zs.avail_out = uInt(std::min<qint64>(left, out.size()));
            const uInt asked = zs.avail_out;
            inflate(&zs, Z_NO_FLUSH);
            target.write(out.constData(), asked - zs.avail_out);
            left -= asked - zs.avail_out;
        }
        inflateEnd(&zs);
    }
}

// The reference for stored entries: copy each entry's bytes into its file.
void plainCopy(const QString &archive, const QString &dest)
{
    QFile file(archive);
    file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    QByteArray buffer(kBlock, Qt::Uninitialized);
    for (const auto &entry : readRegistry(file)) {
        QFile target(targetOf(dest, entry));
        target.open(QIODevice::WriteOnly);
        file.seek(entry.Offset);
        for (qint64 left = entry.Size; left > 0;) {
            const qint64 got = file.read(buffer.data(), std::min<qint64>(left, buffer.size()));
            target.write(buffer.constData(), got);
            left -= got;
        }
    }
}

// Peak resident set of this process image (VmHWM; ru_maxrss would carry the parent's over exec).
long peakRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// One measurement in this process; prints "extract-seconds total-seconds peak-RSS-KiB".
int measure(const QString &kind, const QString &archive, const QString &dest)
{
    QElapsedTimer timer;
    timer.start();
    double opened = 0;
    if (kind.startsWith(u"component")) {
        klv::TZLBArchive reader;
        reader.setCheckCRC(kind == u"component");
        reader.setExtractWithPath(true);
        reader.OpenArchive(archive);
        opened = double(timer.nsecsElapsed()) / 1e9;
        reader.ExtractArchive(dest + u'/');
    } else if (kind == u"inflate") {
        plainInflate(archive, dest);
    } else {
        plainCopy(archive, dest);
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("%.4f %.4f %ld\n", seconds - opened, seconds, peakRssKiB());
    return 0;
}

struct Result
{
    double extract = 1e9;
    double total = 1e9;
    long rssKiB = 0;
};

Result runChild(const QString &kind, const QString &archive, const QString &dest)
{
    QDir(dest).removeRecursively();
    // Dirty pages of the run before are written back first, so that no run pays for another's.
    ::sync();
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--measure"), kind, archive, dest});
    child.waitForFinished(-1);
    const QList<QByteArray> parts = child.readAllStandardOutput().trimmed().split(' ');
    QDir(dest).removeRecursively();
    if (parts.size() != 3) {
        std::fprintf(stderr, "measurement %s failed\n", qPrintable(kind));
        std::exit(1);
    }
    return {parts[0].toDouble(), parts[1].toDouble(), parts[2].toLong()};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == u"--measure")
        return measure(args[2], args[3], args[4]);
    if (args.size() == 4 && args[1] == u"--generate") {
        const QDir dir(args[3]);
        generate(dir.filePath(QStringLiteral("mixed.zlb")), dir.filePath(QStringLiteral("stored.zlb")),
                 args[2].toLongLong() * kMiB);
        return 0;
    }

    QList<int> sizes = {20, 200};
    QString base = QDir::tempPath();
    int runs = 3;
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--sizes") {
            sizes.clear();
            for (const QString &s : args[i + 1].split(u','))
                sizes << s.toInt();
        } else if (args[i] == u"--dir") {
            base = args[i + 1];
        } else if (args[i] == u"--runs") {
            runs = args[i + 1].toInt();
        }
    }
    QTemporaryDir scratch(base + QStringLiteral("/zlbbench-XXXXXX"));
    std::printf("Speed ratios are plain time / reader time (1.0: as fast as the plain reference): of the best\n"
                "times, and the median of the ratios of runs made back to back, which a machine that changes\n"
                "speed between runs disturbs less.\n");
    std::printf("%-5s %-18s %9s %9s %9s %9s %9s %9s %11s %11s\n", "MB", "entries", "extract s", "+open s", "plain s",
                "extract", "+open", "median", "reader RSS", "plain RSS");
    for (int mb : sizes) {
        const QString compressed = scratch.filePath(QStringLiteral("mixed%1.zlb").arg(mb));
        const QString stored = scratch.filePath(QStringLiteral("stored%1.zlb").arg(mb));
        generate(compressed, stored, mb * kMiB);
        const QString dest = scratch.filePath(QStringLiteral("out"));
        struct Case
        {
            const char *label;
            QString archive;
            const char *reader;
            const char *reference;
        };
        const Case cases[] = {{"deflated, CheckCRC", compressed, "component", "inflate"},
                              {"stored, CheckCRC", stored, "component", "copy"},
                              {"stored, no CRC", stored, "component-nocrc", "copy"}};
        for (const Case &c : cases) {
            Result reader;
            Result plain;
            QList<double> paired;
            for (int r = 0; r < runs; ++r) {
                const Result a = runChild(QString::fromLatin1(c.reader), c.archive, dest);
                const Result b = runChild(QString::fromLatin1(c.reference), c.archive, dest);
                paired << b.total / a.extract;
                reader.extract = std::min(reader.extract, a.extract);
                reader.total = std::min(reader.total, a.total);
                reader.rssKiB = std::max(reader.rssKiB, a.rssKiB);
                plain.total = std::min(plain.total, b.total);
                plain.rssKiB = std::max(plain.rssKiB, b.rssKiB);
            }
            std::sort(paired.begin(), paired.end());
            std::printf("%-5d %-18s %9.3f %9.3f %9.3f %9.2f %9.2f %9.2f %7ld KiB %7ld KiB\n", mb, c.label,
                        reader.extract, reader.total, plain.total, plain.total / reader.extract,
                        plain.total / reader.total, paired[paired.size() / 2], reader.rssKiB, plain.rssKiB);
        }
        QFile::remove(compressed);
        QFile::remove(stored);
    }
    return 0;
}
