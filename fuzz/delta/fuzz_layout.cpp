// Reads hostile program files as the maker of a patch does: their layouts from the headers, and
// the map made of their import slots, symbols, sections and equal stretches. Stops the run when a
// layout read is not valid, the spans make no map, or a file converted to addresses does not come
// back whole when converted back a part at a time, as an updater does.
//
// Input: u16 little-endian n, n bytes of the earlier file; the rest is the new file.

#include "delta/References.h"

#include <QtEndian>
#include <cstdio>
#include <cstdlib>

using namespace klv::delta;

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}

// Converts back `chunk` bytes at a time, each call keeping back what it cannot finish yet.
QByteArray convertBack(const QByteArray &converted, const Layout &layout, const AddressMap &map, qsizetype chunk)
{
    QByteArray out;
    QByteArray pending;
    for (qsizetype given = 0; given < converted.size() || !pending.isEmpty();) {
        const qsizetype take = std::min(chunk, converted.size() - given);
        pending += converted.mid(given, take);
        given += take;
        const bool atEnd = given == converted.size();
        const qsizetype done =
            convertReferences(pending.data(), pending.size(), out.size(), atEnd, layout, map, Convert::FromAddresses);
        out += pending.left(done);
        pending.remove(0, done);
        if (atEnd)
            break;
    }
    return out + pending;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t n = std::min<size_t>(qFromLittleEndian<quint16>(data), size - 2);
    const QByteArray earlier(reinterpret_cast<const char *>(data + 2), qsizetype(n));
    const QByteArray target(reinterpret_cast<const char *>(data + 2 + n), qsizetype(size - 2 - n));
    const std::optional<Layout> earlierLayout = programLayout(earlier);
    const std::optional<Layout> targetLayout = programLayout(target);
    require(!earlierLayout || earlierLayout->valid(), "an invalid layout of the earlier file");
    require(!targetLayout || targetLayout->valid(), "an invalid layout of the new file");
    if (!earlierLayout || !targetLayout)
        return 0;
    const std::optional<AddressMap> map =
        AddressMap::fromSpans(mapSpans(earlier, target, *earlierLayout, *targetLayout));
    require(map.has_value(), "the spans make no map");

    QByteArray converted = target;
    convertReferences(converted.data(), converted.size(), 0, true, *targetLayout, *map, Convert::ToAddresses);
    require(convertBack(converted, *targetLayout, *map, 7) == target, "the new file did not come back");
    return 0;
}
