// Applies patches whose conversion table is hostile: the table arrives in a valid frame with its
// checksum, as a damaged patch from the server would not, so that the layouts and the address map
// are what is fuzzed. Stops the run when a patch is accepted that did not make exactly the length
// asked for, or when more is written.
//
// Input: u16 little-endian n, n bytes of base; u16 t, t bytes of the table's content; the rest is
// the patch after its table (the segments). The result length is the base's length plus 16.

#include "ApplyChecked.h"

#include <QtEndian>
#include <zstd.h>

namespace {

template <typename T> void put(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, qsizetype(sizeof(T)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t at = 0;
    const auto take = [&](size_t wanted) {
        const size_t n = std::min(wanted, size - at);
        QByteArray bytes(reinterpret_cast<const char *>(data + at), qsizetype(n));
        at += n;
        return bytes;
    };
    const auto length = [&]() -> size_t {
        return size - at >= 2 ? qFromLittleEndian<quint16>(take(2).constData()) : 0;
    };
    const QByteArray base = take(length());
    const QByteArray content = take(length());
    const QByteArray segments = take(size - at);

    QByteArray table(qsizetype(ZSTD_compressBound(size_t(content.size()))), Qt::Uninitialized);
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    const size_t written =
        ZSTD_compress2(c, table.data(), size_t(table.size()), content.constData(), size_t(content.size()));
    ZSTD_freeCCtx(c);
    klv::fuzz::require(!ZSTD_isError(written), "the table could not be compressed");
    table.resize(qsizetype(written));

    const qint64 expected = base.size() + 16;
    for (const quint32 version : {2, 3}) { // 3 where the layouts hold unwinding records
        QByteArray patch("KLVPATCH");
        put<quint32>(patch, version);
        put<quint64>(patch, quint64(base.size()));
        put<quint64>(patch, quint64(expected));
        put<quint32>(patch, 1); // one segment
        put<quint32>(patch, 1); // references converted
        put<quint32>(patch, quint32(table.size()));
        patch += table + segments;
        klv::fuzz::applyChecked(base, patch, expected);
    }
    return 0;
}
