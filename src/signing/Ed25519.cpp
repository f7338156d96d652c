#include "Ed25519.h"

#include <QList>

#include <sodium.h>

#include <stdexcept>

namespace klv::signing {

namespace {

const QByteArray kPublicLabel = QByteArrayLiteral("klv-ed25519-public");
const QByteArray kSecretLabel = QByteArrayLiteral("klv-ed25519-secret");

void ensureLibrary()
{
    static const bool ready = sodium_init() >= 0;
    if (!ready)
        throw std::runtime_error("libsodium could not be initialised");
}

const unsigned char *bytes(const QByteArray &a)
{
    return reinterpret_cast<const unsigned char *>(a.constData());
}

std::optional<QByteArray> readKeyText(const QByteArray &text, const QByteArray &label)
{
    const QList<QByteArray> words = text.simplified().split(' ');
    if (words.size() != 2 || words[0] != label)
        return std::nullopt;
    return keyFromHex(words[1]);
}

} // namespace

std::optional<QByteArray> keyFromHex(QByteArrayView hex)
{
    if (hex.size() != 2 * kPublicKeySize)
        return std::nullopt;
    for (const char c : hex)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return std::nullopt;
    return QByteArray::fromHex(hex.toByteArray());
}

KeyPair generateKeyPair()
{
    ensureLibrary();
    KeyPair pair{QByteArray(kPublicKeySize, Qt::Uninitialized), QByteArray(kSeedSize, Qt::Uninitialized)};
    randombytes_buf(pair.seed.data(), size_t(kSeedSize));
    pair.publicKey = publicKeyOf(pair.seed);
    return pair;
}

QByteArray publicKeyOf(const QByteArray &seed)
{
    ensureLibrary();
    if (seed.size() != kSeedSize)
        throw std::invalid_argument("an Ed25519 seed has 32 bytes");
    QByteArray publicKey(kPublicKeySize, Qt::Uninitialized);
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicKey.data()), secret, bytes(seed));
    sodium_memzero(secret, sizeof secret);
    return publicKey;
}

QByteArray sign(const QByteArray &message, const QByteArray &seed)
{
    ensureLibrary();
    if (seed.size() != kSeedSize)
        throw std::invalid_argument("an Ed25519 seed has 32 bytes");
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secret, bytes(seed));
    QByteArray signature(kSignatureSize, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr, bytes(message),
                         static_cast<unsigned long long>(message.size()), secret);
    sodium_memzero(secret, sizeof secret);
    return signature;
}

bool verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey)
{
    ensureLibrary();
    if (signature.size() != kSignatureSize || publicKey.size() != kPublicKeySize)
        return false;
    return crypto_sign_verify_detached(bytes(signature), bytes(message),
                                       static_cast<unsigned long long>(message.size()), bytes(publicKey)) == 0;
}

QByteArray publicKeyFileText(const QByteArray &publicKey)
{
    return kPublicLabel + ' ' + publicKey.toHex() + '\n';
}

QByteArray secretKeyFileText(const QByteArray &seed)
{
    return kSecretLabel + ' ' + seed.toHex() + '\n';
}

std::optional<QByteArray> readPublicKeyText(const QByteArray &text)
{
    return readKeyText(text, kPublicLabel);
}

std::optional<QByteArray> readSecretKeyText(const QByteArray &text)
{
    return readKeyText(text, kSecretLabel);
}

} // namespace klv::signing
