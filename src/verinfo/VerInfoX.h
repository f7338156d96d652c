#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>

// Portable reading of version resources: the PE file's resource directory and the
// VS_VERSIONINFO tree inside it. Everything works on bytes in memory and treats them as hostile:
// every offset and length is checked, loops are bounded, nothing recurses.
//
// An info block, as the file version functions hand it out, is the version resource copied
// unchanged, followed (at the next 32-bit boundary) by room for ANSI copies of its text values:
// the value that starts at byte offset o of the resource has its copy at o / 2 of that room,
// zero-terminated. Queries return pointers into the block, as the platform's functions do.
namespace klv::verinfo {

constexpr quint16 kRtVersion = 16;

// The first version resource (first name, first language) of a PE32 or PE32+ image; empty when
// the image has none or is malformed.
QByteArrayView findVersionResource(QByteArrayView image);

// Size of the info block for a version resource; 0 when the resource is not usable (its root
// header is missing or claims more bytes than the resource has).
qsizetype infoBlockSize(QByteArrayView resource);

// Fills `block` (infoBlockSize(resource) bytes or more) with the info block. False when the
// resource is not usable or the buffer is too small.
bool buildInfoBlock(QByteArrayView resource, char *block, qsizetype size);

// An info block made by buildInfoBlock, as far as its own header says it reaches. Like the
// platform's query function this trusts that the pointer came from there.
QByteArrayView infoBlockView(const void *block);

// Looks up a sub-block path ("\" for the fixed file information, "\VarFileInfo\Translation",
// "\StringFileInfo\041304E4\FileVersion") in an info block. Keys compare without case. Text values
// under StringFileInfo come back as their zero-terminated ANSI copy with their length in
// characters; all others as their stored bytes.
bool queryInfoBlock(QByteArrayView block, QStringView subBlock, QByteArrayView &value);

} // namespace klv::verinfo
