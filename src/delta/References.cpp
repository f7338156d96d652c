#include "References.h"

#include <QtEndian>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

namespace klv::delta {

namespace {

constexpr uint32_t kAddressMask = kAddressSpace - 1;
// The longest reference recognised: a REX prefix, a two-byte opcode, ModRM and a 4-byte operand.
constexpr qsizetype kLongest = 8;

// Where an instruction at b[0] (after any prefix) has a 4-byte operand relative to the instruction
// pointer, the offset of that operand; else 0. These are the instructions whose ModRM byte is 05,
// 0D, ... 3D: moves, loads of addresses, arithmetic and comparisons between a register or an
// immediate and memory, and moves and arithmetic of floating point. An immediate after the operand
// is left out of the distance: the conversion only needs to be the same in both files.
qsizetype relativeOperand(const uchar *b, qsizetype left)
{
    static constexpr uchar kOneByte[] = {0x01, 0x03, 0x09, 0x0B, 0x21, 0x23, 0x29, 0x2B, 0x31, 0x33, 0x38,
                                         0x39, 0x3A, 0x3B, 0x63, 0x80, 0x81, 0x83, 0x84, 0x85, 0x87, 0x88,
                                         0x89, 0x8A, 0x8B, 0x8D, 0xC6, 0xC7, 0xF6, 0xF7, 0xFE};
    static constexpr uchar kTwoByte[] = {0x10, 0x11, 0x28, 0x29, 0x2A, 0x2E, 0x2F, 0x54, 0x57, 0x58, 0x59, 0x5A,
                                         0x5C, 0x5E, 0x6E, 0x6F, 0x7E, 0x7F, 0xB6, 0xB7, 0xBE, 0xBF, 0xD6};
    const auto in = [](const auto &table, uchar opcode) {
        return std::find(std::begin(table), std::end(table), opcode) != std::end(table);
    };
    if (left >= 7 && b[0] == 0x0F && (b[2] & 0xC7) == 0x05 && in(kTwoByte, b[1]))
        return 3;
    if (left >= 6 && (b[1] & 0xC7) == 0x05) {
        if (b[0] == 0xFF) // call, jmp, push [rip+d]
            return b[1] == 0x15 || b[1] == 0x25 || b[1] == 0x35 ? 2 : 0;
        return in(kOneByte, b[0]) ? 2 : 0;
    }
    return 0;
}

// Calls visit(offset) for the 4-byte operand of each reference from the start of data on, and
// returns where the scan stopped: the whole of data when atEnd, else before the first position
// that needs bytes past the end to be judged. Only opcode bytes are read to decide, never an
// operand, so that converted and unconverted bytes are scanned alike.
#if defined(__SSE2__) || defined(_M_X64)
// How many of the 16 positions from b on the scan below surely passes: no call, jump or 0F opcode
// there, and no ModRM byte of an instruction-relative operand in the three bytes after. Reads 19
// bytes. Most bytes of code are passed so, 16 at a time where there is nothing.
int nothingAt(const uchar *b)
{
    const auto load = [b](int at) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + at)); };
    const __m128i modrmMask = _mm_set1_epi8(char(0xC7));
    const __m128i relative = _mm_set1_epi8(0x05);
    const auto operandAt = [&](int at) { return _mm_cmpeq_epi8(_mm_and_si128(load(at), modrmMask), relative); };
    const __m128i opcode = load(0);
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(opcode, _mm_set1_epi8(char(0xE8))),
                                                                _mm_cmpeq_epi8(opcode, _mm_set1_epi8(char(0xE9)))),
                                                   _mm_cmpeq_epi8(opcode, _mm_set1_epi8(0x0F))),
                                      _mm_or_si128(operandAt(1), _mm_or_si128(operandAt(2), operandAt(3))));
    const unsigned found = unsigned(_mm_movemask_epi8(hits));
    return found == 0 ? 16 : std::countr_zero(found);
}
#else
int nothingAt(const uchar *)
{
    return 0;
}
#endif

template <typename Visit> qsizetype scan(const uchar *b, qsizetype size, bool atEnd, Visit visit)
{
    qsizetype i = 0;
    while (i < size) {
        if (size - i >= 16 + kLongest) { // also past where the scan may stop short of the end
            if (const int passed = nothingAt(b + i)) {
                i += passed;
                continue;
            }
        }
        if (!atEnd && size - i < kLongest)
            break;
        const qsizetype left = size - i;
        const uchar c = b[i];
        if ((c == 0xE8 || c == 0xE9) && left >= 5) { // call, jmp
            visit(i + 1);
            i += 5;
            continue;
        }
        if (c == 0x0F && left >= 6 && (b[i + 1] & 0xF0) == 0x80) { // conditional jumps
            visit(i + 2);
            i += 6;
            continue;
        }
        const qsizetype op = (c & 0xF0) == 0x40 ? i + 1 : i; // after a REX prefix
        if (const qsizetype operand = relativeOperand(b + op, size - op)) {
            visit(op + operand);
            i = op + operand + 4;
            continue;
        }
        ++i;
    }
    return i;
}

// Only distances under 16 MB either way are taken for references; such values are those whose top
// byte is 00 or FF, a set that the conversion maps onto itself.
bool looksNear(uint32_t value)
{
    const uint32_t top = value >> 24;
    return top == 0 || top == 0xFF;
}

uint32_t signExtended(uint32_t value)
{
    return (value & (kAddressSpace >> 1)) ? (value | ~kAddressMask) : value;
}

} // namespace

Layout Layout::flat(uint32_t size)
{
    Layout layout;
    if (size > 0)
        layout.regions.push_back({0, size, 0, Region::Code, true});
    return layout;
}

bool Layout::valid() const
{
    uint64_t end = 0;
    for (const Region &r : regions) {
        if (r.fileOffset < end || r.size == 0 || r.kind > Region::Names ||
            (r.kind != Region::Pointers && r.kind != Region::AddressTable && r.kind != Region::Symbols &&
             uint64_t(r.address) + r.size > kAddressSpace))
            return false;
        end = uint64_t(r.fileOffset) + r.size;
    }
    return true;
}

bool Layout::beyondVersion2() const
{
    return std::any_of(regions.begin(), regions.end(), [](const Region &r) { return r.kind >= Region::UnwindIndex; });
}

bool Layout::hasRecords() const
{
    return std::any_of(regions.begin(), regions.end(), [](const Region &r) { return r.kind == Region::UnwindRecords; });
}

namespace {

// One stretch of a region: its references converted the way asked, as far as the bytes given
// allow. Returns the count of bytes done, from data's start.
class RegionConverter
{
public:
    RegionConverter(const Layout &layout, const AddressMap &map, Convert way) : layout_(layout), map_(map), way_(way) {}

    qsizetype convert(uchar *b, qsizetype size, int64_t position, bool atEnd, const Region &region) const
    {
        switch (region.kind) {
        case Region::Code:
            return scan(b, size, atEnd, [&](qsizetype at) {
                reference(b + at, region.address + uint32_t(position - region.fileOffset + at + 4));
            });
        case Region::AddressTable:
            return words(b, size, position, atEnd, region, 4);
        case Region::Pointers:
            return words(b, size, position, atEnd, region, 8);
        case Region::UnwindIndex:
            return distances(b, size, position, atEnd, region);
        case Region::UnwindRecords:
            return records(b, size, position, atEnd, region);
        case Region::Symbols:
            return symbols(b, size, position, atEnd, region);
        case Region::Names:
            return size;
        }
        return size;
    }

private:
    uint32_t translate(uint32_t address) const
    {
        return way_ == Convert::FromAddresses ? map_.toNew(address) : map_.toEarlier(address);
    }

    // A distance from the end of its operand, at `end` in memory.
    void reference(uchar *operand, uint32_t end) const
    {
        const uint32_t value = qFromLittleEndian<uint32_t>(operand);
        if (looksNear(value))
            qToLittleEndian(way_ == Convert::Mask ? 0 : converted(value, end, way_), operand);
    }

    // A near distance from `end` as the (translated) address it reaches, or back.
    uint32_t converted(uint32_t value, uint32_t end, Convert way) const
    {
        end &= kAddressMask;
        const uint32_t done = way == Convert::ToAddresses ? map(way, (value + end) & kAddressMask)
                                                          : (map(way, value & kAddressMask) - end) & kAddressMask;
        return signExtended(done);
    }

    uint32_t map(Convert way, uint32_t address) const
    {
        return way == Convert::FromAddresses ? map_.toNew(address) : map_.toEarlier(address);
    }

    // The distance back from a function's unwinding record to its common record, at `field` in
    // memory: converted as a reference to there, but 0 marks a common record and must stay what
    // it is. So the one distance that would become 0 takes what 0 would have become.
    void backReference(uchar *operand, uint32_t field) const
    {
        const uint32_t forward = 0u - qFromLittleEndian<uint32_t>(operand);
        if (forward == 0 || !looksNear(forward))
            return;
        uint32_t done = 0;
        if (way_ == Convert::Mask)
            done = 1;
        else if (way_ == Convert::ToAddresses) {
            done = converted(forward, field, way_);
            if (done == 0)
                done = converted(0, field, way_);
        } else
            done = forward == converted(0, field, Convert::ToAddresses) ? converted(0, field, way_)
                                                                        : converted(forward, field, way_);
        qToLittleEndian(0u - done, operand);
    }

    // Aligned addresses of `width` bytes; a value that is not in the image is left as it is.
    qsizetype words(uchar *b, qsizetype size, int64_t position, bool atEnd, const Region &region, int width) const
    {
        const int64_t intoRegion = position - region.fileOffset;
        qsizetype at = qsizetype((width - intoRegion % width) % width); // the first aligned word
        for (; at + width <= size; at += width) {
            const uint64_t value =
                width == 4 ? qFromLittleEndian<uint32_t>(b + at) : qFromLittleEndian<uint64_t>(b + at);
            const uint64_t base = width == 4 ? 0 : layout_.imageBase;
            if (value < base || value - base >= kAddressSpace)
                continue;
            const uint64_t converted = way_ == Convert::Mask ? 0 : base + translate(uint32_t(value - base));
            if (width == 4)
                qToLittleEndian(uint32_t(converted), b + at);
            else
                qToLittleEndian(converted, b + at);
        }
        return atEnd ? size : std::min(at, size);
    }

    // Aligned 4-byte distances from the region's start.
    qsizetype distances(uchar *b, qsizetype size, int64_t position, bool atEnd, const Region &region) const
    {
        const int64_t intoRegion = position - region.fileOffset;
        qsizetype at = qsizetype((4 - intoRegion % 4) % 4);
        for (; at + 4 <= size; at += 4)
            reference(b + at, region.address);
        return atEnd ? size : std::min(at, size);
    }

    // Symbols of 24 bytes from the region's start: a 4-byte name, as a distance from the names at
    // the region's address; 4 bytes of kind, visibility and section; an 8-byte value, an address
    // where it is in the image; an 8-byte size, left as it is.
    qsizetype symbols(uchar *b, qsizetype size, int64_t position, bool atEnd, const Region &region) const
    {
        constexpr qsizetype kSymbol = 24;
        const int64_t intoRegion = position - region.fileOffset;
        qsizetype at = qsizetype((kSymbol - intoRegion % kSymbol) % kSymbol); // the first whole symbol
        for (; at + kSymbol <= size; at += kSymbol) {
            reference(b + at, region.address);
            const uint64_t value = qFromLittleEndian<uint64_t>(b + at + 8);
            if (value < kAddressSpace)
                qToLittleEndian<uint64_t>(way_ == Convert::Mask ? 0 : translate(uint32_t(value)), b + at + 8);
        }
        return atEnd ? size : std::min(at, size);
    }

    // Unwinding records, each a 4-byte length and then, in a record for a function, the distance
    // back to its common record, the function's start and size and the length of the extra data: 4 for
    // a distance to the function's handler table. Both distances are from where they stand. The
    // data starts at a record: the region's start, or where the last call left a record for the
    // next one. A record of length 0 ends the region, as one longer than kLongestUnwindRecord does.
    qsizetype records(uchar *b, qsizetype size, int64_t position, bool atEnd, const Region &region) const
    {
        const uint32_t address = region.address + uint32_t(position - region.fileOffset);
        qsizetype at = 0;
        while (size - at >= 4) {
            const uint32_t length = qFromLittleEndian<uint32_t>(b + at);
            if (length == 0 || length > kLongestUnwindRecord)
                return size;
            if (size - at - 4 < qsizetype(length))
                return atEnd ? size : at;
            if (length >= 8 && qFromLittleEndian<uint32_t>(b + at + 4) != 0) {
                backReference(b + at + 4, address + uint32_t(at + 4));
                reference(b + at + 8, address + uint32_t(at + 8));
                if (length >= 17 && b[at + 16] == 4)
                    reference(b + at + 17, address + uint32_t(at + 17));
            }
            at += 4 + qsizetype(length);
        }
        return atEnd ? size : at;
    }

    const Layout &layout_;
    const AddressMap &map_;
    Convert way_;
};

} // namespace

qsizetype convertReferences(char *data, qsizetype size, int64_t position, bool atEnd, const Layout &layout,
                            const AddressMap &map, Convert way)
{
    const RegionConverter converter(layout, map, way);
    uchar *b = reinterpret_cast<uchar *>(data);
    const auto &regions = layout.regions;
    // The first region that ends after the data's start.
    auto region = std::upper_bound(regions.begin(), regions.end(), position,
                                   [](int64_t at, const Region &r) { return at < int64_t(r.fileOffset) + r.size; });
    qsizetype at = 0;
    for (; region != regions.end() && at < size; ++region) {
        const int64_t start = std::max<int64_t>(region->fileOffset, position + at);
        if (start >= position + size)
            break;
        const int64_t end = int64_t(region->fileOffset) + region->size;
        at = qsizetype(start - position);
        const qsizetype stretch = qsizetype(std::min<int64_t>(end, position + size) - start);
        // Where the region ends within the data, its end is the end of this stretch.
        const bool stretchAtEnd = atEnd || end <= position + size;
        const qsizetype done = converter.convert(b + at, stretch, start, stretchAtEnd, *region);
        if (done < stretch)
            return at + done;
        at += stretch;
    }
    return size;
}

} // namespace klv::delta
