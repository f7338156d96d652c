// Patches from an earlier file to a new one: what they make, and what they refuse.
#include "delta/FilePatch.h"
#include "delta/References.h"
#include "packagelist/PatchSection.h"
#include "platform/Sha256.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

using namespace klv;
using namespace klv::delta;

Q_DECLARE_METATYPE(std::vector<klv::delta::Span>)
Q_DECLARE_METATYPE(klv::delta::Layout)

namespace {

// Bytes like those of a program: repeated instruction-like runs with some randomness, so that
// zstd finds matches inside a file as in a real one, but a changed stretch is really new.
QByteArray programLike(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const quint32 word = random.generate();
        const int repeat = 1 + int(word % 4);
        for (int i = 0; i < repeat && bytes.size() < size; ++i)
            bytes.append(reinterpret_cast<const char *>(&word), qMin<qsizetype>(4, size - bytes.size()));
    }
    return bytes;
}

// Changes here and there: `spots` stretches of 64 bytes overwritten, and one stretch inserted.
QByteArray changed(QByteArray bytes, int spots, qsizetype inserted, quint32 seed)
{
    QRandomGenerator random(seed);
    for (int i = 0; i < spots && bytes.size() > 64; ++i) {
        const qsizetype at = random.bounded(qsizetype(bytes.size() - 64));
        bytes.replace(at, 64, programLike(64, random.generate()));
    }
    if (inserted > 0)
        bytes.insert(bytes.size() / 3, programLike(inserted, seed + 1));
    return bytes;
}

// A program of functions that call each other and load from a data area behind the code, laid out
// as a linker would. The same seed gives the same functions; `inserted` functions are added after
// the first tenth, so that everything behind them moves.
QByteArray programWithCalls(int count, quint32 seed, int inserted = 0)
{
    struct Instruction
    {
        int call = -1;
        qsizetype load = -1;
        QByteArray filler;
    };
    QRandomGenerator random(seed);
    QList<QList<Instruction>> functions;
    const auto function = [&random, count] {
        QList<Instruction> body;
        for (int i = 0; i < 20; ++i) {
            const quint32 kind = random.bounded(20);
            if (kind < 5)
                body.append({int(random.bounded(count)), -1, {}});
            else if (kind < 8)
                body.append({-1, qsizetype(random.bounded(60000)), {}});
            else
                body.append({-1, -1, programLike(1 + random.bounded(12), random.generate())});
        }
        return body;
    };
    QList<int> order; // the functions as laid out: the inserted ones, at the end of the list, early
    for (int i = 0; i < count + inserted; ++i) {
        functions.append(function());
        order.insert(i < count ? i : count / 10 + i - count, i);
    }

    const auto lengthOf = [](const Instruction &ins) {
        return ins.call >= 0 ? 5 : ins.load >= 0 ? 7 : ins.filler.size();
    };
    QList<qsizetype> starts(functions.size());
    qsizetype at = 2;
    for (const int f : order) {
        starts[f] = at;
        for (const Instruction &ins : functions[f])
            at += lengthOf(ins);
    }
    const qsizetype data = at;
    QByteArray out("MZ");
    const auto relative = [&out](qsizetype target, qsizetype end) {
        const qint32 distance = qint32(target - end);
        out.append(reinterpret_cast<const char *>(&distance), 4);
    };
    for (const int f : order) {
        for (const Instruction &ins : functions[f]) {
            if (ins.call >= 0) {
                out.append('\xE8');
                relative(starts[ins.call], out.size() + 4);
            } else if (ins.load >= 0) {
                out.append("\x48\x8D\x05", 3);
                relative(data + ins.load, out.size() + 4);
            } else {
                out.append(ins.filler);
            }
        }
    }
    return out + programLike(64 * 1024, seed + 1);
}

// An index of unwinding records and the records, laid out from `address` as a compiler lays them
// out: a common record, then one per function (at the start of the code, which stays where it is
// when code is added further on) whatever `address` is, each
// pointing back at the common record, at its function and at a handler table, then a record of
// length 0. The index holds the distances from its start to each function and its record. With
// `backToZero`, one record points back at address 0 instead.
std::pair<QByteArray, QByteArray> unwindingAt(uint32_t address, int count, bool backToZero = false)
{
    QRandomGenerator random(41);
    const auto put = [](QByteArray &out, quint32 value) {
        char bytes[4];
        qToLittleEndian(value, bytes);
        out.append(bytes, 4);
    };
    const uint32_t recordsAt = address + 12 + 8 * uint32_t(count);
    QByteArray index("\x01\x1b\x03\x3b", 4);
    put(index, recordsAt - (address + 4));
    put(index, quint32(count));
    QByteArray records;
    put(records, 12);
    put(records, 0);
    records.append("\x01zR\0\x01\x78\x10\x1b", 8);
    for (int i = 0; i < count; ++i) {
        const uint32_t at = recordsAt + uint32_t(records.size());
        const uint32_t function = 0x1000 + 4 * uint32_t(i);
        const quint32 extra = random.bounded(30);
        put(records, 17 + extra);
        put(records, backToZero && i == count / 2 ? at + 4 : uint32_t(records.size()) + 4);
        put(records, function - (at + 8));
        put(records, 40);
        records.append(char(4));
        put(records, 0x1000 + 8 * uint32_t(i) + 2 - (at + 17));
        records.append(programLike(extra, random.generate()));
        put(index, function - address);
        put(index, at - address);
    }
    put(records, 0);
    return {index, records};
}

// A table of names that starts with `shift` + 1 filler bytes, and symbols named in it as a linker
// writes them, with values low in the image.
std::pair<QByteArray, QByteArray> symbolsNamedAt(int count, qsizetype shift)
{
    QByteArray names(shift + 1, 'x');
    QByteArray symbols;
    for (int i = 0; i < count; ++i) {
        char symbol[24] = {};
        qToLittleEndian(quint32(names.size()), symbol);
        symbol[4] = 0x12; // a global function
        qToLittleEndian(quint64(0x1000 + 16 * i), symbol + 8);
        qToLittleEndian(quint64(16), symbol + 16);
        symbols.append(symbol, sizeof symbol);
        names += "function_" + QByteArray::number(i) + '\0';
    }
    return {names, symbols};
}

// A 64-bit x86 ELF file of `code` (from address 0x1000 on, at the same offset) and the unwinding
// records of `functions` functions behind it, with the section headers that name them.
QByteArray elfProgram(const QByteArray &code, int functions)
{
    const auto [index, records] = unwindingAt(uint32_t(0x1000 + code.size()), functions);
    QByteArray file(0x1000, '\0');
    file.replace(0, 4,
                 "\x7f"
                 "ELF");
    file[4] = 2;   // 64-bit
    file[5] = 1;   // little-endian
    file[18] = 62; // x86-64
    file += code + index + records;
    const QByteArray names("\0.text\0.eh_frame_hdr\0.eh_frame\0.shstrtab\0", 42);
    const qsizetype namesAt = file.size();
    file += names;
    const qsizetype headersAt = file.size();
    struct Header
    {
        quint32 name, type;
        quint64 flags, offset, size;
    };
    const quint64 indexAt = 0x1000 + quint64(code.size());
    const Header headers[] = {{0, 0, 0, 0, 0},
                              {1, 1, 6, 0x1000, quint64(code.size())},
                              {7, 1, 2, indexAt, quint64(index.size())},
                              {21, 1, 2, indexAt + quint64(index.size()), quint64(records.size())},
                              {31, 3, 0, quint64(namesAt), quint64(names.size())}};
    for (const Header &h : headers) {
        QByteArray header(64, '\0');
        qToLittleEndian(h.name, header.data());
        qToLittleEndian(h.type, header.data() + 4);
        qToLittleEndian(h.flags, header.data() + 8);
        qToLittleEndian(h.flags & 2 ? h.offset : 0, header.data() + 16); // loaded where it lies
        qToLittleEndian(h.offset, header.data() + 24);
        qToLittleEndian(h.size, header.data() + 32);
        file += header;
    }
    qToLittleEndian(quint64(headersAt), file.data() + 0x28);
    qToLittleEndian(quint16(64), file.data() + 0x3a);
    qToLittleEndian(quint16(std::size(headers)), file.data() + 0x3c);
    qToLittleEndian(quint16(std::size(headers) - 1), file.data() + 0x3e);
    return file;
}

// Converts back what was converted to addresses, given `chunk` bytes at a time as a patch's
// frames give it, each call keeping back what it cannot finish yet.
QByteArray convertBack(const QByteArray &converted, const Layout &layout, const AddressMap &map, qsizetype chunk)
{
    QByteArray out;
    QByteArray pending;
    qsizetype given = 0;
    for (;;) {
        const qsizetype take = qMin(chunk, converted.size() - given);
        pending += converted.mid(given, take);
        given += take;
        const bool atEnd = given == converted.size();
        const qsizetype done =
            convertReferences(pending.data(), pending.size(), out.size(), atEnd, layout, map, Convert::FromAddresses);
        out += pending.left(done);
        pending.remove(0, done);
        if (atEnd)
            return pending.isEmpty() ? out : QByteArray("left over");
    }
}

QByteArray make(const QByteArray &base, const QByteArray &target, const MakeOptions &options = {})
{
    QBuffer baseDevice, targetDevice, patch;
    baseDevice.setData(base);
    targetDevice.setData(target);
    baseDevice.open(QIODevice::ReadOnly);
    targetDevice.open(QIODevice::ReadOnly);
    patch.open(QIODevice::WriteOnly);
    makePatch(baseDevice, targetDevice, patch, options);
    return patch.data();
}

QByteArray apply(const QByteArray &base, const QByteArray &patch, qint64 expectedLength, Applied *applied = nullptr)
{
    QBuffer baseDevice, patchDevice, result;
    baseDevice.setData(base);
    patchDevice.setData(patch);
    baseDevice.open(QIODevice::ReadOnly);
    patchDevice.open(QIODevice::ReadOnly);
    result.open(QIODevice::WriteOnly);
    const Applied done = applyPatch(baseDevice, patchDevice, result, expectedLength);
    if (applied)
        *applied = done;
    return result.data();
}

// Offsets inside a patch's layout, for the rows that damage it (with no address map).
constexpr qsizetype kBaseLengthAt = 12;
constexpr qsizetype kFlagsAt = 32;
constexpr qsizetype kTableLengthAt = 36;
constexpr qsizetype kFirstSegmentAt = 40;
constexpr qsizetype kFirstFrameAt = kFirstSegmentAt + 20;

} // namespace

class TestFilePatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void makesTheNewFile_data();
    void makesTheNewFile();
    void followsMovedCode_data();
    void followsMovedCode();
    void convertsBackExactly_data();
    void convertsBackExactly();
    void movedTablesReadAlike_data();
    void movedTablesReadAlike();
    void realProgram();
    void addressMaps_data();
    void addressMaps();
    void preferring_data();
    void preferring();
    void refusesWhatDoesNotFit_data();
    void refusesWhatDoesNotFit();
    void patchLines_data();
    void patchLines();
};

void TestFilePatch::makesTheNewFile_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("level");
    QTest::addColumn<double>("mostOfTarget"); // the patch's largest share of the new file

    const QByteArray program = programLike(3 * 1024 * 1024, 7);
    QTest::newRow("a few changed spots") << program << changed(program, 20, 0, 1) << 19 << 0.01;
    QTest::newRow("code inserted") << program << changed(program, 5, 40 * 1024, 2) << 19 << 0.05;
    QTest::newRow("same file") << program << program << 19 << 0.001;
    QTest::newRow("nothing in common") << programLike(100000, 3) << programLike(120000, 4) << 19 << 1.1;
    QTest::newRow("from an empty file") << QByteArray() << programLike(5000, 5) << 19 << 1.1;
    QTest::newRow("to an empty file") << program << QByteArray() << 19 << 1.0;
    // Larger than one segment and than the prefix a segment may use: the stretches of the base
    // around each segment still find its code, also after code was inserted near the start.
    const QByteArray large = programLike(kMaxPrefix + 6 * 1024 * 1024, 9);
    QTest::newRow("several segments") << large << changed(large, 50, 1024 * 1024, 6) << 3 << 0.05;
}

void TestFilePatch::makesTheNewFile()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, target);
    QFETCH(int, level);
    QFETCH(double, mostOfTarget);

    const QByteArray patch = make(base, target, {level, true});
    Applied applied;
    const QByteArray result = apply(base, patch, target.size(), &applied);
    QVERIFY(result == target);
    QCOMPARE(applied.length, target.size());
    QCOMPARE(applied.sha256, Sha256::hash(target));
    QVERIFY2(double(patch.size()) <= mostOfTarget * double(qMax<qsizetype>(target.size(), 1000)),
             qPrintable(QStringLiteral("patch of %1 bytes for %2").arg(patch.size()).arg(target.size())));
}

void TestFilePatch::followsMovedCode_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<double>("mostOfPlain"); // the largest share of the plain patch's size
    QTest::addColumn<int>("version");

    const QByteArray program = programWithCalls(3000, 21);
    QTest::newRow("functions inserted") << program << programWithCalls(3000, 21, 3) << 0.2 << 2;
    QTest::newRow("functions removed") << programWithCalls(3000, 21, 3) << program << 0.2 << 2;
    // Nothing moved: no gain, and the plain patch is taken.
    QTest::newRow("code changed in place") << program << changed(program, 30, 0, 22) << 1.0 << 2;
    // Its unwinding records move with the code: format version 3.
    QTest::newRow("ELF, functions inserted")
        << elfProgram(program, 3000) << elfProgram(programWithCalls(3000, 21, 3), 3003) << 0.2 << 3;
}

// With references converted, moved code costs the patch next to nothing: it must be far smaller
// than the patch of the same files taken as plain bytes, and make the same file.
void TestFilePatch::followsMovedCode()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, target);
    QFETCH(double, mostOfPlain);
    QFETCH(int, version);

    MakeOptions plainOptions;
    plainOptions.references = false;
    const QByteArray plain = make(base, target, plainOptions);
    const QByteArray converted = make(base, target);
    QVERIFY(apply(base, plain, target.size()) == target);
    QVERIFY(apply(base, converted, target.size()) == target);
    QVERIFY2(double(converted.size()) <= mostOfPlain * double(plain.size()),
             qPrintable(QStringLiteral("%1 bytes converted, %2 plain").arg(converted.size()).arg(plain.size())));
    QCOMPARE(qFromLittleEndian<quint32>(converted.constData() + 8), quint32(version));
    if (version == 3) { // an updater that knows version 2 only would convert the records wrongly
        QByteArray asVersion2 = converted;
        asVersion2[8] = 2;
        QVERIFY_THROWS_EXCEPTION(EPatchError, apply(base, asVersion2, target.size()));
    }
}

void TestFilePatch::convertsBackExactly_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Layout>("layout");
    QTest::addColumn<bool>("withMap");
    QTest::addColumn<qsizetype>("chunk");

    const QByteArray program = programWithCalls(300, 31);
    const Layout flat = Layout::flat(uint32_t(program.size()));
    QTest::newRow("code, identity, whole") << program << flat << false << program.size();
    QTest::newRow("code, map, whole") << program << flat << true << program.size();
    QTest::newRow("code, map, a byte at a time") << program << flat << true << qsizetype(1);
    QTest::newRow("code, map, 6 at a time") << program << flat << true << qsizetype(6);
    QTest::newRow("code, map, 4099 at a time") << program << flat << true << qsizetype(4099);
    QTest::newRow("random bytes, map, 13 at a time")
        << programLike(100000, 32) << Layout::flat(100000) << true << qsizetype(13);
    QTest::newRow("only call opcodes") << QByteArray(5003, '\xE8') << Layout::flat(5003) << true << qsizetype(7);
    QTest::newRow("far distances") << QByteArray("\xE8\x00\x00\x00\x01\xE9\xFF\xFF\xFF\xFE", 10).repeated(99)
                                   << Layout::flat(990) << true << qsizetype(3);
    QTest::newRow("shorter than a reference")
        << QByteArray("\x48\x8D\x05\x01", 4) << Layout::flat(4) << true << qsizetype(1);

    // Code, then pointers (the image's base added), a table of addresses and symbols at odd places,
    // bytes in no region between them, and code again at another address.
    constexpr quint64 base = 0x140000000;
    QByteArray mixed = program;
    QRandomGenerator random(33);
    for (qsizetype at = 1003; at + 8 <= 2999; at += 8)
        qToLittleEndian<quint64>(base + random.bounded(kAddressSpace + 1000), mixed.data() + at);
    for (qsizetype at = 3001; at + 4 <= 5001; at += 4)
        qToLittleEndian<quint32>(random.bounded(kAddressSpace + 1000), mixed.data() + at);
    mixed.replace(5001, 980, symbolsNamedAt(41, 0).second.left(980)); // ends in a part of a symbol
    Layout regions;
    regions.imageBase = base;
    regions.regions = {{0, 1000, 0x1000, Region::Code, true},
                       {1003, 1996, 0x5000, Region::Pointers, true}, // ends in a part of a pointer
                       {3001, 2000, 0x8000, Region::AddressTable, true},
                       {5001, 980, 0x7000, Region::Symbols, false},
                       {6000, uint32_t(mixed.size() - 6000), 0x9000, Region::Code, true}};
    QTest::newRow("regions, whole") << mixed << regions << true << mixed.size();
    QTest::newRow("regions, 5 at a time") << mixed << regions << true << qsizetype(5);
    QTest::newRow("regions, 1001 at a time") << mixed << regions << true << qsizetype(1001);

    // Unwinding records, one of which points back at the address the map turns into 0.
    const auto [index, records] = unwindingAt(0x20000, 300, true);
    const QByteArray unwinding = program.left(1000) + index + records;
    Layout unwinds;
    unwinds.regions = {{0, 1000, 0x1000, Region::Code, true},
                       {1000, uint32_t(index.size()), 0x20000, Region::UnwindIndex, true},
                       {1000 + uint32_t(index.size()), uint32_t(records.size()), 0x20000 + uint32_t(index.size()),
                        Region::UnwindRecords, true}};
    QTest::newRow("unwinding, identity, whole") << unwinding << unwinds << false << unwinding.size();
    QTest::newRow("unwinding, map, whole") << unwinding << unwinds << true << unwinding.size();
    QTest::newRow("unwinding, map, a byte at a time") << unwinding << unwinds << true << qsizetype(1);
    QTest::newRow("unwinding, map, 7 at a time") << unwinding << unwinds << true << qsizetype(7);
    QTest::newRow("unwinding, map, 100 at a time") << unwinding << unwinds << true << qsizetype(100);
}

void TestFilePatch::movedTablesReadAlike_data()
{
    QTest::addColumn<QByteArray>("earlier");
    QTest::addColumn<Layout>("earlierLayout");
    QTest::addColumn<QByteArray>("later");
    QTest::addColumn<Layout>("laterLayout");
    QTest::addColumn<std::vector<Span>>("spans");

    // The index and the records 0x777 further on.
    const auto unwinding = [](uint32_t address) {
        const auto [index, records] = unwindingAt(address, 200);
        Layout layout;
        layout.regions = {{0, uint32_t(index.size()), address, Region::UnwindIndex, true},
                          {uint32_t(index.size()), uint32_t(records.size()), address + uint32_t(index.size()),
                           Region::UnwindRecords, true}};
        return std::pair{index + records, layout};
    };
    const auto [earlierUnwinding, earlierUnwinds] = unwinding(0x20000);
    const auto [laterUnwinding, laterUnwinds] = unwinding(0x20777);
    QTest::newRow("unwinding records") << earlierUnwinding << earlierUnwinds << laterUnwinding << laterUnwinds
                                       << std::vector<Span>{{0x20777, 0x20000, uint32_t(laterUnwinding.size())}};

    // The names at the same address, with 100 bytes more in front of them.
    const auto symbols = [](qsizetype shift) {
        const auto [names, table] = symbolsNamedAt(300, shift);
        Layout layout;
        layout.regions = {{0, uint32_t(names.size()), 0x40000, Region::Names, true},
                          {uint32_t(names.size()), uint32_t(table.size()), 0x40000, Region::Symbols, false}};
        return std::pair{names + table, layout};
    };
    const auto [earlierSymbols, earlierNames] = symbols(5);
    const auto [laterSymbols, laterNames] = symbols(105);
    QTest::newRow("symbols") << earlierSymbols << earlierNames << laterSymbols << laterNames
                             << std::vector<Span>{{0x40000 + 100, 0x40000, uint32_t(earlierSymbols.size())}};
}

// Tables that moved, or whose targets moved, read the same converted as where they were: the
// distances in them become the (translated) addresses of the same functions, records and names.
void TestFilePatch::movedTablesReadAlike()
{
    QFETCH(QByteArray, earlier);
    QFETCH(Layout, earlierLayout);
    QFETCH(QByteArray, later);
    QFETCH(Layout, laterLayout);
    QFETCH(std::vector<Span>, spans);

    QVERIFY(earlier != later);
    const std::optional<AddressMap> map = AddressMap::fromSpans(spans);
    QVERIFY(map);
    convertReferences(earlier.data(), earlier.size(), 0, true, earlierLayout, AddressMap(), Convert::ToAddresses);
    convertReferences(later.data(), later.size(), 0, true, laterLayout, *map, Convert::ToAddresses);
    // Only the bytes in front of the later names differ.
    const qsizetype extra = later.size() - earlier.size();
    QCOMPARE(later.mid(extra).toHex(), earlier.toHex());
}

void TestFilePatch::convertsBackExactly()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Layout, layout);
    QFETCH(bool, withMap);
    QFETCH(qsizetype, chunk);

    QVERIFY(layout.valid());
    const std::optional<AddressMap> map =
        withMap ? AddressMap::fromSpans({{100, 5000, 3000}, {4000, 50, 2000}, {9000, 9100, 100000}}) : AddressMap();
    QVERIFY(map);
    QByteArray converted = bytes;
    QCOMPARE(convertReferences(converted.data(), converted.size(), 0, true, layout, *map, Convert::ToAddresses),
             converted.size());
    if (bytes.startsWith("MZ"))
        QVERIFY(converted != bytes); // code does have references
    QCOMPARE(convertBack(converted, layout, *map, chunk), bytes);
}

// The layouts read from this very test program (ELF on Linux, PE under Wine): sections of each
// kind are found; its references, with a map from a copy with code inserted, convert back exactly;
// and a patch to that copy makes it.
void TestFilePatch::realProgram()
{
    QFile file(QCoreApplication::applicationFilePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray program = file.readAll();
    QVERIFY(program.size() < qsizetype(kAddressSpace));
    const std::optional<Layout> layout = programLayout(program);
    QVERIFY(layout && layout->valid());
    const auto has = [&](Region::Kind kind) {
        return std::any_of(layout->regions.begin(), layout->regions.end(),
                           [kind](const Region &r) { return r.kind == kind && r.loaded; });
    };
    QVERIFY(has(Region::Code));
    QVERIFY(has(Region::Pointers));
    if (program.startsWith("MZ"))
        QVERIFY(has(Region::AddressTable));

    const Region &code = *std::find_if(layout->regions.begin(), layout->regions.end(),
                                       [](const Region &r) { return r.kind == Region::Code; });
    const QByteArray later = QByteArray(program).insert(code.fileOffset + code.size / 2, programLike(200, 61));
    QByteArray maskedProgram = program;
    QByteArray maskedLater = later;
    convertReferences(maskedProgram.data(), maskedProgram.size(), 0, true, *layout, AddressMap(), Convert::Mask);
    convertReferences(maskedLater.data(), maskedLater.size(), 0, true, *layout, AddressMap(), Convert::Mask);
    const std::optional<AddressMap> map =
        AddressMap::fromSpans(spansInMemory(findSpans(maskedProgram, maskedLater), *layout, *layout));
    QVERIFY(map && map->spans().size() > 1);
    QByteArray converted = later;
    convertReferences(converted.data(), converted.size(), 0, true, *layout, *map, Convert::ToAddresses);
    QVERIFY(converted != later);
    QVERIFY(convertBack(converted, *layout, *map, 65536 + 3) == later);

    QVERIFY(apply(program, make(program, later, {3, true, true}), later.size()) == later);
    if (!program.startsWith("\x7f"
                            "ELF"))
        return;

    QVERIFY(has(Region::UnwindIndex));
    QVERIFY(has(Region::UnwindRecords));
    QVERIFY(has(Region::Names)); // the symbol table's, not loaded
    QVERIFY(std::any_of(layout->regions.begin(), layout->regions.end(),
                        [](const Region &r) { return r.kind == Region::Symbols; }));

    // Import slots pair by the name they stand for: with the first two imports' relocations
    // swapped, each stub of the copy pairs with the other's stub in the original.
    const auto section = [&program](QByteArrayView name) {
        const auto at = [&program](quint64 offset) { return qFromLittleEndian<quint64>(program.constData() + offset); };
        const quint64 table = at(0x28);
        const quint64 names = at(table + 64 * qFromLittleEndian<quint16>(program.constData() + 0x3e) + 24);
        for (quint16 i = 0; i < qFromLittleEndian<quint16>(program.constData() + 0x3c); ++i) {
            const quint64 header = table + 64 * i;
            if (name == QByteArrayView(program.constData() + names + quint32(at(header))))
                return std::pair{at(header + 24), at(header + 16)}; // offset, address
        }
        return std::pair{quint64(0), quint64(0)};
    };
    const quint64 relocations = section(".rela.plt").first;
    const quint64 stubs = section(".plt").second;
    QVERIFY(relocations != 0 && stubs != 0);
    QByteArray swapped = program;
    std::swap_ranges(swapped.begin() + qsizetype(relocations + 8), swapped.begin() + qsizetype(relocations + 16),
                     swapped.begin() + qsizetype(relocations + 32));
    const std::vector<Span> imports = importSpans(program, swapped);
    const auto pairs = [&imports](quint64 from, quint64 to) {
        return std::any_of(imports.begin(), imports.end(), [&](const Span &s) {
            return from >= s.newStart && from - s.newStart < s.length && s.oldStart + (from - s.newStart) == to;
        });
    };
    QVERIFY(pairs(stubs + 16, stubs + 32));
    QVERIFY(pairs(stubs + 32, stubs + 16));
    QVERIFY(pairs(stubs + 48, stubs + 48));
}

void TestFilePatch::addressMaps_data()
{
    QTest::addColumn<std::vector<Span>>("spans");
    QTest::addColumn<bool>("valid");

    QTest::newRow("none") << std::vector<Span>{} << true;
    QTest::newRow("in order") << std::vector<Span>{{0, 10, 5}, {100, 200, 50}} << true;
    QTest::newRow("crossing") << std::vector<Span>{{0, 1000, 500}, {600, 0, 900}, {2000, 900, 100}} << true;
    QTest::newRow("to the last address") << std::vector<Span>{{kAddressSpace - 10, 0, 10}} << true;
    QTest::newRow("overlapping in the new file") << std::vector<Span>{{0, 0, 10}, {9, 100, 10}} << false;
    QTest::newRow("overlapping in the earlier file") << std::vector<Span>{{0, 0, 10}, {50, 5, 10}} << false;
    QTest::newRow("past the address space") << std::vector<Span>{{kAddressSpace - 10, 0, 11}} << false;
    QTest::newRow("empty span") << std::vector<Span>{{0, 0, 0}} << false;
}

// A valid map is one-to-one over the whole address space, and takes each span to its place.
void TestFilePatch::addressMaps()
{
    QFETCH(std::vector<Span>, spans);
    QFETCH(bool, valid);

    const std::optional<AddressMap> map = AddressMap::fromSpans(spans);
    QCOMPARE(map.has_value(), valid);
    if (!map)
        return;
    for (const Span &s : spans) {
        QCOMPARE(map->toEarlier(s.newStart), s.oldStart);
        QCOMPARE(map->toEarlier(s.newStart + s.length - 1), s.oldStart + s.length - 1);
    }
    QRandomGenerator random(41);
    for (int i = 0; i < 20000; ++i) {
        const uint32_t address = i < 3000 ? uint32_t(i) : random.bounded(kAddressSpace);
        const uint32_t earlier = map->toEarlier(address);
        QVERIFY(earlier < kAddressSpace);
        QCOMPARE(map->toNew(earlier), address);
    }
}

void TestFilePatch::preferring_data()
{
    QTest::addColumn<std::vector<Span>>("first");
    QTest::addColumn<std::vector<Span>>("rest");
    QTest::addColumn<QString>("kept");

    QTest::newRow("apart") << std::vector<Span>{{0, 100, 10}} << std::vector<Span>{{50, 500, 10}}
                           << "0>100:10 50>500:10";
    QTest::newRow("cut on the new side") << std::vector<Span>{{10, 1000, 10}} << std::vector<Span>{{0, 0, 40}}
                                         << "0>0:10 10>1000:10 20>20:20";
    QTest::newRow("cut on the earlier side")
        << std::vector<Span>{{1000, 10, 10}} << std::vector<Span>{{0, 0, 40}} << "0>0:10 20>20:20 1000>10:10";
    QTest::newRow("covered whole") << std::vector<Span>{{0, 0, 100}} << std::vector<Span>{{10, 500, 5}, {600, 20, 5}}
                                   << "0>0:100";
    QTest::newRow("first overlapping itself")
        << std::vector<Span>{{0, 0, 10}, {5, 100, 10}} << std::vector<Span>{} << "0>0:10 10>105:5";
}

// Spans found by name win over those found by content, on both sides, and the result is a map.
void TestFilePatch::preferring()
{
    QFETCH(std::vector<Span>, first);
    QFETCH(std::vector<Span>, rest);
    QFETCH(QString, kept);

    const std::vector<Span> spans = klv::delta::preferring(first, rest);
    QStringList described;
    for (const Span &s : spans)
        described << QStringLiteral("%1>%2:%3").arg(s.newStart).arg(s.oldStart).arg(s.length);
    QCOMPARE(described.join(u' '), kept);
    QVERIFY(AddressMap::fromSpans(spans));
}

void TestFilePatch::refusesWhatDoesNotFit_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<qint64>("expectedLength");

    const QByteArray base = programLike(200000, 11);
    const QByteArray target = changed(base, 10, 5000, 12);
    const QByteArray patch = make(base, target);
    const auto with = [&](qsizetype at, char value) {
        QByteArray bytes = patch;
        bytes[at] = value;
        return bytes;
    };
    const qint64 length = target.size();
    QTest::newRow("a byte flipped in the frame")
        << base << with(patch.size() / 2, char(patch[patch.size() / 2] ^ 1)) << length;
    QTest::newRow("the last byte flipped (checksum)")
        << base << with(patch.size() - 1, char(patch.back() ^ 0x40)) << length;
    QTest::newRow("cut short") << base << patch.left(patch.size() - 10) << length;
    QTest::newRow("header only") << base << patch.left(kFirstSegmentAt) << length;
    QTest::newRow("a byte after the end") << base << patch + 'x' << length;
    QTest::newRow("not a patch") << base << QByteArray("PK\x03\x04 something else entirely, long enough") << length;
    QTest::newRow("empty") << base << QByteArray() << length;
    QTest::newRow("another result length") << base << patch << length + 1;
    QTest::newRow("another base, other length") << base.left(base.size() - 1) << patch << length;
    QByteArray sameLength = base;
    sameLength.replace(1000, 64, programLike(64, 99));
    QTest::newRow("another base, same length") << sameLength << patch << length;
    QTest::newRow("base length in the header changed")
        << base << with(kBaseLengthAt, char(patch[kBaseLengthAt] + 1)) << length;
    // The first segment's prefix length (bytes 40..43) beyond the base and beyond the limit.
    QTest::newRow("prefix beyond the base") << base << with(kFirstSegmentAt + 10, char(0x7f)) << length;
    QTest::newRow("frame length too large") << base << with(kFirstSegmentAt + 19, char(0x7f)) << length;
    QTest::newRow("frame length zero") << base
                                       << patch.left(kFirstSegmentAt + 16) + QByteArray(4, '\0') +
                                              patch.mid(kFirstFrameAt)
                                       << length;
    QTest::newRow("unknown flags") << base << with(kFlagsAt, char(2)) << length;
    QTest::newRow("a table without conversion") << base << with(kTableLengthAt, char(1)) << length;
    const QByteArray program = programWithCalls(500, 51);
    const QByteArray programPatch = make(program, programWithCalls(500, 51, 1));
    QVERIFY(programPatch[kFlagsAt] == 1); // the converted patch, with its map
    QByteArray damagedMap = programPatch;
    const qsizetype inMap = kFirstSegmentAt + qFromLittleEndian<quint32>(programPatch.constData() + kTableLengthAt) / 2;
    damagedMap[inMap] = char(damagedMap[inMap] ^ 0x10);
    QTest::newRow("address map damaged") << program << damagedMap << qint64(programWithCalls(500, 51, 1).size());
    QTest::newRow("frame's content size changed")
        << base << with(kFirstFrameAt + 6, char(patch[kFirstFrameAt + 6] ^ 2)) << length;
}

void TestFilePatch::refusesWhatDoesNotFit()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, patch);
    QFETCH(qint64, expectedLength);
    QVERIFY_THROWS_EXCEPTION(EPatchError, apply(base, patch, expectedLength));
}

void TestFilePatch::patchLines_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");

    const QString base = QString(64, u'a');
    const QString result = QString(64, u'B');
    const QString name = QStringLiteral("klv.exe.aaaaaaaaaaaaaaaa.klvpatch");
    QTest::newRow("as written") << name << QStringLiteral("klv.exe;%1;%2;12345;678").arg(base, result) << true;
    QTest::newRow("no such extension") << QStringLiteral("klv.exe")
                                       << QStringLiteral("klv.exe;%1;%2;1;1").arg(base, result) << false;
    QTest::newRow("a folder in the name")
        << QStringLiteral("..\\klv.klvpatch") << QStringLiteral("klv.exe;%1;%2;1;1").arg(base, result) << false;
    QTest::newRow("a folder in the file")
        << name << QStringLiteral("sub\\klv.exe;%1;%2;1;1").arg(base, result) << false;
    QTest::newRow("short digest") << name << QStringLiteral("klv.exe;%1;%2;1;1").arg(base.left(62), result) << false;
    QTest::newRow("digest not hex") << name << QStringLiteral("klv.exe;%1;%2;1;1").arg(QString(64, u'g'), result)
                                    << false;
    QTest::newRow("negative length") << name << QStringLiteral("klv.exe;%1;%2;1;-1").arg(base, result) << false;
    QTest::newRow("length with a sign") << name << QStringLiteral("klv.exe;%1;%2;+1;1").arg(base, result) << false;
    QTest::newRow("a field more") << name << QStringLiteral("klv.exe;%1;%2;1;1;x").arg(base, result) << false;
    QTest::newRow("no patch length") << name << QStringLiteral("klv.exe;%1;%2;1").arg(base, result) << false;
}

void TestFilePatch::patchLines()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(bool, valid);
    const auto line = packagelist::parsePatchLine(name, value);
    QCOMPARE(line.has_value(), valid);
    if (valid)
        QCOMPARE(packagelist::patchValue(*line), value.toLower());
}

QTEST_GUILESS_MAIN(TestFilePatch)
#include "tst_filepatch.moc"
