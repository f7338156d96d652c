#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The tool's commands; each returns the exit status or throws (UsageError: 2, anything else: 1).
namespace klv::publish {

int keygen(const QStringList &args);
int release(const QStringList &args);
int sign(const QStringList &args);
int verify(const QStringList &args);

// The key of a file that keygen wrote. Throws Exception naming the file when it holds another.
QByteArray readSecretKeyFile(const QString &path);
QByteArray readPublicKeyFile(const QString &path);

// Throws UsageError unless `name` is a list name that the updater asks for and sign finds:
// whatsnew<customer key>.klv, a plain file name.
void checkListName(const QString &name);

} // namespace klv::publish
