#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtEndian>
#include <cstddef>
#include <cstdint>
#include <type_traits>

class QIODevice;

// The .zlb container: file data, then the registry (one record per file), then a fixed trailer
// at the very end. All integers are little-endian; every position is absolute from the start of
// the file and fits an int32.
namespace klv::zlb {

constexpr qsizetype kTextWidth = 256;
constexpr int kMaxTextLength = 255;

// Length-prefixed text of the maker's code page: length byte, characters, filler.
struct TZLBText
{
    uint8_t Length;
    uint8_t Chars[kTextWidth - 1];
};

struct TZLBTrailer
{
    quint32_le ArchiveCRC; // CRC-32 of every byte before the trailer
    qint32_le FileCount;   // zero or negative: empty registry
    uint8_t Unused1[8];
    qint32_le RegistryOffset;
    uint8_t RegistryCompressed; // non-zero: the registry is one zlib stream
    uint8_t Unused2[15];
};

struct TZLBFileEntry
{
    TZLBText FileName; // without directory
    TZLBText FilePath; // directory below the destination, '\' separated, may be empty
    qint32_le Size;    // content length after decompression
    uint8_t Unused1[4];
    qint32_le Offset; // position of the data
    quint32_le CRC;   // CRC-32 of the content
    uint8_t Stored;   // non-zero: content as it is; zero: one zlib stream
    uint8_t Unused2[3];
};

constexpr qsizetype kTrailerSize = 36;
constexpr qsizetype kEntrySize = 532;

// The records are copied to and from the file as they are, so their layout is the file's.
static_assert(sizeof(TZLBText) == kTextWidth);
static_assert(sizeof(TZLBTrailer) == kTrailerSize);
static_assert(offsetof(TZLBTrailer, FileCount) == 4);
static_assert(offsetof(TZLBTrailer, RegistryOffset) == 16);
static_assert(offsetof(TZLBTrailer, RegistryCompressed) == 20);
static_assert(sizeof(TZLBFileEntry) == kEntrySize);
static_assert(offsetof(TZLBFileEntry, FilePath) == 256);
static_assert(offsetof(TZLBFileEntry, Size) == 512);
static_assert(offsetof(TZLBFileEntry, Offset) == 520);
static_assert(offsetof(TZLBFileEntry, CRC) == 524);
static_assert(offsetof(TZLBFileEntry, Stored) == 528);
static_assert(std::is_trivially_copyable_v<TZLBTrailer> && std::is_trivially_copyable_v<TZLBFileEntry>);

// The standard CRC-32 (reflected polynomial 0xEDB88320), continued from `crc`; 0 starts it.
quint32 crc32(quint32 crc, const void *data, qsizetype length);
quint32 crc32(QByteArrayView bytes);

// CRC-32 of the device from its start up to `skip` bytes before its end; the position is kept.
quint32 deviceCrc(QIODevice &device, qint64 skip);

QString decodeText(const TZLBText &text);
// Throws klv::Exception when the text is longer than 255 characters or not representable in
// the code page; the filler is zero.
void encodeText(TZLBText &field, const QString &text);

// Names that stay inside the destination folder: a file name is one plain component; a path is
// relative, without drive, stream or parent components. Both refuse control characters.
bool isSafeFileName(const QString &name);
bool isSafeFilePath(const QString &path);

} // namespace klv::zlb
