#pragma once

#include <QString>
#include <cstdint>

// Number conversions with the runtime's rules: leading blanks, an optional sign, decimal digits or
// '$' followed by hexadecimal digits, and nothing after them.
namespace klv {

// Throws EConvertError("'text' is not a valid integer value").
int32_t strToInt(const QString &text);
int32_t strToIntDef(const QString &text, int32_t fallback);
bool tryStrToInt(const QString &text, int32_t &value);

} // namespace klv

namespace klv {

// Removes leading and trailing blanks and every other character below the space.
QString trimControl(const QString &text);

} // namespace klv
