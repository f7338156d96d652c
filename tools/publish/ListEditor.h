#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace klv::publish {

// The list with every section of `release` (KLV<n>, SQL<n>, CMD<n>, PATCH<n>, in any case, each time it
// occurs) taken out and `sections` (CR LF lines) put where the first of them stood, or at the end.
// The [SHA256] and [SIGNED] sections go as well: the list has to be signed again. Every other line
// stays byte for byte (earlier releases, comments, a byte-order mark), ended by CR LF.
QByteArray withReleaseSections(QByteArrayView list, int release, const QString &sections);

} // namespace klv::publish
