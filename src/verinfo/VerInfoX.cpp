#include "VerInfoX.h"

#include "platform/Ansi.h"

#include <QString>
#include <QtEndian>
#include <cstring>

namespace klv::verinfo {

namespace {

// All offsets are 64-bit so that sums of 32-bit fields from the file cannot wrap.
using Offset = qint64;

bool readU16(QByteArrayView d, Offset at, quint16 &out)
{
    if (at < 0 || at > d.size() - 2)
        return false;
    out = qFromLittleEndian<quint16>(d.data() + at);
    return true;
}

bool readU32(QByteArrayView d, Offset at, quint32 &out)
{
    if (at < 0 || at > d.size() - 4)
        return false;
    out = qFromLittleEndian<quint32>(d.data() + at);
    return true;
}

constexpr Offset align4(Offset v)
{
    return (v + 3) & ~Offset(3);
}

// ---- PE image -------------------------------------------------------------------------------

constexpr quint32 kPeSignature = 0x00004550; // "PE\0\0"
constexpr quint16 kMagicPe32 = 0x10B;
constexpr quint16 kMagicPe32Plus = 0x20B;
constexpr int kResourceDirectory = 2;
constexpr Offset kSectionHeaderSize = 40;
constexpr quint32 kHighBit = 0x80000000u;

class PeImage
{
public:
    explicit PeImage(QByteArrayView image) : FImage(image) {}
    bool readHeaders();
    QByteArrayView versionResource() const;

private:
    struct Section
    {
        quint32 address = 0;
        quint32 rawSize = 0;
        quint32 rawPointer = 0;
    };
    bool section(quint16 index, Section &out) const;
    // The first section whose raw data holds the byte at `rva`.
    bool findSection(quint32 rva, Section &out) const;
    // The file offset of `length` bytes at `rva`, when one section's raw data holds them all.
    bool mapRva(quint32 rva, quint32 length, Offset &fileOffset) const;
    // The entry of a resource directory at `index`: its name or id and its offset field.
    bool directoryEntry(QByteArrayView resources, quint32 directory, quint32 index, quint32 &name,
                        quint32 &target) const;
    bool entryCount(QByteArrayView resources, quint32 directory, quint32 &count) const;

    QByteArrayView FImage;
    Offset FSections = 0;
    quint16 FSectionCount = 0;
    quint32 FResourceRva = 0;
};

bool PeImage::readHeaders()
{
    quint16 mz = 0;
    quint32 peOffset = 0;
    if (!readU16(FImage, 0, mz) || mz != 0x5A4D || !readU32(FImage, 0x3C, peOffset))
        return false;
    quint32 signature = 0;
    if (!readU32(FImage, peOffset, signature) || signature != kPeSignature)
        return false;
    const Offset coff = Offset(peOffset) + 4;
    quint16 optionalSize = 0;
    if (!readU16(FImage, coff + 2, FSectionCount) || !readU16(FImage, coff + 16, optionalSize))
        return false;
    const Offset optional = coff + 20;
    quint16 magic = 0;
    if (!readU16(FImage, optional, magic))
        return false;
    Offset countField = 0;
    Offset directories = 0;
    if (magic == kMagicPe32) {
        countField = 92;
        directories = 96;
    } else if (magic == kMagicPe32Plus) {
        countField = 108;
        directories = 112;
    } else {
        return false;
    }
    const Offset resourceEntry = directories + kResourceDirectory * 8;
    quint32 directoryCount = 0;
    if (resourceEntry + 8 > optionalSize || !readU32(FImage, optional + countField, directoryCount) ||
        directoryCount <= kResourceDirectory || !readU32(FImage, optional + resourceEntry, FResourceRva))
        return false;
    FSections = optional + optionalSize;
    return FResourceRva != 0 && FSections + FSectionCount * kSectionHeaderSize <= FImage.size();
}

bool PeImage::section(quint16 index, Section &out) const
{
    const Offset header = FSections + index * kSectionHeaderSize;
    return readU32(FImage, header + 12, out.address) && readU32(FImage, header + 16, out.rawSize) &&
           readU32(FImage, header + 20, out.rawPointer);
}

bool PeImage::findSection(quint32 rva, Section &out) const
{
    for (quint16 i = 0; i < FSectionCount; ++i) {
        if (!section(i, out))
            return false;
        if (rva >= out.address && Offset(rva) - out.address < out.rawSize)
            return true;
    }
    return false;
}

bool PeImage::mapRva(quint32 rva, quint32 length, Offset &fileOffset) const
{
    Section s;
    if (!findSection(rva, s))
        return false;
    const Offset inSection = Offset(rva) - s.address;
    if (Offset(length) > Offset(s.rawSize) - inSection)
        return false;
    fileOffset = Offset(s.rawPointer) + inSection;
    return fileOffset + length <= FImage.size();
}

bool PeImage::entryCount(QByteArrayView resources, quint32 directory, quint32 &count) const
{
    quint16 named = 0, ids = 0;
    if (!readU16(resources, Offset(directory) + 12, named) || !readU16(resources, Offset(directory) + 14, ids))
        return false;
    count = quint32(named) + ids;
    return true;
}

bool PeImage::directoryEntry(QByteArrayView resources, quint32 directory, quint32 index, quint32 &name,
                             quint32 &target) const
{
    const Offset entry = Offset(directory) + 16 + Offset(index) * 8;
    return readU32(resources, entry, name) && readU32(resources, entry + 4, target);
}

// Language ids of resources, in the order the loader prefers them when a file has several.
constexpr quint32 kLangDutch = 0x0413;
constexpr quint32 kLangEnglish = 0x0409;

QByteArrayView PeImage::versionResource() const
{
    // The resource tree is read within the raw data of the section that holds its root.
    Section s;
    Offset root = 0;
    if (!mapRva(FResourceRva, 16, root) || !findSection(FResourceRva, s))
        return {};
    const Offset end = qMin(Offset(s.rawPointer) + s.rawSize, Offset(FImage.size()));
    const QByteArrayView resources = FImage.sliced(root, end - root);

    // Level 1: the type RT_VERSION, an id entry whose target is a sub-directory.
    quint32 count = 0, name = 0, target = 0;
    if (!entryCount(resources, 0, count))
        return {};
    bool found = false;
    for (quint32 i = 0; i < count && !found; ++i) {
        if (!directoryEntry(resources, 0, i, name, target))
            return {};
        found = (name & kHighBit) == 0 && name == kRtVersion;
    }
    if (!found || (target & kHighBit) == 0)
        return {};
    const quint32 names = target & ~kHighBit;

    // Level 2: the first name; level 3: its language, which points at a data entry.
    if (!entryCount(resources, names, count) || count == 0 || !directoryEntry(resources, names, 0, name, target) ||
        (target & kHighBit) == 0)
        return {};
    const quint32 languages = target & ~kHighBit;
    if (!entryCount(resources, languages, count) || count == 0)
        return {};
    // A file with the resource in several languages: the one the system's loader would take on
    // the installations' machines, language-neutral first, then Dutch, then English, else the
    // first listed.
    quint32 chosen = 0;
    int rank = 4;
    for (quint32 i = 0; i < count; ++i) {
        quint32 language = 0, ignored = 0;
        if (!directoryEntry(resources, languages, i, language, ignored))
            return {};
        const quint32 primary = language & 0xFFFF;
        const int r = primary == 0 ? 0 : primary == kLangDutch ? 1 : primary == kLangEnglish ? 2 : 3;
        if (r < rank) {
            rank = r;
            chosen = i;
        }
    }
    if (!directoryEntry(resources, languages, chosen, name, target) || (target & kHighBit) != 0)
        return {};

    quint32 dataRva = 0, dataSize = 0;
    Offset data = 0;
    if (!readU32(resources, target, dataRva) || !readU32(resources, Offset(target) + 4, dataSize) ||
        !mapRva(dataRva, dataSize, data))
        return {};
    return FImage.sliced(data, dataSize);
}

// ---- VS_VERSIONINFO tree --------------------------------------------------------------------

constexpr Offset kNodeHeader = 6;
constexpr quint16 kTextType = 1;

struct Node
{
    Offset end = 0;
    quint16 valueLength = 0;
    quint16 type = 0;
    Offset keyStart = 0;
    qsizetype keyLength = 0; // in UTF-16 code units, without the terminating zero
    Offset valueStart = 0;
    Offset valueBytes = 0; // as stored, limited to the node
    Offset children = 0;
};

// Reads the node at `start`, which must lie within `limit`. Alignment is counted from the
// start of the block, as the block itself starts on a 32-bit boundary.
bool readNode(QByteArrayView block, Offset start, Offset limit, Node &node)
{
    quint16 length = 0;
    if (start + kNodeHeader > limit || !readU16(block, start, length) || length < kNodeHeader ||
        start + length > limit || !readU16(block, start + 2, node.valueLength) || !readU16(block, start + 4, node.type))
        return false;
    node.end = start + length;
    node.keyStart = start + kNodeHeader;
    Offset at = node.keyStart;
    quint16 unit = 1;
    while (at + 2 <= node.end && readU16(block, at, unit) && unit != 0)
        at += 2;
    if (unit != 0 || at + 2 > node.end)
        return false; // key without its terminating zero
    node.keyLength = qsizetype((at - node.keyStart) / 2);
    node.valueStart = qMin(align4(at + 2), node.end);
    const Offset claimed = node.type == kTextType ? Offset(node.valueLength) * 2 : Offset(node.valueLength);
    node.valueBytes = qMin(claimed, node.end - node.valueStart);
    node.children = qMin(align4(node.valueStart + node.valueBytes), node.end);
    return true;
}

bool keyEquals(QByteArrayView block, const Node &node, QStringView key)
{
    if (node.keyLength != key.size())
        return false;
    for (qsizetype i = 0; i < key.size(); ++i) {
        const QChar unit(qFromLittleEndian<quint16>(block.data() + node.keyStart + 2 * i));
        if (unit.toCaseFolded() != key[i].toCaseFolded())
            return false;
    }
    return true;
}

// Visits the children of `parent` in order until `visit` returns true; stops at the first
// malformed child. Every step advances by at least a node header, so the loop ends.
template <typename Visit> bool forEachChild(QByteArrayView block, const Node &parent, Visit visit)
{
    Offset at = parent.children;
    Node child;
    while (at + kNodeHeader <= parent.end && readNode(block, at, parent.end, child)) {
        if (visit(child))
            return true;
        at = align4(child.end);
    }
    return false;
}

bool findChild(QByteArrayView block, const Node &parent, QStringView key, Node &found)
{
    return forEachChild(block, parent, [&](const Node &child) {
        if (!keyEquals(block, child, key))
            return false;
        found = child;
        return true;
    });
}

// Text values under StringFileInfo are counted in characters whatever their type says.
qsizetype textLength(const Node &node)
{
    return qsizetype(node.valueBytes / 2);
}

Offset ansiArea(Offset resourceLength)
{
    return align4(resourceLength);
}

Offset blockSizeFor(Offset resourceLength)
{
    return ansiArea(resourceLength) + resourceLength / 2 + 4;
}

quint16 rootLength(QByteArrayView resource)
{
    quint16 length = 0;
    if (!readU16(resource, 0, length) || length < kNodeHeader || length > resource.size())
        return 0;
    return length;
}

const QString &stringFileInfoKey()
{
    static const QString key = QStringLiteral("StringFileInfo");
    return key;
}

} // namespace

QByteArrayView findVersionResource(QByteArrayView image)
{
    PeImage pe(image);
    if (!pe.readHeaders())
        return {};
    return pe.versionResource();
}

qsizetype infoBlockSize(QByteArrayView resource)
{
    const quint16 length = rootLength(resource);
    return length == 0 ? 0 : qsizetype(blockSizeFor(length));
}

bool buildInfoBlock(QByteArrayView resource, char *block, qsizetype size)
{
    const qsizetype needed = infoBlockSize(resource);
    if (needed == 0 || size < needed)
        return false;
    const quint16 length = rootLength(resource);
    std::memset(block, 0, size_t(size));
    std::memcpy(block, resource.data(), length);

    // Make the ANSI copies of the text values, as the platform's ANSI functions hand them out.
    const QByteArrayView tree(block, length);
    const Offset ansi = ansiArea(length);
    Node root;
    if (!readNode(tree, 0, length, root))
        return true; // queries fail on it alike
    forEachChild(tree, root, [&](const Node &info) {
        if (!keyEquals(tree, info, stringFileInfoKey()))
            return false;
        forEachChild(tree, info, [&](const Node &table) {
            forEachChild(tree, table, [&](const Node &value) {
                const qsizetype count = textLength(value);
                if (count == 0)
                    return false;
                QString text(count, Qt::Uninitialized);
                for (qsizetype i = 0; i < count; ++i)
                    text[i] = QChar(qFromLittleEndian<quint16>(tree.data() + value.valueStart + 2 * i));
                const QByteArray encoded = ansi::encode(text);
                // value.valueStart + 2 * count <= length, so the copy and its zero stay in the block.
                std::memcpy(block + ansi + value.valueStart / 2, encoded.constData(), size_t(count));
                block[ansi + value.valueStart / 2 + count] = '\0';
                return false;
            });
            return false;
        });
        return false;
    });
    return true;
}

QByteArrayView infoBlockView(const void *block)
{
    const char *bytes = static_cast<const char *>(block);
    const quint16 length = qFromLittleEndian<quint16>(bytes);
    if (length < kNodeHeader)
        return {};
    return QByteArrayView(bytes, qsizetype(blockSizeFor(length)));
}

bool queryInfoBlock(QByteArrayView block, QStringView subBlock, QByteArrayView &value)
{
    quint16 length = 0;
    if (!readU16(block, 0, length) || length < kNodeHeader || blockSizeFor(length) > block.size())
        return false;
    const QByteArrayView tree = block.first(length);
    Node node;
    if (!readNode(tree, 0, length, node))
        return false;

    int depth = 0;
    bool underStrings = false;
    for (QStringView key : subBlock.tokenize(u'\\', Qt::SkipEmptyParts)) {
        Node child;
        if (!findChild(tree, node, key, child))
            return false;
        if (depth == 0)
            underStrings = key.compare(stringFileInfoKey(), Qt::CaseInsensitive) == 0;
        node = child;
        ++depth;
    }
    if (underStrings && depth == 3) {
        const Offset ansi = ansiArea(length) + node.valueStart / 2;
        value = block.sliced(ansi, textLength(node));
    } else {
        value = tree.sliced(node.valueStart, node.valueBytes);
    }
    return true;
}

} // namespace klv::verinfo
