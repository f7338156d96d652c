// Where the code of one file lies in another: the spans of equal bytes found by content and by
// name, kept one-to-one, and the address map they make.
#include "References.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace klv::delta {

namespace {

constexpr uint32_t kAddressMask = kAddressSpace - 1;
// Matching: windows of this many bytes are compared, one in kSampling indexed, and a span is
// kept from this length on.
constexpr qsizetype kWindow = 64;
constexpr uint64_t kSampling = 8;
constexpr qsizetype kMinSpan = 128;
constexpr uint64_t kHashBase = 0x100000001b3ULL;

class RollingHash
{
public:
    explicit RollingHash(const uchar *start)
    {
        for (qsizetype i = 0; i < kWindow; ++i) {
            hash_ = hash_ * kHashBase + start[i];
            outFactor_ = i == 0 ? 1 : outFactor_ * kHashBase;
        }
    }
    void roll(uchar out, uchar in) { hash_ = (hash_ - out * outFactor_) * kHashBase + in; }
    uint64_t value() const { return hash_; }
    bool sampled() const { return ((hash_ * 0x9E3779B97F4A7C15ULL) >> 61) % kSampling == 0; }

private:
    uint64_t hash_ = 0;
    uint64_t outFactor_ = 1;
};

// Keeps the spans one-to-one: where two spans cover the same earlier bytes, the later one loses
// them, and so on the new side; then spans that continue each other on both sides are joined.
std::vector<Span> oneToOne(std::vector<Span> spans)
{
    std::sort(spans.begin(), spans.end(), [](const Span &a, const Span &b) { return a.oldStart < b.oldStart; });
    std::vector<Span> kept;
    uint32_t covered = 0;
    for (Span s : spans) {
        if (s.oldStart < covered) {
            const uint32_t overlap = covered - s.oldStart;
            if (overlap >= s.length)
                continue;
            s.newStart += overlap;
            s.oldStart += overlap;
            s.length -= overlap;
        }
        kept.push_back(s);
        covered = s.oldStart + s.length;
    }
    std::sort(kept.begin(), kept.end(), [](const Span &a, const Span &b) { return a.newStart < b.newStart; });
    std::vector<Span> joined;
    for (Span s : kept) {
        const uint64_t newCovered = joined.empty() ? 0 : uint64_t(joined.back().newStart) + joined.back().length;
        if (s.newStart < newCovered) { // the same on the new side
            const uint64_t overlap = newCovered - s.newStart;
            if (overlap >= s.length)
                continue;
            s.newStart += uint32_t(overlap);
            s.oldStart += uint32_t(overlap);
            s.length -= uint32_t(overlap);
        }
        if (!joined.empty() && joined.back().newStart + joined.back().length == s.newStart &&
            joined.back().oldStart + joined.back().length == s.oldStart)
            joined.back().length += s.length;
        else
            joined.push_back(s);
    }
    return joined;
}

} // namespace

std::optional<AddressMap> AddressMap::fromSpans(std::vector<Span> spans)
{
    AddressMap map;
    const auto build = [](std::vector<Span> sorted, bool byNew, Side &side) {
        std::sort(sorted.begin(), sorted.end(), [byNew](const Span &a, const Span &b) {
            return byNew ? a.newStart < b.newStart : a.oldStart < b.oldStart;
        });
        uint64_t end = 0;
        for (const Span &s : sorted) {
            const uint32_t start = byNew ? s.newStart : s.oldStart;
            if (s.length == 0 || start < end || uint64_t(start) + s.length > kAddressSpace)
                return false;
            end = uint64_t(start) + s.length;
            side.start.push_back(start);
            side.otherStart.push_back(byNew ? s.oldStart : s.newStart);
            side.length.push_back(s.length);
            side.coveredBefore.push_back(side.coveredBefore.back() + s.length);
        }
        return true;
    };
    if (!build(spans, true, map.new_) || !build(spans, false, map.old_))
        return std::nullopt;
    std::sort(spans.begin(), spans.end(), [](const Span &a, const Span &b) { return a.newStart < b.newStart; });
    map.byNew_ = std::move(spans);
    return map;
}

uint32_t AddressMap::map(uint32_t address, const Side &from, const Side &to)
{
    const size_t before = size_t(std::upper_bound(from.start.begin(), from.start.end(), address) - from.start.begin());
    if (before > 0 && address - from.start[before - 1] < from.length[before - 1])
        return from.otherStart[before - 1] + (address - from.start[before - 1]);
    // The address's rank among those no span covers, and the address of that rank on the other side.
    const uint64_t rank = address - from.coveredBefore[before];
    size_t lo = 0;
    size_t hi = to.start.size();
    while (lo < hi) { // the count of spans with no more uncovered addresses before them than rank
        const size_t mid = (lo + hi) / 2;
        if (to.start[mid] - to.coveredBefore[mid] <= rank)
            lo = mid + 1;
        else
            hi = mid;
    }
    return uint32_t(rank + to.coveredBefore[lo]);
}

uint32_t AddressMap::toEarlier(uint32_t address) const
{
    return map(address & kAddressMask, new_, old_);
}

uint32_t AddressMap::toNew(uint32_t address) const
{
    return map(address & kAddressMask, old_, new_);
}

std::vector<Span> findSpans(const QByteArray &earlier, const QByteArray &target)
{
    if (earlier.size() < kWindow || target.size() < kWindow || earlier.size() > qsizetype(kAddressSpace) ||
        target.size() > qsizetype(kAddressSpace))
        return {};
    const uchar *o = reinterpret_cast<const uchar *>(earlier.constData());
    const uchar *n = reinterpret_cast<const uchar *>(target.constData());
    const qsizetype oldSize = earlier.size();
    const qsizetype newSize = target.size();

    // The first place of each sampled window of the earlier file.
    std::vector<std::pair<uint64_t, uint32_t>> index;
    index.reserve(size_t(oldSize / qsizetype(kSampling)) + 16);
    RollingHash oldHash(o);
    for (qsizetype p = 0;; ++p) {
        if (oldHash.sampled())
            index.emplace_back(oldHash.value(), uint32_t(p));
        if (p + kWindow >= oldSize)
            break;
        oldHash.roll(o[p], o[p + kWindow]);
    }
    std::stable_sort(index.begin(), index.end(), [](const auto &a, const auto &b) { return a.first < b.first; });

    std::vector<Span> spans;
    qsizetype covered = 0; // the new file's bytes before this are in a span already
    qsizetype q = 0;
    RollingHash newHash(n);
    while (q + kWindow <= newSize) {
        bool jumped = false;
        if (newHash.sampled()) {
            const auto hit = std::lower_bound(index.begin(), index.end(), std::make_pair(newHash.value(), uint32_t(0)));
            if (hit != index.end() && hit->first == newHash.value() &&
                std::memcmp(o + hit->second, n + q, kWindow) == 0) {
                qsizetype from = q;
                qsizetype oldFrom = hit->second;
                while (from > covered && oldFrom > 0 && n[from - 1] == o[oldFrom - 1]) {
                    --from;
                    --oldFrom;
                }
                qsizetype to = q + kWindow;
                qsizetype oldTo = hit->second + kWindow;
                while (to < newSize && oldTo < oldSize && n[to] == o[oldTo]) {
                    ++to;
                    ++oldTo;
                }
                if (to - from >= kMinSpan) {
                    spans.push_back({uint32_t(from), uint32_t(oldFrom), uint32_t(to - from)});
                    covered = to;
                    q = to;
                    jumped = true;
                }
            }
        }
        if (jumped) {
            if (q + kWindow > newSize)
                break;
            newHash = RollingHash(n + q);
            continue;
        }
        if (q + kWindow >= newSize)
            break;
        newHash.roll(n[q], n[q + kWindow]);
        ++q;
    }
    return oneToOne(std::move(spans));
}

namespace {

// The pieces of each span whose addresses on one side lie in none of `taken`'s (sorted, apart).
std::vector<Span> cutAway(const std::vector<Span> &spans, const std::vector<std::pair<uint32_t, uint32_t>> &taken,
                          bool newSide)
{
    std::vector<Span> pieces;
    for (const Span &s : spans) {
        const uint32_t start = newSide ? s.newStart : s.oldStart;
        const uint64_t end = uint64_t(start) + s.length;
        uint64_t from = start;
        auto hole = std::upper_bound(taken.begin(), taken.end(), std::pair{start, UINT32_MAX});
        if (hole != taken.begin() && uint64_t(std::prev(hole)->second) > start)
            --hole;
        for (; from < end; ++hole) {
            const uint64_t to = hole == taken.end() ? end : std::min<uint64_t>(hole->first, end);
            if (to > from)
                pieces.push_back({uint32_t(s.newStart + (from - start)), uint32_t(s.oldStart + (from - start)),
                                  uint32_t(to - from)});
            if (hole == taken.end())
                break;
            from = std::max<uint64_t>(from, hole->second);
        }
    }
    return pieces;
}

} // namespace

std::vector<Span> preferring(std::vector<Span> first, const std::vector<Span> &rest)
{
    first = oneToOne(std::move(first));
    std::vector<std::pair<uint32_t, uint32_t>> onNew;
    std::vector<std::pair<uint32_t, uint32_t>> onOld;
    for (const Span &s : first) {
        onNew.emplace_back(s.newStart, s.newStart + s.length);
        onOld.emplace_back(s.oldStart, s.oldStart + s.length);
    }
    std::sort(onOld.begin(), onOld.end());
    std::vector<Span> spans = cutAway(cutAway(rest, onNew, true), onOld, false);
    spans.insert(spans.end(), first.begin(), first.end());
    return oneToOne(std::move(spans));
}

std::vector<Span> mapSpans(QByteArray earlier, QByteArray target, const Layout &earlierLayout,
                           const Layout &targetLayout)
{
    const std::vector<Span> imports = importSpans(earlier, target);
    const std::vector<Span> symbols = symbolSpans(earlier, target);
    const std::vector<Span> sections = sectionSpans(earlier, target);
    convertReferences(earlier.data(), earlier.size(), 0, true, earlierLayout, AddressMap(), Convert::Mask);
    convertReferences(target.data(), target.size(), 0, true, targetLayout, AddressMap(), Convert::Mask);
    const std::vector<Span> alike = spansInMemory(findSpans(earlier, target), earlierLayout, targetLayout);
    return preferring(imports, preferring(symbols, preferring(alike, sections)));
}

std::vector<Span> spansInMemory(const std::vector<Span> &spans, const Layout &earlier, const Layout &target)
{
    // The loaded region holding a file offset, if any.
    const auto regionAt = [](const Layout &layout, uint64_t offset) -> const Region * {
        for (const Region &r : layout.regions)
            if (r.loaded && offset >= r.fileOffset && offset - r.fileOffset < r.size)
                return &r;
        return nullptr;
    };
    const auto nextRegion = [](const Layout &layout, uint64_t offset) {
        uint64_t next = UINT64_MAX;
        for (const Region &r : layout.regions)
            if (r.loaded && r.fileOffset > offset)
                next = std::min<uint64_t>(next, r.fileOffset);
        return next;
    };
    std::vector<Span> inMemory;
    for (const Span &s : spans) {
        uint64_t n = s.newStart;
        uint64_t o = s.oldStart;
        const uint64_t end = uint64_t(s.newStart) + s.length;
        while (n < end) {
            const Region *rn = regionAt(target, n);
            const Region *ro = regionAt(earlier, o);
            uint64_t piece = end - n;
            if (rn)
                piece = std::min<uint64_t>(piece, rn->fileOffset + uint64_t(rn->size) - n);
            if (ro)
                piece = std::min<uint64_t>(piece, ro->fileOffset + uint64_t(ro->size) - o);
            if (rn && ro) {
                const uint64_t from = rn->address + (n - rn->fileOffset);
                const uint64_t to = ro->address + (o - ro->fileOffset);
                if (from + piece <= kAddressSpace && to + piece <= kAddressSpace)
                    inMemory.push_back({uint32_t(from), uint32_t(to), uint32_t(piece)});
            } else {
                // On to where both sides may be loaded again.
                if (!rn)
                    piece = std::min(piece, nextRegion(target, n) - n);
                if (!ro)
                    piece = std::min(piece, nextRegion(earlier, o) - o);
            }
            n += piece;
            o += piece;
        }
    }
    return oneToOne(std::move(inMemory));
}

} // namespace klv::delta
