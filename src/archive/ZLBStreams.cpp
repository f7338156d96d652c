#include "ZLBStreams.h"

#include "platform/Exceptions.h"

#include <QIODevice>
#include <algorithm>
#include <zlib.h>

namespace klv::zlb {

namespace {
constexpr qsizetype kInputBlock = 256 * 1024;
constexpr qsizetype kMaxPiece = 1 << 30; // zlib counts in 32 bits
} // namespace

void Inflater::StreamEnd::operator()(z_stream_s *stream) const
{
    inflateEnd(stream);
    delete stream;
}

Inflater::Inflater(QIODevice &source, qint64 offset) : FSource(source), FInput(kInputBlock, Qt::Uninitialized)
{
    if (offset < 0 || offset > source.size() || !source.seek(offset))
        throw Exception(QStringLiteral("Stream outside the archive"));
    auto stream = std::make_unique<z_stream>();
    if (inflateInit(stream.get()) != Z_OK)
        throw Exception(QStringLiteral("Cannot set up the inflater"));
    FStream.reset(stream.release());
}

Inflater::~Inflater() = default;

qsizetype Inflater::read(char *out, qsizetype length)
{
    z_stream &zs = *FStream;
    qsizetype done = 0;
    while (done < length && !FEnded) {
        if (zs.avail_in == 0 && !FSourceEmpty) {
            const qint64 got = FSource.read(FInput.data(), FInput.size());
            if (got < 0)
                throw Exception(QStringLiteral("Read error: %1").arg(FSource.errorString()));
            FSourceEmpty = got == 0;
            zs.next_in = reinterpret_cast<Bytef *>(FInput.data());
            zs.avail_in = static_cast<uInt>(got);
        }
        const qsizetype want = std::min(length - done, kMaxPiece);
        zs.next_out = reinterpret_cast<Bytef *>(out + done);
        zs.avail_out = static_cast<uInt>(want);
        const int rc = ::inflate(&zs, Z_NO_FLUSH);
        done += want - static_cast<qsizetype>(zs.avail_out);
        if (rc == Z_STREAM_END)
            FEnded = true;
        else if (rc == Z_BUF_ERROR && FSourceEmpty)
            throw Exception(QStringLiteral("Compressed stream cut short"));
        else if (rc != Z_OK && rc != Z_BUF_ERROR)
            throw Exception(QStringLiteral("Compressed stream damaged"));
    }
    return done;
}

EntryReader::EntryReader(QIODevice &archive, const TZLBFileEntry &entry)
    : FArchive(archive), FRemaining(std::max<qint64>(entry.Size, 0))
{
    // An empty entry needs no data, wherever its position points.
    if (FRemaining == 0)
        return;
    const qint64 offset = entry.Offset;
    if (entry.Stored != 0) {
        if (offset < 0 || offset + FRemaining > archive.size() || !archive.seek(offset))
            throw Exception(QStringLiteral("Stored data outside the archive"));
    } else {
        FInflater = std::make_unique<Inflater>(archive, offset);
    }
}

EntryReader::~EntryReader() = default;

void EntryReader::read(char *out, qsizetype length)
{
    Q_ASSERT(length >= 0 && length <= FRemaining);
    qsizetype got = 0;
    if (FInflater) {
        got = FInflater->read(out, length);
    } else {
        while (got < length) {
            const qint64 piece = FArchive.read(out + got, length - got);
            if (piece <= 0)
                break;
            got += piece;
        }
    }
    if (got != length)
        throw Exception(QStringLiteral("Content ends before its size"));
    FRemaining -= length;
}

} // namespace klv::zlb
