#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Files from the application's maker (package lists, scripts, premium lists, WeHave.klv,
// archive names) are in the Windows-1252 code page. Decoding and encoding are explicit so that
// the result does not depend on the locale of the machine.
namespace klv::ansi {

QString decode(QByteArrayView bytes);
// Characters outside the code page become '?', as the platform's conversion does.
QByteArray encode(QStringView text);

// A text file read as lines: CR LF, LF and lone CR all end a line; a last line without an end
// is kept. Throws EInOutError when the file cannot be read.
QStringList readLines(const QString &path);
// Writes every line followed by CR LF, replacing the file atomically. Throws EInOutError.
void writeLines(const QString &path, const QStringList &lines);

} // namespace klv::ansi
