// Applies arbitrary bytes as a patch to arbitrary bytes as the earlier file, and stops the run when
// a patch is accepted that did not make exactly the length asked for, or when more is written.
//
// Input: u16 little-endian n, then n bytes of base, then the patch. The length asked for is the one
// the patch's own header names (so that fuzzing gets past that check), unless the input is too short
// to hold it.

#include "delta/FilePatch.h"
#include "platform/Sha256.h"

#include <QBuffer>
#include <QtEndian>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_patch: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t baseLength = std::min<size_t>(qFromLittleEndian<quint16>(data), size - 2);
    QByteArray base(reinterpret_cast<const char *>(data + 2), qsizetype(baseLength));
    QByteArray patch(reinterpret_cast<const char *>(data + 2 + baseLength), qsizetype(size - 2 - baseLength));
    qint64 expected = 0;
    if (patch.size() >= 28)
        expected = qint64(qFromLittleEndian<quint64>(patch.constData() + 20) & 0xffffff); // small: no huge claims
    QBuffer baseDevice(&base), patchDevice(&patch);
    QByteArray written;
    QBuffer result(&written);
    baseDevice.open(QIODevice::ReadOnly);
    patchDevice.open(QIODevice::ReadOnly);
    result.open(QIODevice::WriteOnly);
    try {
        const klv::delta::Applied applied = klv::delta::applyPatch(baseDevice, patchDevice, result, expected);
        require(applied.length == expected, "accepted with another length");
        require(written.size() == expected, "wrote another length than it reports");
        require(applied.sha256 == klv::Sha256::hash(written), "digest of something else");
    } catch (const klv::Exception &) {
        // Refused: what was written is thrown away by the caller, but never more than asked for.
        require(written.size() <= expected, "wrote past the length asked for");
    }
    return 0;
}
