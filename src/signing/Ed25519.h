#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Ed25519 signatures (detached), and the text form of the maker's key files.
namespace klv::signing {

constexpr qsizetype kPublicKeySize = 32;
constexpr qsizetype kSeedSize = 32; // the secret key file holds the seed the key pair grows from
constexpr qsizetype kSignatureSize = 64;

struct KeyPair
{
    QByteArray publicKey;
    QByteArray seed;
};

KeyPair generateKeyPair();
QByteArray publicKeyOf(const QByteArray &seed);
QByteArray sign(const QByteArray &message, const QByteArray &seed);
// False for a signature or key of the wrong size as well.
bool verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey);

// Key files: one line "<label> <64 hex digits>", so that a public and a secret key are not
// mistaken for each other.
QByteArray publicKeyFileText(const QByteArray &publicKey);
QByteArray secretKeyFileText(const QByteArray &seed);
std::optional<QByteArray> readPublicKeyText(const QByteArray &text);
std::optional<QByteArray> readSecretKeyText(const QByteArray &text);

// A key as 64 hex digits and back (the build's built-in keys are given that way).
std::optional<QByteArray> keyFromHex(QByteArrayView hex);

} // namespace klv::signing
