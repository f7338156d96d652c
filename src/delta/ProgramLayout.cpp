// The sections of 64-bit x86 program files, read from their headers: where each lies in memory
// and whether it holds code, a table of addresses or data with pointers; and, in ELF files, the
// places that imports, symbols and sections name, which pair the addresses of two files.
#include "References.h"

#include <QtEndian>

#include <cstring>
#include <map>

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
constexpr uint32_t kElfStrings = 3;
constexpr uint32_t kElfRelocations = 4; // with addends
constexpr uint32_t kElfDynamicSymbols = 11;
constexpr uint8_t kElfObject = 1;
constexpr uint8_t kElfFunction = 2;
constexpr uint32_t kJumpSlot = 7;
constexpr uint64_t kPltEntry = 16;
constexpr uint64_t kSlot = 8;

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

// Places in memory (address, length) by name.
using Places = std::map<QByteArray, std::pair<uint64_t, uint64_t>>;

// Places whose name comes once only: a name given twice could be either place.
class PlacesNamedOnce
{
public:
    void add(const QByteArray &name, uint64_t address, uint64_t length)
    {
        if (seen_[name]++ == 0)
            places_.emplace(name, std::pair{address, length});
    }
    Places take()
    {
        for (const auto &[name, count] : seen_)
            if (count > 1)
                places_.erase(name);
        return std::move(places_);
    }

private:
    Places places_;
    std::map<QByteArray, int> seen_;
};

struct ElfSection
{
    QByteArray name;
    uint32_t nameAt = 0;
    uint32_t type = 0;
    uint64_t flags = 0;
    uint64_t address = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t link = 0;
};

// The zero-ended text at `at` in a string table; empty where it does not fit.
QByteArray textAt(const QByteArray &file, const ElfSection &strings, uint64_t at)
{
    if (at >= strings.size || !Reader(file).has(strings.offset, strings.size))
        return {};
    const char *start = file.constData() + strings.offset + at;
    const void *end = std::memchr(start, 0, size_t(strings.size - at));
    return end ? QByteArray(start, static_cast<const char *>(end) - start) : QByteArray();
}

// The section headers of a 64-bit little-endian x86 ELF file, with their names; empty for anything
// else.
std::vector<ElfSection> elfSections(const QByteArray &file)
{
    const Reader r(file);
    if (!file.startsWith("\x7f"
                         "ELF") ||
        r.at<uint8_t>(4) != 2 || r.at<uint8_t>(5) != 1 || r.at<uint16_t>(18) != kElfAmd64 || r.at<uint16_t>(0x3a) < 64)
        return {};
    const uint64_t table = r.at<uint64_t>(0x28);
    const uint16_t entrySize = r.at<uint16_t>(0x3a);
    const uint16_t count = r.at<uint16_t>(0x3c);
    std::vector<ElfSection> sections;
    for (uint16_t i = 0; i < count; ++i) {
        const uint64_t header = table + uint64_t(i) * entrySize;
        if (!r.has(header, 64))
            return {};
        sections.push_back({{},
                            r.at<uint32_t>(header),
                            r.at<uint32_t>(header + 4),
                            r.at<uint64_t>(header + 8),
                            r.at<uint64_t>(header + 16),
                            r.at<uint64_t>(header + 24),
                            r.at<uint64_t>(header + 32),
                            r.at<uint32_t>(header + 40)});
    }
    const uint16_t namesAt = r.at<uint16_t>(0x3e);
    if (namesAt < sections.size()) {
        const ElfSection &names = sections[namesAt];
        for (ElfSection &s : sections)
            s.name = textAt(file, names, s.nameAt);
    }
    return sections;
}

const ElfSection *sectionNamed(const std::vector<ElfSection> &sections, QByteArrayView name)
{
    for (const ElfSection &s : sections)
        if (s.name == name)
            return &s;
    return nullptr;
}

// The addresses in an ELF file that stand for an imported name: each relocated slot of the global
// offset table and each entry of the procedure linkage table, under a key of the symbol's name,
// the kind of use and its count so far (a name may be imported more than once).
Places elfImports(const QByteArray &file)
{
    const std::vector<ElfSection> sections = elfSections(file);
    const Reader r(file);
    Places imports;
    std::map<QByteArray, int> seen;
    const auto add = [&](const QByteArray &key, uint64_t address, uint64_t length) {
        imports.emplace(key + '#' + QByteArray::number(seen[key]++), std::pair{address, length});
    };
    const ElfSection *plt = sectionNamed(sections, ".plt");
    const ElfSection *pltSec = sectionNamed(sections, ".plt.sec");
    for (const ElfSection &rela : sections) {
        if (rela.type != kElfRelocations || rela.link >= sections.size() || !r.has(rela.offset, rela.size))
            continue;
        const ElfSection &symbols = sections[rela.link];
        if (symbols.type != kElfDynamicSymbols || symbols.link >= sections.size())
            continue;
        const ElfSection &names = sections[symbols.link];
        const bool jumpSlots = rela.name == ".rela.plt";
        for (uint64_t k = 0; k < rela.size / 24; ++k) {
            const uint64_t entry = rela.offset + 24 * k;
            const uint64_t slot = r.at<uint64_t>(entry);
            const uint64_t info = r.at<uint64_t>(entry + 8);
            const uint64_t symbol = info >> 32;
            if (symbol == 0 || (symbol + 1) * 24 > symbols.size)
                continue;
            const QByteArray name = textAt(file, names, r.at<uint32_t>(symbols.offset + 24 * symbol));
            if (name.isEmpty())
                continue;
            const QByteArray key = name + '@' + QByteArray::number(uint32_t(info));
            add(key + "/slot", slot, kSlot);
            if (!jumpSlots || uint32_t(info) != kJumpSlot)
                continue;
            // The lazy entry pushes the relocation's index; it is taken only where it does.
            if (plt && (k + 2) * kPltEntry <= plt->size && r.has(plt->offset + (k + 1) * kPltEntry, kPltEntry)) {
                const QByteArray stub = file.mid(qsizetype(plt->offset + (k + 1) * kPltEntry), kPltEntry);
                char push[5] = {'\x68'};
                qToLittleEndian(uint32_t(k), push + 1);
                if (stub.contains(QByteArrayView(push, sizeof push))) {
                    add(key + "/plt", plt->address + (k + 1) * kPltEntry, kPltEntry);
                    if (pltSec && (k + 1) * kPltEntry <= pltSec->size)
                        add(key + "/plt.sec", pltSec->address + k * kPltEntry, kPltEntry);
                }
            }
        }
    }
    return imports;
}

// Whether a section is unwinding records up to its end, each no longer than kLongestUnwindRecord,
// with at most a record of length 0 as the last: only then does converting them a part at a time
// come to the same as converting them whole.
bool wholeRecords(const QByteArray &file, const ElfSection &section)
{
    const Reader r(file);
    for (uint64_t at = 0; at < section.size;) {
        if (section.size - at < 4)
            return false;
        const uint32_t length = r.at<uint32_t>(section.offset + at);
        if (length == 0)
            return section.size - at == 4;
        if (length > kLongestUnwindRecord || section.size - at - 4 < length)
            return false;
        at += 4 + uint64_t(length);
    }
    return true;
}

std::optional<Layout> elfLayout(const QByteArray &file)
{
    const std::vector<ElfSection> sections = elfSections(file);
    if (sections.empty())
        return std::nullopt;
    const Reader r(file);
    const auto fits = [&r](const ElfSection &s) {
        return s.size > 0 && r.has(s.offset, s.size) && s.address <= kAddressSpace &&
               s.size <= kAddressSpace - s.address;
    };
    // Names that are not loaded get an address behind the image, so that the map follows them.
    uint64_t free = 0;
    for (const ElfSection &s : sections)
        if (s.flags & kElfAlloc && s.address < kAddressSpace)
            free = std::max(free, std::min<uint64_t>(s.address + s.size, kAddressSpace));
    free = (free + 0xfff) & ~uint64_t(0xfff);

    Layout layout;
    // Where the names of a symbol table lie in memory: where they are loaded, else behind the image
    // as a region of their own; nullopt where they are not a string table or find no room.
    const auto placeNames = [&](const ElfSection &names) -> std::optional<uint32_t> {
        if (names.type != kElfStrings || !fits(names))
            return std::nullopt;
        if (names.flags & kElfAlloc)
            return uint32_t(names.address);
        if (free > kAddressSpace || names.size > kAddressSpace - free)
            return std::nullopt;
        const uint32_t at = uint32_t(free);
        free += (names.size + 0xfff) & ~uint64_t(0xfff);
        layout.regions.push_back({uint32_t(names.offset), uint32_t(names.size), at, Region::Names, true});
        return at;
    };
    std::vector<bool> named(sections.size());
    for (const ElfSection &s : sections) {
        const bool loaded = s.flags & kElfAlloc;
        const bool symbols = s.type == kElfSymbols || s.type == kElfDynamicSymbols;
        if (s.type == kElfNoBits || !fits(s) || (!loaded && !symbols))
            continue;
        Region region{uint32_t(s.offset), uint32_t(s.size), uint32_t(s.address), Region::Pointers, loaded};
        if (s.flags & kElfExecute)
            region.kind = Region::Code;
        else if (loaded && s.name == ".eh_frame_hdr")
            region.kind = Region::UnwindIndex;
        else if (loaded && s.name == ".eh_frame" && wholeRecords(file, s))
            region.kind = Region::UnwindRecords;
        if (symbols && s.link < sections.size() && !named[s.link]) {
            if (const std::optional<uint32_t> namesAt = placeNames(sections[s.link])) {
                named[s.link] = true;
                // The symbols' own place in memory is not needed, their names' is.
                region = {uint32_t(s.offset), uint32_t(s.size), *namesAt, Region::Symbols, false};
            }
        }
        layout.regions.push_back(region);
    }
    return layout;
}

// The functions and data objects of an ELF file's symbol table whose name it holds once: where
// each lies in memory and its size.
Places elfSymbols(const QByteArray &file)
{
    const std::vector<ElfSection> sections = elfSections(file);
    const Reader r(file);
    PlacesNamedOnce symbols;
    for (const ElfSection &table : sections) {
        if (table.type != kElfSymbols || table.link >= sections.size() || !r.has(table.offset, table.size))
            continue;
        const ElfSection &names = sections[table.link];
        for (uint64_t entry = table.offset; entry + 24 <= table.offset + table.size; entry += 24) {
            const uint8_t type = r.at<uint8_t>(entry + 4) & 0xf;
            const uint64_t address = r.at<uint64_t>(entry + 8);
            const uint64_t size = r.at<uint64_t>(entry + 16);
            if ((type != kElfFunction && type != kElfObject) || address == 0 || size == 0)
                continue;
            const QByteArray name = textAt(file, names, r.at<uint32_t>(entry));
            if (!name.isEmpty())
                symbols.add(name, address, size);
        }
    }
    return symbols.take();
}

// Spans of equal length between entries of two maps that share a key.
std::vector<Span> pairedSpans(const Places &earlier, const Places &target, bool sameLength)
{
    std::vector<Span> spans;
    for (const auto &[key, at] : target) {
        const auto found = earlier.find(key);
        if (found == earlier.end() || (sameLength && found->second.second != at.second))
            continue;
        const uint64_t length = std::min(at.second, found->second.second);
        if (length > kAddressSpace || at.first > kAddressSpace - length || found->second.first > kAddressSpace - length)
            continue;
        spans.push_back({uint32_t(at.first), uint32_t(found->second.first), uint32_t(length)});
    }
    return spans;
}

// The loaded sections of an ELF file by name, with where they lie in memory and their size.
Places elfLoadedSections(const QByteArray &file)
{
    PlacesNamedOnce loaded;
    for (const ElfSection &s : elfSections(file))
        if ((s.flags & kElfAlloc) && s.size > 0 && !s.name.isEmpty())
            loaded.add(s.name, s.address, s.size);
    return loaded.take();
}

} // namespace

std::vector<Span> sectionSpans(const QByteArray &earlier, const QByteArray &target)
{
    return pairedSpans(elfLoadedSections(earlier), elfLoadedSections(target), false);
}

std::vector<Span> symbolSpans(const QByteArray &earlier, const QByteArray &target)
{
    return pairedSpans(elfSymbols(earlier), elfSymbols(target), false);
}

std::vector<Span> importSpans(const QByteArray &earlier, const QByteArray &target)
{
    return pairedSpans(elfImports(earlier), elfImports(target), true);
}

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
    std::optional<Layout> layout = pe ? peLayout(reader) : elfLayout(file);
    if (layout) {
        std::sort(layout->regions.begin(), layout->regions.end(),
                  [](const Region &a, const Region &b) { return a.fileOffset < b.fileOffset; });
        if (!layout->valid())
            layout.reset();
    }
    return layout ? layout : Layout::flat(uint32_t(file.size()));
}

} // namespace klv::delta
