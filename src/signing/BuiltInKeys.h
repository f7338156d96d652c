#pragma once

#include <QByteArray>
#include <QList>

namespace klv {

// The maker's public keys that this build trusts (at most two, so that a key can be rolled over),
// fixed when the build is configured (KLV_PUBLIC_KEYS). Empty: a build that verifies nothing.
QList<QByteArray> builtInPublicKeys();

} // namespace klv
