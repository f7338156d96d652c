#pragma once

#include <QList>
#include <QSslCertificate>

class QNetworkReply;

namespace klv {

// Trust in certificate authorities that the program adds itself (HttpClient::addCaCertificate),
// checked with the system's own chain building. Schannel gets such authorities from Qt as a
// certificate-only PFX, which some implementations of the Windows API do not import (Wine's
// PFXImportCertStore needs a private key); the handshake then reports the issuer as missing.
// This check lets those errors pass when, and only when, the peer's chain leads to one of the
// added authorities and is valid for the host.

// Lets the reply's certificate errors pass when they only say that the issuer is not trusted
// and the peer's chain builds to one of `authorities` as its root, with no fault but that root
// being unknown to the system, and the SSL policy holds for the reply's host.
void acceptAddedAuthorities(QNetworkReply *reply, const QList<QSslCertificate> &authorities);

} // namespace klv
