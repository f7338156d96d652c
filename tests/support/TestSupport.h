#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class QProcess;

namespace testsupport {

// Writes bytes to a file, creating folders; fails the test on error.
void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
// Runs a program to completion; returns its exit code, with standard output and error in `output`.
// True once `process` has ended, also when it ended before this call (QProcess::waitForFinished()
// says false then, which under Wine happened to quick programs); false on a time-out or when the
// program could not be started.
bool waitUntilEnded(QProcess &process, int timeoutMs);

int run(const QString &program, const QStringList &args, QByteArray *output = nullptr, int timeoutMs = 60000);
// Folder of the shell helpers beside the tests (KLV_TEST_TOOLS_DIR).
QString toolsDir();

} // namespace testsupport

namespace testsupport {

// A real PE file (pe32 or pe32+) whose version resource holds `strings` under Dutch / Windows
// code page 1252, built with the MinGW binutils through make-pe.sh. Returns false on failure.
bool makeVersionedExe(const QString &path, const QList<QPair<QString, QString>> &strings,
                      const QString &arch = QStringLiteral("pe32"));

} // namespace testsupport

namespace testsupport {

// The scrambled form of an SQL script: "X", two unused bytes, then the payload with its first
// three bytes plain and every later byte below 0x80 scrambled. Payload bytes 0x7F cannot be
// stored in this form.
QByteArray scrambleScript(const QByteArray &payload);

} // namespace testsupport
