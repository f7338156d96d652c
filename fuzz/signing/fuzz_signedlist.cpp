// Signed package lists come from the update server: any bytes must read as a seal or as a reason,
// never crash, and a seal must survive being written back (what the maker's tool does). The last
// 64 bytes also go to the verifier as a signature, which must refuse them.
#include "platform/Exceptions.h"
#include "signing/Ed25519.h"
#include "signing/ListSeal.h"
#include "signing/ListVerifier.h"

#include <cstdint>
#include <cstdlib>

using namespace klv::signing;

namespace {
bool sameSeal(const ListSeal &a, const ListSeal &b)
{
    if (a.serial != b.serial || a.expires != b.expires || a.list != b.list || a.files.size() != b.files.size())
        return false;
    for (qsizetype i = 0; i < a.files.size(); ++i)
        if (a.files[i].path != b.files[i].path || a.files[i].sha256 != b.files[i].sha256 ||
            a.files[i].length != b.files[i].length)
            return false;
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const SealReading reading = readSeal(input);
    if (reading.seal.has_value() == !reading.problem.isEmpty())
        std::abort();
    if (reading.seal) {
        for (const FileDigest &file : reading.seal->files)
            if (file.sha256.size() != 32 || file.length < 0 || file.path.isEmpty() || file.path.startsWith(u'/') ||
                reading.seal->find(file.path) != &file)
                std::abort();
        if (!reading.seal->expires.isValid())
            std::abort();
        // Written back and read again: the same seal, and writing is stable.
        const QByteArray sealed = withSeal(input, *reading.seal);
        const SealReading again = readSeal(sealed);
        if (!again.seal || !sameSeal(*again.seal, *reading.seal) || withSeal(sealed, *reading.seal) != sealed)
            std::abort();
    }
    // A made-up signature over the rest is never a valid one.
    static const QByteArray key = generateKeyPair().publicKey;
    ListVerifier verifier({key}, QString());
    const qsizetype split = std::max<qsizetype>(0, input.size() - kSignatureSize);
    try {
        verifier.acceptList(QStringLiteral("l"), input.left(split), input.mid(split), QString(), QDate(2026, 1, 1));
        std::abort();
    } catch (const klv::Exception &) {
    }
    return 0;
}
