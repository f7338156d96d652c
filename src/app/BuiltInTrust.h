#pragma once

#include <QByteArray>
#include <QList>

namespace klv {

// What a build trusts, fixed when it is configured:
// the maker's public keys (KLV_PUBLIC_KEYS; at most two, so that a key can be rolled over; none:
// a build that verifies nothing) ...
QList<QByteArray> builtInPublicKeys();
// ... and certificate authorities besides the system's for an https update server (KLV_TRUSTED_CA,
// PEM), for a maker who runs an authority of his own.
QList<QByteArray> builtInAuthorities();

} // namespace klv
