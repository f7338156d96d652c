#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace klv {

// SHA-256 over data that arrives in pieces (a download, a file read in blocks). On processors
// with the SHA extensions the blocks go through them, several times faster than the portable
// code, so that hashing keeps pace with a transfer on a fast line.
class Sha256
{
public:
    enum class Engine
    {
        Fastest, // the SHA extensions when the processor has them, else the portable code
        Portable
    };

    explicit Sha256(Engine engine = Engine::Fastest);

    void add(const char *data, size_t length);
    void add(const QByteArray &bytes) { add(bytes.constData(), size_t(bytes.size())); }
    // The 32-byte digest; the hasher starts over afterwards.
    QByteArray result();

    static QByteArray hash(const QByteArray &bytes);
    // Whether this processor offers the SHA extensions (and the code was built to use them).
    static bool hasShaExtensions();

    using BlockFunction = void (*)(uint32_t state[8], const unsigned char *blocks, size_t count);

private:
    void reset();

    BlockFunction FBlocks;
    uint32_t FState[8];
    unsigned char FBuffer[64];
    size_t FBuffered = 0;
    uint64_t FTotal = 0;
};

} // namespace klv
