#pragma once
// What both patch fuzzers check: a patch applied to a base is either accepted with exactly the
// length asked for, the bytes written and their digest, or refused having written no more than
// that length. Anything else stops the run.

#include "delta/FilePatch.h"
#include "platform/Sha256.h"

#include <QBuffer>
#include <cstdio>
#include <cstdlib>

namespace klv::fuzz {

inline void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}

inline void applyChecked(QByteArray base, QByteArray patch, qint64 expected)
{
    QBuffer baseDevice(&base), patchDevice(&patch);
    QByteArray written;
    QBuffer result(&written);
    baseDevice.open(QIODevice::ReadOnly);
    patchDevice.open(QIODevice::ReadOnly);
    result.open(QIODevice::WriteOnly);
    try {
        const delta::Applied applied = delta::applyPatch(baseDevice, patchDevice, result, expected);
        require(applied.length == expected, "accepted with another length");
        require(written.size() == expected, "wrote another length than it reports");
        require(applied.sha256 == Sha256::hash(written), "digest of something else");
    } catch (const Exception &) {
        // Refused: what was written is thrown away by the caller, but never more than asked for.
        require(written.size() <= expected, "wrote past the length asked for");
    }
}

} // namespace klv::fuzz
