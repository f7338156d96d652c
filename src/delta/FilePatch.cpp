#include "FilePatch.h"

#include "References.h"
#include "platform/Sha256.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <QBuffer>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

namespace klv::delta {

namespace {

constexpr char kMagic[8] = {'K', 'L', 'V', 'P', 'A', 'T', 'C', 'H'};
// Version 1 has no reference conversion; version 2 adds its flag and the address map after the
// header; version 3 is written where the layouts hold regions of the kinds added since (unwinding
// records, symbols), which an updater that knows version 2 refuses. All three are applied.
constexpr uint32_t kVersion = 2;
constexpr uint32_t kVersion3 = 3;
constexpr qsizetype kHeaderSize = 8 + 4 + 8 + 8 + 4;
constexpr qsizetype kReferencesHeaderSize = 4 + 4;
constexpr uint32_t kConvertsReferences = 1;
constexpr qsizetype kSpanSize = 12;
constexpr qsizetype kMaxSpans = 1 << 18;
constexpr qsizetype kRegionSize = 16;
constexpr uint32_t kMaxRegions = 4096;
constexpr size_t kMaxTable = 2 * (12 + kMaxRegions * kRegionSize) + kMaxSpans * kSpanSize;
constexpr qsizetype kSegmentHeaderSize = 8 + 4 + 4 + 4;
// Frames may not ask for a window above 128 MB; a segment's prefix and result need far less.
constexpr int kWindowLogMax = 27;
constexpr size_t kChunk = 128 * 1024;
constexpr int kWindowLogMin = 10;
// The longest frame header zstd writes; the content size is read from it.
constexpr uint32_t kFrameHeaderMax = 18;

const QString kDamaged = QStringLiteral("de patch is beschadigd");
const QString kOtherBase = QStringLiteral("de patch hoort bij een ander bestand");
const QString kOtherLength = QStringLiteral("de patch maakt een bestand van %1 bytes, de lijst noemt %2");
const QString kTooLarge = QStringLiteral("het bestand is groter dan %1 bytes en wordt niet met een patch bijgewerkt");
const QString kNoMemory = QStringLiteral("te weinig geheugen om de patch toe te passen");

struct CCtxFree
{
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree
{
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

// Takes what is written and keeps nothing.
class Discard : public QIODevice
{
public:
    Discard() { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 length) override { return length; }
};

int64_t segmentCount(int64_t length)
{
    return (length + kSegment - 1) / kSegment;
}

// The stretch of the base a segment of the new file refers to: the whole base when it is small
// enough, else kMaxPrefix bytes around the segment's place scaled to the base's length, where a
// file that grew or shrank a little has the same code.
std::pair<int64_t, int64_t> prefixFor(int64_t baseLength, int64_t targetLength, int64_t start, int64_t length)
{
    if (baseLength <= kMaxPrefix)
        return {0, baseLength};
    const int64_t centre = targetLength == 0 ? 0 : start * baseLength / targetLength + length / 2;
    const int64_t from = std::clamp<int64_t>(centre - kMaxPrefix / 2, 0, baseLength - kMaxPrefix);
    return {from, kMaxPrefix};
}

void readRange(QIODevice &device, int64_t offset, int64_t length, QByteArray &into, const QString &what)
{
    into.resize(qsizetype(length));
    if (!device.seek(offset))
        throw EInOutError(QStringLiteral("%1 kan niet worden gelezen: %2").arg(what, device.errorString()));
    qsizetype done = 0;
    while (done < into.size()) {
        const qint64 got = device.read(into.data() + done, into.size() - done);
        if (got <= 0)
            throw EInOutError(QStringLiteral("%1 kan niet worden gelezen: %2").arg(what, device.errorString()));
        done += qsizetype(got);
    }
}

void writeAll(QIODevice &device, const char *data, int64_t length, const QString &what)
{
    if (device.write(data, length) != length)
        throw EInOutError(QStringLiteral("%1 kan niet worden geschreven: %2").arg(what, device.errorString()));
}

template <typename T> void put(QByteArray &out, T value)
{
    std::array<char, sizeof(T)> bytes{};
    qToLittleEndian(value, bytes.data());
    out.append(bytes.data(), qsizetype(bytes.size()));
}

template <typename T> T take(const QByteArray &bytes, qsizetype &at)
{
    const T value = qFromLittleEndian<T>(bytes.constData() + at);
    at += qsizetype(sizeof(T));
    return value;
}

// Reads from the patch: short reads are a cut or damaged patch.
QByteArray readPatch(QIODevice &patch, qsizetype length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    qsizetype done = 0;
    while (done < length) {
        const qint64 got = patch.read(bytes.data() + done, length - done);
        if (got <= 0)
            throw EPatchError(kDamaged);
        done += qsizetype(got);
    }
    return bytes;
}

int windowLogFor(int64_t bytes)
{
    int log = kWindowLogMin;
    while (log < kWindowLogMax && (int64_t(1) << log) < bytes)
        ++log;
    return log;
}

void check(size_t code)
{
    if (!ZSTD_isError(code))
        return;
    if (ZSTD_getErrorCode(code) == ZSTD_error_memory_allocation)
        throw EPatchError(kNoMemory);
    throw EPatchError(kDamaged);
}

// What converting references needs: how each file lies in memory and the map between them.
struct Conversion
{
    Layout earlier;
    Layout target;
    AddressMap map;
};

void putLayout(QByteArray &out, const Layout &layout)
{
    put<uint64_t>(out, layout.imageBase);
    put<uint32_t>(out, uint32_t(layout.regions.size()));
    for (const Region &r : layout.regions) {
        put<uint32_t>(out, r.fileOffset);
        put<uint32_t>(out, r.size);
        put<uint32_t>(out, r.address);
        put<uint32_t>(out, r.kind);
    }
}

Layout takeLayout(const QByteArray &plain, qsizetype &at)
{
    if (plain.size() - at < 12)
        throw EPatchError(kDamaged);
    Layout layout;
    layout.imageBase = take<uint64_t>(plain, at);
    const uint32_t count = take<uint32_t>(plain, at);
    if (count > kMaxRegions || plain.size() - at < qsizetype(count) * kRegionSize)
        throw EPatchError(kDamaged);
    for (uint32_t i = 0; i < count; ++i) {
        Region r;
        r.fileOffset = take<uint32_t>(plain, at);
        r.size = take<uint32_t>(plain, at);
        r.address = take<uint32_t>(plain, at);
        r.kind = Region::Kind(take<uint32_t>(plain, at));
        layout.regions.push_back(r);
    }
    if (!layout.valid())
        throw EPatchError(kDamaged);
    return layout;
}

// The conversion as the patch carries it: both layouts, then per span of the map the gap since the
// previous span's end in the new file, the distance to its place in the earlier file, and its
// length; compressed, with zstd's checksum so that a damaged table is refused.
QByteArray conversionTable(const Layout &earlier, const Layout &target, const std::vector<Span> &spans)
{
    QByteArray plain;
    putLayout(plain, earlier);
    putLayout(plain, target);
    uint32_t end = 0;
    for (const Span &s : spans) {
        put<uint32_t>(plain, s.newStart - end);
        put<uint32_t>(plain, s.oldStart - s.newStart);
        put<uint32_t>(plain, s.length);
        end = s.newStart + s.length;
    }
    const std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx)
        throw EPatchError(kNoMemory);
    check(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, 19));
    check(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1));
    QByteArray table(qsizetype(ZSTD_compressBound(size_t(plain.size()))), Qt::Uninitialized);
    const size_t written =
        ZSTD_compress2(cctx.get(), table.data(), size_t(table.size()), plain.constData(), size_t(plain.size()));
    check(written);
    table.resize(qsizetype(written));
    return table;
}

Conversion readConversion(QIODevice &patch, uint32_t tableLength)
{
    if (tableLength > ZSTD_compressBound(kMaxTable))
        throw EPatchError(kDamaged);
    const QByteArray table = readPatch(patch, qsizetype(tableLength));
    const unsigned long long plainLength = ZSTD_getFrameContentSize(table.constData(), size_t(table.size()));
    if (plainLength > kMaxTable)
        throw EPatchError(kDamaged); // also an unknown or unreadable size
    QByteArray plain(qsizetype(plainLength), Qt::Uninitialized);
    const size_t made = ZSTD_decompress(plain.data(), size_t(plain.size()), table.constData(), size_t(table.size()));
    check(made);
    if (made != plainLength)
        throw EPatchError(kDamaged);
    Conversion conversion;
    qsizetype at = 0;
    conversion.earlier = takeLayout(plain, at);
    conversion.target = takeLayout(plain, at);
    if ((plain.size() - at) % kSpanSize != 0 || (plain.size() - at) / kSpanSize > kMaxSpans)
        throw EPatchError(kDamaged);
    std::vector<Span> spans;
    uint64_t end = 0;
    while (at < plain.size()) {
        const uint32_t gap = take<uint32_t>(plain, at);
        const uint32_t distance = take<uint32_t>(plain, at);
        const uint32_t length = take<uint32_t>(plain, at);
        const uint64_t start = end + gap;
        if (start >= kAddressSpace)
            throw EPatchError(kDamaged);
        spans.push_back({uint32_t(start), uint32_t(start) + distance, length});
        end = start + length;
    }
    std::optional<AddressMap> map = AddressMap::fromSpans(std::move(spans));
    if (!map)
        throw EPatchError(kDamaged);
    conversion.map = std::move(*map);
    return conversion;
}

QByteArray readAll(QIODevice &device, int64_t length, const QString &what)
{
    QByteArray bytes;
    readRange(device, 0, length, bytes, what);
    return bytes;
}

} // namespace

namespace {

// The conversion of two program files small enough to be read whole (the base is then each
// segment's whole prefix), and the table that carries it; nullopt for other files.
std::optional<std::pair<Conversion, QByteArray>> conversionFor(QIODevice &base, QIODevice &target)
{
    if (base.size() > kMaxPrefix || target.size() > kAddressSpace)
        return std::nullopt;
    QByteArray earlier = readAll(base, base.size(), QStringLiteral("Het oude bestand"));
    QByteArray later = readAll(target, target.size(), QStringLiteral("Het nieuwe bestand"));
    std::optional<Layout> earlierLayout = programLayout(earlier);
    std::optional<Layout> laterLayout = programLayout(later);
    if (!earlierLayout || !laterLayout)
        return std::nullopt;
    if (later.size() > kSegment) { // unwinding records are read whole, so in one segment only
        for (Layout *layout : {&*earlierLayout, &*laterLayout})
            for (Region &r : layout->regions)
                if (r.kind == Region::UnwindRecords)
                    r.kind = Region::Pointers;
    }
    const std::vector<Span> spans = mapSpans(std::move(earlier), std::move(later), *earlierLayout, *laterLayout);
    std::optional<AddressMap> map = AddressMap::fromSpans(spans);
    if (!map)
        return std::nullopt; // not to be had from spans that are one-to-one and in range
    return std::pair{Conversion{*earlierLayout, *laterLayout, std::move(*map)},
                     conversionTable(*earlierLayout, *laterLayout, spans)};
}

void writePatch(QIODevice &base, QIODevice &target, QIODevice &patch, const MakeOptions &options,
                const std::optional<std::pair<Conversion, QByteArray>> &conversion)
{
    const int64_t baseLength = base.size();
    const int64_t targetLength = target.size();
    const std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx)
        throw EPatchError(kNoMemory);
    const bool converts = conversion.has_value();
    const QByteArray table = converts ? conversion->second : QByteArray();

    QByteArray header(kMagic, sizeof kMagic);
    put<uint32_t>(header,
                  converts && (conversion->first.earlier.beyondVersion2() || conversion->first.target.beyondVersion2())
                      ? kVersion3
                      : kVersion);
    put<uint64_t>(header, uint64_t(baseLength));
    put<uint64_t>(header, uint64_t(targetLength));
    put<uint32_t>(header, uint32_t(segmentCount(targetLength)));
    put<uint32_t>(header, converts ? kConvertsReferences : 0);
    put<uint32_t>(header, uint32_t(table.size()));
    header.append(table);
    writeAll(patch, header.constData(), header.size(), QStringLiteral("De patch"));

    QByteArray prefix;
    QByteArray frame;
    for (int64_t start = 0; start < targetLength; start += kSegment) {
        const int64_t length = std::min(kSegment, targetLength - start);
        const auto [prefixOffset, prefixLength] = prefixFor(baseLength, targetLength, start, length);
        readRange(base, prefixOffset, prefixLength, prefix, QStringLiteral("Het oude bestand"));
        QByteArray segment;
        readRange(target, start, length, segment, QStringLiteral("Het nieuwe bestand"));
        if (converts) {
            convertReferences(prefix.data(), prefix.size(), prefixOffset, true, conversion->first.earlier, AddressMap(),
                              Convert::ToAddresses);
            convertReferences(segment.data(), segment.size(), start, true, conversion->first.target,
                              conversion->first.map, Convert::ToAddresses);
        }

        ZSTD_CCtx *c = cctx.get();
        check(ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters));
        check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, options.level));
        check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1));
        check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1));
        // The window reaches over the whole prefix, which comes before the segment's own bytes.
        check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLogFor(prefixLength + length)));
        if (options.longDistance)
            check(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1));
        check(ZSTD_CCtx_refPrefix(c, prefix.constData(), size_t(prefix.size())));
        frame.resize(qsizetype(ZSTD_compressBound(size_t(length))));
        const size_t written =
            ZSTD_compress2(c, frame.data(), size_t(frame.size()), segment.constData(), size_t(segment.size()));
        check(written);

        QByteArray head;
        put<uint64_t>(head, uint64_t(prefixOffset));
        put<uint32_t>(head, uint32_t(prefixLength));
        put<uint32_t>(head, uint32_t(length));
        put<uint32_t>(head, uint32_t(written));
        writeAll(patch, head.constData(), head.size(), QStringLiteral("De patch"));
        writeAll(patch, frame.constData(), int64_t(written), QStringLiteral("De patch"));
    }
}

} // namespace

void makePatch(QIODevice &base, QIODevice &target, QIODevice &patch, const MakeOptions &options)
{
    if (base.size() > kMaxFileSize || target.size() > kMaxFileSize)
        throw EPatchError(kTooLarge.arg(kMaxFileSize));
    const auto conversion = options.references ? conversionFor(base, target) : std::nullopt;
    if (!conversion)
        return writePatch(base, target, patch, options, std::nullopt);
    // Converting costs applying a little time and the patch its table, and gains nothing where
    // no code moved (a changed version resource): the smaller patch is written.
    QBuffer converted;
    QBuffer plain;
    converted.open(QIODevice::WriteOnly);
    plain.open(QIODevice::WriteOnly);
    writePatch(base, target, converted, options, conversion);
    writePatch(base, target, plain, options, std::nullopt);
    const QByteArray &smaller = converted.size() < plain.size() ? converted.data() : plain.data();
    writeAll(patch, smaller.constData(), smaller.size(), QStringLiteral("De patch"));
}

Applied applyPatch(QIODevice &base, QIODevice &patch, QIODevice &result, int64_t expectedLength)
{
    try {
        const QByteArray header = readPatch(patch, kHeaderSize);
        if (!header.startsWith(QByteArrayView(kMagic, sizeof kMagic)))
            throw EPatchError(kDamaged);
        qsizetype at = sizeof kMagic;
        const uint32_t version = take<uint32_t>(header, at);
        const uint64_t baseLength = take<uint64_t>(header, at);
        const uint64_t resultLength = take<uint64_t>(header, at);
        const uint32_t segments = take<uint32_t>(header, at);
        if (version != 1 && version != kVersion && version != kVersion3)
            throw EPatchError(kDamaged);
        if (baseLength != uint64_t(base.size()))
            throw EPatchError(kOtherBase);
        if (resultLength != uint64_t(expectedLength))
            throw EPatchError(kOtherLength.arg(resultLength).arg(expectedLength));
        if (expectedLength < 0 || expectedLength > kMaxFileSize)
            throw EPatchError(kTooLarge.arg(kMaxFileSize));
        if (segments != uint64_t(segmentCount(expectedLength)))
            throw EPatchError(kDamaged);

        bool converts = false;
        Conversion conversion;
        if (version >= 2) {
            const QByteArray head = readPatch(patch, kReferencesHeaderSize);
            qsizetype c = 0;
            const uint32_t flags = take<uint32_t>(head, c);
            const uint32_t tableLength = take<uint32_t>(head, c);
            if (flags != 0 && flags != kConvertsReferences)
                throw EPatchError(kDamaged);
            converts = flags == kConvertsReferences;
            if (converts)
                conversion = readConversion(patch, tableLength);
            else if (tableLength != 0)
                throw EPatchError(kDamaged);
            const bool newKinds = conversion.earlier.beyondVersion2() || conversion.target.beyondVersion2();
            if (newKinds != (version == kVersion3) || (conversion.target.hasRecords() && expectedLength > kSegment))
                throw EPatchError(kDamaged);
        }

        const std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
        if (!dctx)
            throw EPatchError(kNoMemory);
        Sha256 hasher;
        QByteArray prefix;
        QByteArray input;
        QByteArray output(qsizetype(kChunk), Qt::Uninitialized);
        int64_t made = 0;
        for (uint32_t s = 0; s < segments; ++s) {
            const QByteArray head = readPatch(patch, kSegmentHeaderSize);
            qsizetype h = 0;
            const uint64_t prefixOffset = take<uint64_t>(head, h);
            const uint32_t prefixLength = take<uint32_t>(head, h);
            const uint32_t length = take<uint32_t>(head, h);
            const uint32_t frameLength = take<uint32_t>(head, h);
            if (prefixLength > kMaxPrefix || prefixOffset > baseLength || prefixLength > baseLength - prefixOffset ||
                int64_t(length) != std::min(kSegment, expectedLength - made) || frameLength == 0 ||
                frameLength > ZSTD_compressBound(size_t(kSegment)))
                throw EPatchError(kDamaged);
            readRange(base, int64_t(prefixOffset), prefixLength, prefix, QStringLiteral("Het oude bestand"));
            if (converts)
                convertReferences(prefix.data(), prefix.size(), int64_t(prefixOffset), true, conversion.earlier,
                                  AddressMap(), Convert::ToAddresses);

            ZSTD_DCtx *d = dctx.get();
            check(ZSTD_DCtx_reset(d, ZSTD_reset_session_and_parameters));
            check(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, kWindowLogMax));
            check(ZSTD_DCtx_refPrefix(d, prefix.constData(), size_t(prefix.size())));

            // The frame must say how much it makes: that bounds the decoder's buffer to the
            // segment instead of the window a hostile frame may ask for.
            input = readPatch(patch, qsizetype(std::min<uint32_t>(frameLength, kFrameHeaderMax)));
            if (ZSTD_getFrameContentSize(input.constData(), size_t(input.size())) != length)
                throw EPatchError(kDamaged);
            uint32_t left = frameLength - uint32_t(input.size());
            int64_t segmentMade = 0;
            size_t remaining = 1; // what the decoder still expects of the frame; 0 once it is whole
            // Bytes at the start of output not yet converted back: a reference may go on in the
            // next output.
            qsizetype held = 0;
            for (;;) {
                ZSTD_inBuffer in{input.constData(), size_t(input.size()), 0};
                while (in.pos < in.size || remaining != 0) {
                    ZSTD_outBuffer out{output.data() + held, size_t(output.size() - held), 0};
                    remaining = ZSTD_decompressStream(d, &out, &in);
                    check(remaining);
                    segmentMade += int64_t(out.pos);
                    if (segmentMade > int64_t(length))
                        throw EPatchError(kDamaged);
                    const qsizetype ready = held + qsizetype(out.pos);
                    qsizetype done = ready;
                    if (converts)
                        done = convertReferences(output.data(), ready, made + segmentMade - ready,
                                                 segmentMade == int64_t(length), conversion.target, conversion.map,
                                                 Convert::FromAddresses);
                    hasher.add(output.constData(), size_t(done));
                    writeAll(result, output.constData(), int64_t(done), QStringLiteral("Het bijgewerkte bestand"));
                    held = ready - done;
                    std::memmove(output.data(), output.constData() + done, size_t(held));
                    if (remaining == 0 && in.pos < in.size)
                        throw EPatchError(kDamaged); // bytes after the frame's end
                    if (in.pos == in.size && out.pos < out.size)
                        break; // the decoder wants more input
                }
                if (remaining == 0) {
                    if (left != 0)
                        throw EPatchError(kDamaged); // the frame ends before its length says
                    break;
                }
                if (left == 0)
                    throw EPatchError(kDamaged); // the frame ends before the decoder is done
                input = readPatch(patch, qsizetype(std::min<uint32_t>(left, kChunk)));
                left -= uint32_t(input.size());
            }
            if (segmentMade != int64_t(length))
                throw EPatchError(kDamaged);
            made += segmentMade;
        }
        char extra = 0;
        if (patch.read(&extra, 1) > 0)
            throw EPatchError(kDamaged);
        return {made, hasher.result()};
    } catch (const std::bad_alloc &) {
        throw EPatchError(kNoMemory);
    }
}

Applied checkPatch(QIODevice &base, QIODevice &patch, int64_t expectedLength)
{
    Discard made;
    return applyPatch(base, patch, made, expectedLength);
}

} // namespace klv::delta
