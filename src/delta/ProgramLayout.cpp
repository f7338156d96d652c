// The sections of 64-bit x86 program files, read from their headers: where each lies in memory
// and whether it holds code, a table of addresses or data with pointers.
#include "References.h"

#include <QtEndian>

namespace klv::delta {

namespace {

constexpr uint16_t kPeAmd64 = 0x8664;
constexpr uint16_t kPe32Plus = 0x20b;
constexpr uint32_t kPeCode = 0x20;
constexpr uint32_t kPeExecute = 0x20000000;
constexpr uint16_t kElfAmd64 = 62;
constexpr uint32_t kElfNoBits = 8;
constexpr uint64_t kElfAlloc = 0x2;
constexpr uint64_t kElfExecute = 0x4;
constexpr uint32_t kElfSymbols = 2;

// Reads little-endian integers, answering 0 past the end: a header that does not fit yields
// regions that do not fit, which are then refused.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : bytes_(bytes) {}
    template <typename T> T at(uint64_t offset) const
    {
        if (offset > uint64_t(bytes_.size()) || uint64_t(bytes_.size()) - offset < sizeof(T))
            return 0;
        return qFromLittleEndian<T>(bytes_.constData() + offset);
    }
    bool has(uint64_t offset, uint64_t length) const
    {
        return offset <= uint64_t(bytes_.size()) && uint64_t(bytes_.size()) - offset >= length;
    }

private:
    const QByteArray &bytes_;
};

std::optional<Layout> peLayout(const Reader &r)
{
    const uint32_t pe = r.at<uint32_t>(0x3c);
    if (r.at<uint32_t>(pe) != 0x00004550 || r.at<uint16_t>(pe + 4) != kPeAmd64)
        return std::nullopt;
    const uint16_t sections = r.at<uint16_t>(pe + 6);
    const uint16_t optionalSize = r.at<uint16_t>(pe + 20);
    const uint64_t optional = pe + 24;
    if (r.at<uint16_t>(optional) != kPe32Plus)
        return std::nullopt;
    Layout layout;
    layout.imageBase = r.at<uint64_t>(optional + 24);
    for (uint16_t i = 0; i < sections; ++i) {
        const uint64_t header = optional + optionalSize + 40 * uint64_t(i);
        if (!r.has(header, 40))
            return std::nullopt;
        const uint64_t name = r.at<uint64_t>(header);
        const uint32_t virtualSize = r.at<uint32_t>(header + 8);
        const uint32_t address = r.at<uint32_t>(header + 12);
        const uint32_t rawSize = r.at<uint32_t>(header + 16);
        const uint32_t rawOffset = r.at<uint32_t>(header + 20);
        const uint32_t characteristics = r.at<uint32_t>(header + 36);
        const uint32_t size = virtualSize == 0 ? rawSize : std::min(rawSize, virtualSize);
        if (size == 0 || !r.has(rawOffset, size))
            continue;
        Region region{rawOffset, size, address, Region::Pointers, true};
        if (characteristics & (kPeCode | kPeExecute))
            region.kind = Region::Code;
        else if (name == qFromLittleEndian<uint64_t>(".pdata\0\0"))
            region.kind = Region::AddressTable; // the functions' start, end and unwinding
        layout.regions.push_back(region);
    }
    return layout;
}

std::optional<Layout> elfLayout(const Reader &r)
{
    if (r.at<uint8_t>(4) != 2 || r.at<uint8_t>(5) != 1 || r.at<uint16_t>(18) != kElfAmd64)
        return std::nullopt; // not 64-bit little-endian x86
    const uint64_t table = r.at<uint64_t>(0x28);
    const uint16_t entrySize = r.at<uint16_t>(0x3a);
    const uint16_t count = r.at<uint16_t>(0x3c);
    if (entrySize < 64)
        return std::nullopt;
    Layout layout;
    for (uint16_t i = 0; i < count; ++i) {
        const uint64_t header = table + uint64_t(i) * entrySize;
        if (!r.has(header, 64))
            return std::nullopt;
        const uint32_t type = r.at<uint32_t>(header + 4);
        const uint64_t flags = r.at<uint64_t>(header + 8);
        const uint64_t address = r.at<uint64_t>(header + 16);
        const uint64_t offset = r.at<uint64_t>(header + 24);
        const uint64_t size = r.at<uint64_t>(header + 32);
        const bool loaded = flags & kElfAlloc;
        if (type == kElfNoBits || size == 0 || !r.has(offset, size) || (!loaded && type != kElfSymbols) ||
            address + size > kAddressSpace)
            continue;
        const Region::Kind kind = flags & kElfExecute ? Region::Code : Region::Pointers;
        layout.regions.push_back({uint32_t(offset), uint32_t(size), uint32_t(address), kind, loaded});
    }
    return layout;
}

} // namespace

std::optional<Layout> programLayout(const QByteArray &file)
{
    if (file.size() > qsizetype(kAddressSpace))
        return std::nullopt;
    const bool pe = file.startsWith("MZ");
    const bool elf = file.startsWith("\x7f"
                                     "ELF");
    if (!pe && !elf)
        return std::nullopt;
    const Reader reader(file);
    std::optional<Layout> layout = pe ? peLayout(reader) : elfLayout(reader);
    if (layout) {
        std::sort(layout->regions.begin(), layout->regions.end(),
                  [](const Region &a, const Region &b) { return a.fileOffset < b.fileOffset; });
        if (!layout->valid())
            layout.reset();
    }
    return layout ? layout : Layout::flat(uint32_t(file.size()));
}

} // namespace klv::delta
