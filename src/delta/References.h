#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

// Program code refers to other code by distance: a call, a jump, an operand relative to the
// instruction. When a release inserts code, every such distance across the insertion changes,
// although the instructions did not, and a patch would have to carry them all. Here each
// distance is replaced by the address it points at, and the new file's addresses are translated
// to where the same code lies in the earlier file. Unchanged code then reads the same in both
// files and the patch carries only what really changed. The conversion is exact and reversible
// for any bytes, code or not: what is not recognised as a reference, or does not look like one
// (a distance of 16 MB or more), stays as it is.
namespace klv::delta {

// Addresses are taken modulo this; files converted are no larger.
constexpr uint32_t kAddressSpace = uint32_t(1) << 25;

// Bytes of the new file at newStart equal to bytes of the earlier file at oldStart.
struct Span
{
    uint32_t newStart = 0;
    uint32_t oldStart = 0;
    uint32_t length = 0;
};

// A one-to-one map of [0, kAddressSpace) onto itself: each span's addresses go to their place in
// the earlier file, every other address to the same rank among the addresses no span covers.
class AddressMap
{
public:
    AddressMap() = default; // every address to itself

    // nullopt when spans are empty (of length 0), overlap on either side, or reach past
    // kAddressSpace. No spans at all make the identity.
    static std::optional<AddressMap> fromSpans(std::vector<Span> spans);

    uint32_t toEarlier(uint32_t address) const;
    uint32_t toNew(uint32_t address) const;
    const std::vector<Span> &spans() const { return byNew_; }

private:
    // The spans sorted by one side, with the count of addresses they cover before each.
    struct Side
    {
        std::vector<uint32_t> start;
        std::vector<uint32_t> otherStart;
        std::vector<uint32_t> length;
        std::vector<uint64_t> coveredBefore{0}; // before each span, and all of them at the end
    };
    static uint32_t map(uint32_t address, const Side &from, const Side &to);

    std::vector<Span> byNew_;
    Side new_;
    Side old_;
};

// Unwinding records are converted only in a file of one segment, and each record whole: a longer one
// ends the conversion of its region.
constexpr uint32_t kLongestUnwindRecord = 16 * 1024;

// A stretch of a program file, where it lies in memory and what it holds.
struct Region
{
    enum Kind : uint32_t
    {
        Code = 0,          // instructions: their relative operands are references
        AddressTable = 1,  // 4-byte addresses relative to the image's base, aligned
        Pointers = 2,      // 8-byte addresses (the image's base added), aligned, among other data
        UnwindIndex = 3,   // 4-byte distances from the region's start, aligned: the index of UnwindRecords
        UnwindRecords = 4, // how to unwind each function: its start and its handler table as distances
        Symbols = 5,       // 24-byte ELF symbols: names as distances from `address`, values as addresses
        Names = 6,         // what symbols name: nothing converted, but given an address to be mapped
    };
    uint32_t fileOffset = 0;
    uint32_t size = 0;
    uint32_t address = 0; // relative to the image's base
    Kind kind = Code;
    bool loaded = true; // whether it has an address; the maker's side only, not in a patch
};

// How a program file lies in memory. Bytes in no region are left as they are.
struct Layout
{
    uint64_t imageBase = 0;
    std::vector<Region> regions; // in the order of the file, apart

    // The whole file as code at addresses equal to its offsets.
    static Layout flat(uint32_t size);
    // Regions in order and apart, of known kinds, code at addresses below kAddressSpace.
    bool valid() const;
    // Whether a region is of a kind that a patch of format version 2 does not know.
    bool beyondVersion2() const;
    // Whether a region holds unwinding records, which are converted record by record.
    bool hasRecords() const;
};

enum class Convert
{
    ToAddresses,   // distances to (translated) addresses: before compressing
    FromAddresses, // back: after decompressing
    Mask           // references to zero: for comparing files
};

// Converts the references in data[0, size), which are the bytes at `position` of the file laid out
// as `layout` says. Unless `atEnd`, the last few bytes may start a reference that continues past
// `size`: they are left for the next call, and the count of bytes that are done is returned (the
// caller passes the rest again, followed by more). With `atEnd` all is done and size returned.
qsizetype convertReferences(char *data, qsizetype size, int64_t position, bool atEnd, const Layout &layout,
                            const AddressMap &map, Convert way);

// Where the code of `target` lies in `earlier`, both with their references masked: spans of equal
// bytes, one-to-one on both sides. The maker's side; may use a few times the files' size.
std::vector<Span> findSpans(const QByteArray &earlier, const QByteArray &target);

// The same spans as addresses, where both of their sides are loaded; still one-to-one.
std::vector<Span> spansInMemory(const std::vector<Span> &spans, const Layout &earlier, const Layout &target);

// Spans that pair the import slots of an ELF program (global offset table, procedure linkage table)
// by the name they stand for. Such slots read alike for every import, so matching their bytes pairs
// them wrongly once a release adds an import, and every call through them would then differ.
std::vector<Span> importSpans(const QByteArray &earlier, const QByteArray &target);

// Spans that pair the functions and data objects an ELF file's symbol table names once in each
// file, from their start on for the shorter one's size. A changed function's start is found so
// even where no stretch of it is left alike.
std::vector<Span> symbolSpans(const QByteArray &earlier, const QByteArray &target);

// Spans that pair the loaded sections of two ELF files by name, from their start on for the shorter
// one's size: where nothing better is known, an address keeps its distance from its section's start.
std::vector<Span> sectionSpans(const QByteArray &earlier, const QByteArray &target);

// `first` with the parts of `rest` that touch none of its addresses on either side; one-to-one.
std::vector<Span> preferring(std::vector<Span> first, const std::vector<Span> &rest);

// The spans of the address map from `target` to `earlier`, both read from their headers as
// `earlierLayout` and `targetLayout` say: import slots and then symbols paired by name, then
// stretches of equal bytes with the references masked, then sections by name; one-to-one. The
// maker's side; the files are taken to be masked in place.
std::vector<Span> mapSpans(QByteArray earlier, QByteArray target, const Layout &earlierLayout,
                           const Layout &targetLayout);

// The layout of a program or library: its sections for a 64-bit x86 PE or ELF file, the whole file
// as code for another file that starts as PE or ELF does, nullopt for anything else.
std::optional<Layout> programLayout(const QByteArray &file);

} // namespace klv::delta
