// Opens and extracts arbitrary bytes as a .zlb archive into a scratch folder, and stops the run
// when anything appears outside that folder or a progress value leaves 0 to 100.
//
// Random bytes would almost never pass the archive CRC, so the target writes the right CRC into
// the trailer unless bit 3 of the trailer's unread byte 21 is set. Bits 0 to 2 of that byte
// choose ExtractWithPath, CheckCRC and the answer to the replace question.

#include "archive/ZLBFormat.h"
#include "archive/ZLIBArchive.h"
#include "platform/Exceptions.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <cstdio>
#include <cstdlib>

namespace {

struct Scratch
{
    QTemporaryDir base;
    QString archive = base.filePath(QStringLiteral("in.zlb"));
    QString box = base.filePath(QStringLiteral("box"));
    QString dest = box + QStringLiteral("/dest");
};

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_zlb: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Scratch scratch;
    QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype trailer = bytes.size() - klv::zlb::kTrailerSize;
    const int options = trailer >= 0 ? static_cast<uint8_t>(bytes[trailer + 21]) : 0;
    if (trailer >= 0 && (options & 8) == 0)
        qToLittleEndian<quint32>(klv::zlb::crc32(QByteArrayView(bytes).first(trailer)), bytes.data() + trailer);
    {
        QFile file(scratch.archive);
        require(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size(), "cannot write the input");
    }
    QDir().mkpath(scratch.box);

    klv::TZLBArchive archive;
    archive.setExtractWithPath((options & 1) != 0);
    archive.setCheckCRC((options & 2) != 0);
    archive.OnReplaceFile = [options](const QString &, bool &replace) { replace = (options & 4) != 0; };
    archive.OnProgress = [](const QString &, int32_t percentage) {
        require(percentage >= 0 && percentage <= 100, "progress outside 0 to 100");
    };
    try {
        archive.OpenArchive(scratch.archive);
        klv::TZLBFileEntry entry;
        for (int32_t i = 0; i < archive.GetFileCount(); ++i)
            archive.GetFileEntry(i, entry);
        // Twice, so that the second run meets the replace question.
        archive.ExtractArchive(scratch.dest + u'/');
        archive.ExtractArchive(scratch.dest + u'/');
    } catch (const klv::Exception &) {
        // Refusing the input is a fine outcome.
    }

    const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    const QStringList top = QDir(scratch.base.path()).entryList(all, QDir::Name);
    require(top == QStringList({QStringLiteral("box"), QStringLiteral("in.zlb")}), "entry written beside the box");
    const QStringList inBox = QDir(scratch.box).entryList(all);
    require(inBox.isEmpty() || inBox == QStringList{QStringLiteral("dest")}, "entry written beside the destination");
    QDir(scratch.dest).removeRecursively();
    return 0;
}
