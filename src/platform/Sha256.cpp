#include "Sha256.h"

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KLV_SHA_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace klv {

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

uint32_t loadBigEndian(const unsigned char *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void portableBlocks(uint32_t state[8], const unsigned char *blocks, size_t count)
{
    for (; count > 0; --count, blocks += 64) {
        uint32_t w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = loadBigEndian(blocks + 4 * t);
#pragma GCC unroll 16
        for (int t = 16; t < 64; ++t) {
            const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
#pragma GCC unroll 8
        for (int t = 0; t < 64; ++t) {
            const uint32_t t1 =
                h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRoundConstants[t] + w[t];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef KLV_SHA_EXTENSIONS
// The SHA extensions keep the state as the word pairs ABEF and CDGH and do two rounds per
// instruction; the message schedule is four words per vector, W[g] from W[g-4..g-1].
__attribute__((target("sha,sse4.1,ssse3"))) void extensionBlocks(uint32_t state[8], const unsigned char *blocks,
                                                                 size_t count)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i w[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            __m128i &current = w[g & 3];
            if (g < 4) {
                current =
                    _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks + 16 * g)), byteSwap);
            } else {
                // current holds W[g-4] until it is replaced.
                const __m128i &w3 = w[(g - 3) & 3], &w2 = w[(g - 2) & 3], &w1 = w[(g - 1) & 3];
                current = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(current, w3), _mm_alignr_epi8(w1, w2, 4)), w1);
            }
            const __m128i message =
                _mm_add_epi32(current, _mm_loadu_si128(reinterpret_cast<const __m128i *>(kRoundConstants + 4 * g)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), hgfe);
}
#endif

} // namespace

bool Sha256::hasShaExtensions()
{
#ifdef KLV_SHA_EXTENSIONS
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(1, &a, &b, &c, &d))
            return false;
        const bool sse41 = (c & bit_SSE4_1) != 0, ssse3 = (c & bit_SSSE3) != 0;
        if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
            return false;
        return sse41 && ssse3 && (b & bit_SHA) != 0;
    }();
    return has;
#else
    return false;
#endif
}

Sha256::Sha256(Engine engine) : FBlocks(&portableBlocks)
{
#ifdef KLV_SHA_EXTENSIONS
    if (engine == Engine::Fastest && hasShaExtensions())
        FBlocks = &extensionBlocks;
#else
    (void)engine;
#endif
    reset();
}

void Sha256::reset()
{
    std::memcpy(FState, kInitialState, sizeof FState);
    FBuffered = 0;
    FTotal = 0;
}

void Sha256::add(const char *data, size_t length)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    FTotal += length;
    if (FBuffered > 0) {
        const size_t take = std::min(length, sizeof FBuffer - FBuffered);
        std::memcpy(FBuffer + FBuffered, bytes, take);
        FBuffered += take;
        bytes += take;
        length -= take;
        if (FBuffered < sizeof FBuffer)
            return;
        FBlocks(FState, FBuffer, 1);
        FBuffered = 0;
    }
    if (length >= 64) {
        FBlocks(FState, bytes, length / 64);
        bytes += length / 64 * 64;
        length %= 64;
    }
    if (length > 0) {
        std::memcpy(FBuffer, bytes, length);
        FBuffered = length;
    }
}

QByteArray Sha256::result()
{
    const uint64_t bits = FTotal * 8;
    unsigned char tail[128] = {};
    std::memcpy(tail, FBuffer, FBuffered);
    tail[FBuffered] = 0x80;
    const size_t tailLength = FBuffered < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i)
        tail[tailLength - 1 - size_t(i)] = static_cast<unsigned char>(bits >> (8 * i));
    FBlocks(FState, tail, tailLength / 64);
    QByteArray digest(32, Qt::Uninitialized);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<char>(FState[i] >> (24 - 8 * j));
    reset();
    return digest;
}

QByteArray Sha256::hash(const QByteArray &bytes)
{
    Sha256 hasher;
    hasher.add(bytes);
    return hasher.result();
}

} // namespace klv
