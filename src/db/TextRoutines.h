#pragma once

#include <QString>
#include <cstdint>

// Small text routines for amounts, version texts and substrings, with the runtime's 1-based
// positions where a position is returned.
namespace klv {

// The last `count` characters of the text; the whole text when count exceeds its length, an
// empty text when count is 0 or negative.
QString RightChars(const QString &text, int16_t count);

// A lenient decimal reader: an optional sign at the first position, digits, and "." or "," as
// the decimal mark. Reading stops at the first character that does not fit; never fails.
double TextToFloat(const QString &text);

// 1-based position of the n-th occurrence of `sub` in `text`; n = 0 gives the last occurrence.
// Asked for more occurrences than there are, it gives the position of the last one; 0 when
// `sub` does not occur or is empty.
int32_t PosOfNth(const QString &sub, const QString &text, uint8_t n);

// The digits of the first three numbers of a version text written one after another, as an
// integer (1.2.3.4 gives 123). Raises EConvertError when that is not an integer.
int32_t VersionMainNumber(const QString &version);
// The number after the last dot (the whole text without a dot). Raises EConvertError.
int32_t VersionBuildNumber(const QString &version);

// Compares two version texts number by number: -1 when a is older, 0 when equal, 1 when newer.
// Up to four numbers of decimal digits joined by dots; missing trailing numbers count as 0.
// Anything else raises EConvertError.
int compareVersions(const QString &a, const QString &b);

} // namespace klv
