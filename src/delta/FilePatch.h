#pragma once

#include "platform/Exceptions.h"

#include <QByteArray>
#include <QIODevice>

#include <cstdint>

// A patch turns one exact earlier file (its base) into the file of a new release. It is a series
// of zstd frames, each making one segment of the new file with a stretch of the base as its
// reference prefix: the base is read a stretch at a time, so that applying needs a bounded amount
// of memory (kMaxPrefix + kSegment and zstd's buffers, well under 64 MB) whatever the file's size.
//
// Layout, integers little-endian:
//   "KLVPATCH"  u32 version (2, or 3 with unwinding records)  u64 base length  u64 result length  u32 segment count
//   u32 flags (1: references converted)  u32 table length  table (a zstd frame: both files'
//   layouts and the address map)
//   per segment: u64 prefix offset  u32 prefix length  u32 result length  u32 frame length  frame
// The segments' results follow each other and add up to the result length; nothing follows the
// last frame. Every frame carries its content size and zstd's checksum. Version 1, written by the
// tool of an earlier release, has neither flags nor table and is applied too.
//
// In a program file (PE or ELF) of up to 32 MB both files' references may be converted before
// compressing (References.h): the base as each prefix, the new file with the address map that
// the table carries; applying converts the result back as it is made. The layouts, read by the
// maker from the files' headers, travel in the patch, so that applying reads no header itself.
// The maker writes the smaller of the converted and the plain patch.
namespace klv::delta {

// A patch that cannot be applied: it is damaged, made for another base, or needs more than the
// limits below. Nothing is written to the result then that may be taken for complete.
class EPatchError : public Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("EPatchError"); }
};

// The part of the new file one frame makes, and the most of the base it refers to.
constexpr int64_t kSegment = 16 * 1024 * 1024;
constexpr int64_t kMaxPrefix = 32 * 1024 * 1024;
// Files above this size are not patched: the tool makes no patch and the updater fetches them
// whole (a package cannot hold 2 GiB anyway).
constexpr int64_t kMaxFileSize = int64_t(1) << 30;

struct MakeOptions
{
    int level = 19;           // zstd's compression level
    bool longDistance = true; // zstd's long-distance matching, which finds moved code far apart
    bool references = true;   // program files: references converted where that patch is smaller
};

// Writes the patch from `base` to `target` (both read from their start; `base` must be seekable)
// into `patch`. Throws EPatchError when a file is larger than kMaxFileSize, EInOutError when
// reading or writing fails.
void makePatch(QIODevice &base, QIODevice &target, QIODevice &patch, const MakeOptions &options = {});

struct Applied
{
    int64_t length = 0;
    QByteArray sha256;
};

// Applies `patch` (read sequentially) to `base` (seekable) into `result`, and returns the length
// and SHA-256 of what was written. Throws EPatchError when the patch is damaged, does not fit the
// base, or makes anything else than `expectedLength` bytes; EInOutError when writing fails.
Applied applyPatch(QIODevice &base, QIODevice &patch, QIODevice &result, int64_t expectedLength);

// Applies `patch` to `base` keeping nothing of the result but its length and SHA-256: the maker's
// check that a patch makes the file it is listed for. Throws as applyPatch does.
Applied checkPatch(QIODevice &base, QIODevice &patch, int64_t expectedLength);

} // namespace klv::delta
