#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

namespace klv {

// Trust in certificate authorities that the program adds itself (HttpClient::addCaCertificate),
// checked with the system's own chain building. Schannel gets such authorities from Qt as a
// certificate-only PFX, which some implementations of the Windows API do not import (Wine's
// PFXImportCertStore needs a private key); the handshake then reports the issuer as missing.
// This check lets those errors pass when, and only when, the peer's chain leads to one of the
// added authorities and is valid for the host.

// The errors that only say the issuer is not a trusted root; any other error still fails.
QList<QSslError> untrustedIssuerErrors(const QList<QSslError> &errors);

// True when `chain` (the peer's certificate first) builds to one of `authorities` as its root,
// with no fault but that root being unknown to the system, and the SSL policy holds for `host`.
bool chainLeadsToAuthority(const QList<QSslCertificate> &chain, const QList<QSslCertificate> &authorities,
                           const QString &host);

} // namespace klv
