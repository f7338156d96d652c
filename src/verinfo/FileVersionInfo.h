#pragma once

#include <QString>

// The platform's three file version functions. On Windows they are the Win32 calls (given only
// files whose version resource the bounds-checked reader finds whole); elsewhere
// the version resource is read from the PE file by VerInfoX, with file names looked up without
// case as the target systems do.
namespace klv::verinfo {

// GetFileVersionInfoSizeA: the size of the info block, 0 when the file has no version resource
// (or does not exist, or cannot be read).
quint32 getFileVersionInfoSize(const QString &fileName, quint32 *handle);
// GetFileVersionInfoA: fills `data` (`size` bytes) with the info block; false on failure.
bool getFileVersionInfo(const QString &fileName, quint32 handle, quint32 size, void *data);
// VerQueryValueA: a pointer into the block and its length (characters for text, bytes otherwise)
// when the sub-block exists. The block must come from getFileVersionInfo.
bool verQueryValue(const void *block, const QString &subBlock, const void **buffer, quint32 *length);

} // namespace klv::verinfo
