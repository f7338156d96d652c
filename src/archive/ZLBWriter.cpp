#include "ZLBWriter.h"

#include "platform/Exceptions.h"

#include <QBuffer>
#include <QFile>
#include <QSaveFile>
#include <cstring>
#include <limits>
#include <zlib.h>

namespace klv {

namespace {

constexpr qint64 kBlock = 256 * 1024;
constexpr qint64 kMaxPosition = std::numeric_limits<int32_t>::max();

struct DeflateEnd
{
    void operator()(z_stream *stream) const
    {
        deflateEnd(stream);
        delete stream;
    }
};

} // namespace

ZLBWriter::ZLBWriter(const QString &archivePath) : FPath(archivePath), FFile(std::make_unique<QSaveFile>(archivePath))
{
    if (!FFile->open(QIODevice::WriteOnly))
        throw Exception(QStringLiteral("Cannot create archive %1: %2").arg(archivePath, FFile->errorString()));
}

ZLBWriter::~ZLBWriter()
{
    if (!FFinished)
        FFile->cancelWriting();
}

void ZLBWriter::setLevel(int level)
{
    if (level < Z_DEFAULT_COMPRESSION || level > Z_BEST_COMPRESSION)
        throw Exception(QStringLiteral("Compression level %1 is not between -1 and 9").arg(level));
    FLevel = level;
}

void ZLBWriter::addFile(const QString &sourcePath, const QString &fileName, const QString &filePath, bool stored)
{
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw Exception(QStringLiteral("Cannot read %1: %2").arg(sourcePath, source.errorString()));
    addFrom(source, source.size(), fileName, filePath, stored);
}

void ZLBWriter::addData(const QByteArray &content, const QString &fileName, const QString &filePath, bool stored)
{
    QByteArray copy = content;
    QBuffer source(&copy);
    source.open(QIODevice::ReadOnly);
    addFrom(source, copy.size(), fileName, filePath, stored);
}

void ZLBWriter::addFrom(QIODevice &source, qint64 size, const QString &fileName, const QString &filePath, bool stored)
{
    if (FFinished)
        throw Exception(QStringLiteral("The archive is already finished"));
    if (!zlb::isSafeFileName(fileName) || !zlb::isSafeFilePath(filePath))
        throw Exception(QStringLiteral("Name not allowed in an archive: %1\\%2").arg(filePath, fileName));
    if (size > kMaxPosition)
        throw Exception(QStringLiteral("File too large for an archive: %1").arg(fileName));
    zlb::TZLBFileEntry entry{};
    zlb::encodeText(entry.FileName, fileName);
    zlb::encodeText(entry.FilePath, filePath);
    entry.Size = static_cast<int32_t>(size);
    entry.Offset = static_cast<int32_t>(FPosition);
    entry.Stored = stored ? 1 : 0;
    quint32 crc = 0;
    if (stored) {
        QByteArray block(static_cast<qsizetype>(std::min(kBlock, std::max<qint64>(size, 1))), Qt::Uninitialized);
        qint64 left = size;
        while (left > 0) {
            const qint64 got = source.read(block.data(), std::min<qint64>(left, block.size()));
            if (got <= 0)
                throw Exception(QStringLiteral("Cannot read the content of %1").arg(fileName));
            crc = zlb::crc32(crc, block.constData(), got);
            put(block.constData(), got);
            left -= got;
        }
    } else {
        deflateFrom(source, size, crc);
    }
    entry.CRC = crc;
    FEntries.append(entry);
}

void ZLBWriter::deflateFrom(QIODevice &source, qint64 size, quint32 &crc)
{
    std::unique_ptr<z_stream, DeflateEnd> stream(new z_stream{});
    if (deflateInit(stream.get(), FLevel) != Z_OK)
        throw Exception(QStringLiteral("Cannot set up the compressor"));
    QByteArray in(static_cast<qsizetype>(std::min(kBlock, std::max<qint64>(size, 1))), Qt::Uninitialized);
    QByteArray out(kBlock, Qt::Uninitialized);
    qint64 left = size;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (stream->avail_in == 0 && left > 0) {
            const qint64 got = source.read(in.data(), std::min<qint64>(left, in.size()));
            if (got <= 0)
                throw Exception(QStringLiteral("Cannot read the content to compress"));
            crc = zlb::crc32(crc, in.constData(), got);
            stream->next_in = reinterpret_cast<Bytef *>(in.data());
            stream->avail_in = static_cast<uInt>(got);
            left -= got;
        }
        stream->next_out = reinterpret_cast<Bytef *>(out.data());
        stream->avail_out = static_cast<uInt>(out.size());
        rc = deflate(stream.get(), left > 0 ? Z_NO_FLUSH : Z_FINISH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
            throw Exception(QStringLiteral("Compression failed"));
        const qint64 produced = out.size() - static_cast<qint64>(stream->avail_out);
        put(out.constData(), produced);
    }
}

void ZLBWriter::put(const char *data, qint64 length)
{
    if (FPosition + length > kMaxPosition)
        throw Exception(QStringLiteral("Archive larger than 2 GiB: %1").arg(FPath));
    if (FFile->write(data, length) != length)
        throw Exception(QStringLiteral("Cannot write archive %1: %2").arg(FPath, FFile->errorString()));
    FArchiveCrc = zlb::crc32(FArchiveCrc, data, length);
    FPosition += length;
}

void ZLBWriter::finish()
{
    if (FFinished)
        return;
    QByteArray registry(FEntries.size() * zlb::kEntrySize, Qt::Uninitialized);
    for (qsizetype i = 0; i < FEntries.size(); ++i)
        std::memcpy(registry.data() + i * zlb::kEntrySize, &FEntries[i], zlb::kEntrySize);

    zlb::TZLBTrailer trailer{};
    trailer.FileCount = static_cast<int32_t>(FEntries.size());
    trailer.RegistryOffset = static_cast<int32_t>(FPosition);
    trailer.RegistryCompressed = FCompressRegistry ? 1 : 0;
    if (FCompressRegistry) {
        QBuffer source(&registry);
        source.open(QIODevice::ReadOnly);
        quint32 ignored = 0;
        deflateFrom(source, registry.size(), ignored);
    } else {
        put(registry.constData(), registry.size());
    }
    trailer.ArchiveCRC = FArchiveCrc;
    put(reinterpret_cast<const char *>(&trailer), zlb::kTrailerSize);
    if (!FFile->commit())
        throw Exception(QStringLiteral("Cannot write archive %1: %2").arg(FPath, FFile->errorString()));
    FFinished = true;
}

} // namespace klv
