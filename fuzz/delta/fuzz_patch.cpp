// Applies arbitrary bytes as a patch to arbitrary bytes as the earlier file, and stops the run when
// a patch is accepted that did not make exactly the length asked for, or when more is written.
//
// Input: u16 little-endian n, then n bytes of base, then the patch. The length asked for is the one
// the patch's own header names (so that fuzzing gets past that check), unless the input is too short
// to hold it.

#include "ApplyChecked.h"

#include <QtEndian>

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
    klv::fuzz::applyChecked(base, patch, expected);
    return 0;
}
