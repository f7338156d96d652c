#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testsupport {

// Writes bytes to a file, creating folders; fails the test on error.
void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
// Runs a program to completion; returns its exit code, with standard output and error in `output`.
int run(const QString &program, const QStringList &args, QByteArray *output = nullptr, int timeoutMs = 60000);
// Folder of the shell helpers beside the tests (KLV_TEST_TOOLS_DIR).
QString toolsDir();

} // namespace testsupport
