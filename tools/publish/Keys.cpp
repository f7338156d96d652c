// The maker's signing keys: made once, the public half built into the updater.
#include "CommandLine.h"
#include "Commands.h"
#include "ServerTree.h"

#include "platform/FileOps.h"
#include "signing/Ed25519.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace klv::publish {

namespace {

constexpr qint64 kMaxKeyFile = 4096;

// The secret key goes straight into a file that only its owner can read: an atomic write would
// pass it through a temporary file with the default permissions first.
void writeSecretKey(const QString &path, const QByteArray &text)
{
    QFile file(path);
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, ownerOnly))
        throw EInOutError(QStringLiteral("Cannot create %1: %2").arg(path, file.errorString()));
    bool written = file.setPermissions(ownerOnly);
    written = written && file.write(text) == text.size() && file.flush();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        const QString reason = file.errorString();
        file.remove();
        throw EInOutError(QStringLiteral("Cannot write %1: %2").arg(path, reason));
    }
}

} // namespace

int keygen(const QStringList &args)
{
    const Options options(QStringLiteral("keygen"), args, {});
    options.expectPositional(1, QStringLiteral("the base name of the key files"));
    const QString base = options.positional().first();
    if (base.isEmpty() || base.endsWith(u'/') || base.endsWith(u'\\'))
        throw UsageError(QStringLiteral("keygen needs a base name for the key files, not a folder"));
    const QString publicPath = base + QStringLiteral(".pub");
    const QString secretPath = base + QStringLiteral(".key");
    for (const QString &path : {publicPath, secretPath})
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            throw Exception(QStringLiteral("%1 exists already; keygen never replaces a key").arg(path));
    if (!QFileInfo(secretPath).absoluteDir().exists())
        throw Exception(QStringLiteral("The folder of %1 does not exist").arg(secretPath));

    const signing::KeyPair pair = signing::generateKeyPair();
    writeSecretKey(secretPath, signing::secretKeyFileText(pair.seed));
    try {
        writeFileAtomically(publicPath, signing::publicKeyFileText(pair.publicKey));
    } catch (...) {
        QFile::remove(secretPath); // half a pair is of no use
        throw;
    }
    out(QStringLiteral("Public key: %1\nWrote %2 (for the updater's build) and %3 (secret: keep it off the "
                       "server)\n")
            .arg(QString::fromLatin1(pair.publicKey.toHex()), publicPath, secretPath));
    return 0;
}

QByteArray readSecretKeyFile(const QString &path)
{
    const QByteArray text = readSmallFile(path, kMaxKeyFile, QStringLiteral("a secret key file"));
    if (const auto seed = signing::readSecretKeyText(text))
        return *seed;
    if (signing::readPublicKeyText(text))
        throw Exception(QStringLiteral("%1 is a public key; signing needs the secret .key file").arg(path));
    throw Exception(QStringLiteral("%1 is not a secret key file made by klvpublish keygen").arg(path));
}

QByteArray readPublicKeyFile(const QString &path)
{
    const QByteArray text = readSmallFile(path, kMaxKeyFile, QStringLiteral("a public key file"));
    if (const auto key = signing::readPublicKeyText(text))
        return *key;
    if (signing::readSecretKeyText(text))
        throw Exception(QStringLiteral("%1 is a secret key; verify takes the public .pub file").arg(path));
    throw Exception(QStringLiteral("%1 is not a public key file made by klvpublish keygen").arg(path));
}

void checkListName(const QString &name)
{
    if (const QString problem = nameProblem(name); !problem.isEmpty())
        throw UsageError(QStringLiteral("--list %1: %2").arg(name, problem));
    // Spelled as the updater asks for it: a server may compare names with case.
    if (!name.startsWith(QStringLiteral("whatsnew")) || !name.endsWith(QStringLiteral(".klv")))
        throw UsageError(
            QStringLiteral("--list %1: the updater asks for whatsnew<customer key>.klv or whatsnew.klv").arg(name));
}

} // namespace klv::publish
