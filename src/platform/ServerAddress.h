#pragma once

#include <QString>

// The update server's base address (scheme and host, no trailing slash). The build stores it
// scrambled so that it is not among the program's readable strings; it is unscrambled only at
// the moment a request needs it and is never shown.
//
// Stored form: a fixed-length filler, then every printable 7-bit character of the address
// rotated within the printable range by a shift that depends on its position, the length of
// the stored text and a key. Other characters pass unchanged. ServerAddress.cmake makes the
// same form at configure time; both must change together.
namespace klv {

// The built-in address in its stored form.
QString scrambledServerBase();
QString scrambleServerBase(const QString &plain);
QString unscrambleServerBase(const QString &scrambled);
// The stored form the window keeps: KLV_UPDATE_SERVER scrambled when it is set, else the
// built-in one.
QString storedServerBase();
// KLV_UPDATE_SERVER when set (tests, demonstrations, a test server), else the built-in address.
QString serverBase();

} // namespace klv
