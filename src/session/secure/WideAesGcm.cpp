#include "session/secure/WideAesGcm.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sodium.h>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace session::secure {

#if defined(__x86_64__)

// Every function that uses the wide instructions carries this; the rest of the program
// is built for any x86-64 processor, and available() decides at run time.
#define MIRELUNE_WIDE_AES                                                                                              \
    __attribute__((target("aes,pclmul,ssse3,sse4.1,avx2,avx512f,avx512bw,avx512vl,vaes,vpclmulqdq")))

namespace {

// 256 bytes, sixteen blocks, four to a register.
constexpr std::size_t kChunkBytes = 256;

bool processorRunsIt() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0)
        return false;
    const bool aesni = (c & (1u << 25)) != 0;
    const bool pclmul = (c & (1u << 1)) != 0;
    const bool osxsave = (c & (1u << 27)) != 0;
    if (!aesni || !pclmul || !osxsave)
        return false;
    // The operating system keeps the registers across switches: SSE, AVX, the opmask
    // registers and both parts of the 512-bit ones.
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 0xe6u) != 0xe6u)
        return false;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0)
        return false;
    const bool avx2 = (b & (1u << 5)) != 0;
    const bool avx512f = (b & (1u << 16)) != 0;
    const bool avx512bw = (b & (1u << 30)) != 0;
    const bool avx512vl = (b & (1u << 31)) != 0;
    const bool vaes = (c & (1u << 9)) != 0;
    const bool vpclmulqdq = (c & (1u << 10)) != 0;
    return avx2 && avx512f && avx512bw && avx512vl && vaes && vpclmulqdq;
}

MIRELUNE_WIDE_AES inline __m128i reverseMask() {
    return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

// A block's bytes in reverse order: GHASH's bit order, and the counter's bytes as a
// little-endian number in the lowest 32 bits.
MIRELUNE_WIDE_AES inline __m128i reversed(__m128i block) {
    return _mm_shuffle_epi8(block, reverseMask());
}

// The reduction of a 256-bit carry-less product, given as the sums of its low, middle
// and high partial products, modulo GCM's polynomial, in the reversed bit order: the
// product is shifted left by one bit first, then reduced by shifts (Gueron and
// Kounavis, "Intel Carry-Less Multiplication Instruction and its Usage for Computing the
// GCM Mode", algorithm 5).
MIRELUNE_WIDE_AES inline __m128i reduce(__m128i low, __m128i middle, __m128i high) {
    __m128i lo = _mm_xor_si128(low, _mm_slli_si128(middle, 8));
    __m128i hi = _mm_xor_si128(high, _mm_srli_si128(middle, 8));

    __m128i carryLo = _mm_srli_epi32(lo, 31);
    __m128i carryHi = _mm_srli_epi32(hi, 31);
    lo = _mm_slli_epi32(lo, 1);
    hi = _mm_slli_epi32(hi, 1);
    const __m128i across = _mm_srli_si128(carryLo, 12);
    carryHi = _mm_slli_si128(carryHi, 4);
    carryLo = _mm_slli_si128(carryLo, 4);
    lo = _mm_or_si128(lo, carryLo);
    hi = _mm_or_si128(hi, carryHi);
    hi = _mm_or_si128(hi, across);

    __m128i a = _mm_slli_epi32(lo, 31);
    __m128i b = _mm_slli_epi32(lo, 30);
    __m128i c = _mm_slli_epi32(lo, 25);
    a = _mm_xor_si128(a, b);
    a = _mm_xor_si128(a, c);
    b = _mm_srli_si128(a, 4);
    a = _mm_slli_si128(a, 12);
    lo = _mm_xor_si128(lo, a);
    __m128i d = _mm_srli_epi32(lo, 1);
    __m128i e = _mm_srli_epi32(lo, 2);
    __m128i f = _mm_srli_epi32(lo, 7);
    d = _mm_xor_si128(d, e);
    d = _mm_xor_si128(d, f);
    d = _mm_xor_si128(d, b);
    lo = _mm_xor_si128(lo, d);
    return _mm_xor_si128(hi, lo);
}

// Unreduced sums of carry-less products, as reduce() takes them.
struct Products {
    __m128i low = _mm_setzero_si128();
    __m128i middle = _mm_setzero_si128();
    __m128i high = _mm_setzero_si128();
};

MIRELUNE_WIDE_AES inline void addProduct(Products& sum, __m128i a, __m128i h) {
    sum.low = _mm_xor_si128(sum.low, _mm_clmulepi64_si128(a, h, 0x00));
    sum.high = _mm_xor_si128(sum.high, _mm_clmulepi64_si128(a, h, 0x11));
    sum.middle =
        _mm_ternarylogic_epi64(sum.middle, _mm_clmulepi64_si128(a, h, 0x01), _mm_clmulepi64_si128(a, h, 0x10), 0x96);
}

MIRELUNE_WIDE_AES inline __m128i multiply(__m128i a, __m128i b) {
    Products product;
    addProduct(product, a, b);
    return reduce(product.low, product.middle, product.high);
}

// A block in every lane (the masked form: GCC 12 warns of the plain one's undefined start).
MIRELUNE_WIDE_AES inline __m512i broadcast(__m128i block) {
    return _mm512_maskz_broadcast_i32x4(__mmask16{0xffff}, block);
}

// The four lanes xored together (the halves taken in the masked form, as above).
MIRELUNE_WIDE_AES inline __m128i lanesSum(__m512i v) {
    const __m256i half = _mm256_xor_si256(_mm512_maskz_extracti64x4_epi64(__mmask8{0xff}, v, 0),
                                          _mm512_maskz_extracti64x4_epi64(__mmask8{0xff}, v, 1));
    return _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
}

MIRELUNE_WIDE_AES inline void accumulate(__m512i& low, __m512i& middle, __m512i& high, __m512i x, __m512i h) {
    low = _mm512_xor_si512(low, _mm512_clmulepi64_epi128(x, h, 0x00));
    high = _mm512_xor_si512(high, _mm512_clmulepi64_epi128(x, h, 0x11));
    middle = _mm512_ternarylogic_epi64(middle, _mm512_clmulepi64_epi128(x, h, 0x01),
                                       _mm512_clmulepi64_epi128(x, h, 0x10), 0x96);
}

// A round key from the one two steps back and the key-generation assist of the one
// before it: its last word (rotated, substituted, with the round constant) for the even
// steps, its third word (substituted only) for the odd ones.
template <int kWord>
MIRELUNE_WIDE_AES inline __m128i expand(__m128i key, __m128i assist) {
    assist = _mm_shuffle_epi32(assist, kWord);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

MIRELUNE_WIDE_AES void expandKey(const unsigned char* key, __m128i rk[15]) {
    rk[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    rk[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
    rk[2] = expand<0xff>(rk[0], _mm_aeskeygenassist_si128(rk[1], 0x01));
    rk[3] = expand<0xaa>(rk[1], _mm_aeskeygenassist_si128(rk[2], 0x00));
    rk[4] = expand<0xff>(rk[2], _mm_aeskeygenassist_si128(rk[3], 0x02));
    rk[5] = expand<0xaa>(rk[3], _mm_aeskeygenassist_si128(rk[4], 0x00));
    rk[6] = expand<0xff>(rk[4], _mm_aeskeygenassist_si128(rk[5], 0x04));
    rk[7] = expand<0xaa>(rk[5], _mm_aeskeygenassist_si128(rk[6], 0x00));
    rk[8] = expand<0xff>(rk[6], _mm_aeskeygenassist_si128(rk[7], 0x08));
    rk[9] = expand<0xaa>(rk[7], _mm_aeskeygenassist_si128(rk[8], 0x00));
    rk[10] = expand<0xff>(rk[8], _mm_aeskeygenassist_si128(rk[9], 0x10));
    rk[11] = expand<0xaa>(rk[9], _mm_aeskeygenassist_si128(rk[10], 0x00));
    rk[12] = expand<0xff>(rk[10], _mm_aeskeygenassist_si128(rk[11], 0x20));
    rk[13] = expand<0xaa>(rk[11], _mm_aeskeygenassist_si128(rk[12], 0x00));
    rk[14] = expand<0xff>(rk[12], _mm_aeskeygenassist_si128(rk[13], 0x40));
}

MIRELUNE_WIDE_AES inline __m128i encryptBlock(const unsigned char (*roundKeys)[16], __m128i block) {
    block = _mm_xor_si128(block, _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys[0])));
    for (int round = 1; round < 14; ++round) {
        block = _mm_aesenc_si128(block, _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys[round])));
    }
    return _mm_aesenclast_si128(block, _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys[14])));
}

MIRELUNE_WIDE_AES void setUp(const unsigned char* key, unsigned char (*roundKeys)[16], unsigned char (*powers)[16]) {
    __m128i rk[15];
    expandKey(key, rk);
    for (int i = 0; i < 15; ++i) {
        _mm_store_si128(reinterpret_cast<__m128i*>(roundKeys[i]), rk[i]);
    }
    const __m128i h = reversed(encryptBlock(roundKeys, _mm_setzero_si128()));
    __m128i power = h;
    for (int k = 1; k <= 16; ++k) {
        _mm_store_si128(reinterpret_cast<__m128i*>(powers[16 - k]), power);
        power = multiply(power, h);
    }
    std::memset(powers[16], 0, 16 * 16);
    sodium_memzero(rk, sizeof rk);
}

// The byte mask of the `g`th register of a chunk of `bytes` (at most 256).
inline __mmask64 groupMask(std::size_t bytes, std::size_t g) {
    const std::size_t from = 64 * g;
    if (bytes >= from + 64)
        return ~__mmask64{0};
    if (bytes <= from)
        return 0;
    return (__mmask64{1} << (bytes - from)) - 1;
}

// The products of the first `blocks` blocks of a chunk (1 to 16; reversed, zeros past
// the data) with the powers of H from powers[first] on. Registers wholly past the data
// add nothing and are left out: most records are a few hundred bytes.
MIRELUNE_WIDE_AES inline Products multiplyBlocks(const __m512i x[4], std::size_t blocks,
                                                 const unsigned char (*powers)[16], std::size_t first) {
    __m512i low = _mm512_setzero_si512();
    __m512i middle = _mm512_setzero_si512();
    __m512i high = _mm512_setzero_si512();
    for (std::size_t g = 0; 4 * g < blocks; ++g) {
        accumulate(low, middle, high, x[g], _mm512_loadu_si512(powers[first + 4 * g]));
    }
    return {lanesSum(low), lanesSum(middle), lanesSum(high)};
}

// GHASH over the blocks of a chunk of `bytes` (1 to 256; reversed, zeros past the data):
// the last block takes H, the one before H^2, and so on.
MIRELUNE_WIDE_AES inline __m128i foldChunk(__m128i y, __m512i x[4], std::size_t bytes,
                                           const unsigned char (*powers)[16]) {
    const std::size_t blocks = (bytes + 15) / 16;
    x[0] = _mm512_xor_si512(x[0], _mm512_zextsi128_si512(y));
    const Products sum = multiplyBlocks(x, blocks, powers, 16 - blocks);
    return reduce(sum.low, sum.middle, sum.high);
}

// GHASH over a chunk of at most 256 bytes, zero-padded to whole blocks.
MIRELUNE_WIDE_AES inline __m128i foldBytes(__m128i y, const unsigned char* data, std::size_t bytes, __m512i reverse,
                                           const unsigned char (*powers)[16]) {
    __m512i x[4];
    for (std::size_t g = 0; g < 4; ++g) {
        x[g] = 64 * g < bytes
                   ? _mm512_shuffle_epi8(_mm512_maskz_loadu_epi8(groupMask(bytes, g), data + 64 * g), reverse)
                   : _mm512_setzero_si512();
    }
    return foldChunk(y, x, bytes, powers);
}

// The key stream of 4 × kGroups blocks from `counter` (reversed, lanes +0 to +3).
template <int kGroups>
MIRELUNE_WIDE_AES inline void keyStream(const __m512i rk[15], __m512i reverse, __m512i counter, __m512i out[4]) {
    const __m512i four = _mm512_set_epi32(0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 4);
    __m512i s[kGroups];
    for (int g = 0; g < kGroups; ++g) {
        s[g] = _mm512_xor_si512(_mm512_shuffle_epi8(counter, reverse), rk[0]);
        counter = _mm512_add_epi32(counter, four);
    }
    for (int round = 1; round < 14; ++round) {
        for (int g = 0; g < kGroups; ++g) {
            s[g] = _mm512_aesenc_epi128(s[g], rk[round]);
        }
    }
    for (int g = 0; g < kGroups; ++g) {
        out[g] = _mm512_aesenclast_epi128(s[g], rk[14]);
    }
}

// As much key stream as the last `bytes` (at most 256) of the data need.
MIRELUNE_WIDE_AES inline void keyStreamFor(std::size_t bytes, const __m512i rk[15], __m512i reverse, __m512i counter,
                                           __m512i out[4]) {
    switch ((bytes + 63) / 64) {
    case 1:
        keyStream<1>(rk, reverse, counter, out);
        break;
    case 2:
        keyStream<2>(rk, reverse, counter, out);
        break;
    case 3:
        keyStream<3>(rk, reverse, counter, out);
        break;
    default:
        keyStream<4>(rk, reverse, counter, out);
        break;
    }
}

// Seals (or opens) `bytes` from `in` to `out` and returns the tag. Opening hashes the
// input, sealing the output.
template <bool kSealing>
MIRELUNE_WIDE_AES __m128i crypt(const unsigned char (*roundKeys)[16], const unsigned char (*powers)[16],
                                const unsigned char* nonce, const unsigned char* ad, std::size_t adBytes,
                                const unsigned char* in, std::size_t bytes, unsigned char* out) {
    __m512i rk[15];
    for (int i = 0; i < 15; ++i) {
        rk[i] = broadcast(_mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys[i])));
    }
    const __m512i reverse = broadcast(reverseMask());
    const __m128i h = _mm_load_si128(reinterpret_cast<const __m128i*>(powers[15]));

    unsigned char block[16];
    std::memcpy(block, nonce, 12);
    block[12] = 0;
    block[13] = 0;
    block[14] = 0;
    block[15] = 1;
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
    // The data's counters start at 2, as the little-endian number of each reversed block.
    __m512i counter =
        _mm512_add_epi32(broadcast(reversed(first)), _mm512_set_epi32(0, 0, 0, 4, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1));
    const __m512i sixteen = _mm512_set_epi32(0, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0, 16);

    // A record's header (a block of associated data) and its last blocks are hashed
    // with the lengths' block under one reduction when they are sixteen blocks or fewer
    // together: a short record then costs one reduction, not three.
    const std::size_t tailBlocks = (bytes % kChunkBytes + 15) / 16;
    const bool shortAd = adBytes > 0 && adBytes <= 16;
    const bool adWithTail = shortAd && bytes < kChunkBytes && tailBlocks + 2 <= 16;
    const __m128i adBlock =
        shortAd ? reversed(_mm_maskz_loadu_epi8(static_cast<__mmask16>((1u << adBytes) - 1), ad)) : _mm_setzero_si128();
    __m128i y = _mm_setzero_si128();
    if (shortAd && !adWithTail) {
        y = multiply(adBlock, h);
    } else if (!shortAd) {
        for (std::size_t at = 0; at < adBytes; at += kChunkBytes) {
            y = foldBytes(y, ad + at, std::min(kChunkBytes, adBytes - at), reverse, powers);
        }
    }

    std::size_t at = 0;
    __m512i stream[4];
    for (; bytes - at >= kChunkBytes; at += kChunkBytes) {
        keyStream<4>(rk, reverse, counter, stream);
        counter = _mm512_add_epi32(counter, sixteen);
        __m512i hashed[4];
        for (int g = 0; g < 4; ++g) {
            const __m512i data = _mm512_loadu_si512(in + at + 64 * g);
            const __m512i result = _mm512_xor_si512(data, stream[g]);
            _mm512_storeu_si512(out + at + 64 * g, result);
            hashed[g] = _mm512_shuffle_epi8(kSealing ? result : data, reverse);
        }
        y = foldChunk(y, hashed, kChunkBytes, powers);
    }
    const std::size_t left = bytes - at;
    __m512i hashed[4];
    if (left > 0) {
        keyStreamFor(left, rk, reverse, counter, stream);
        for (std::size_t g = 0; g < (left + 63) / 64; ++g) {
            const __mmask64 mask = groupMask(left, g);
            const __m512i data = _mm512_maskz_loadu_epi8(mask, in + at + 64 * g);
            const __m512i result = _mm512_xor_si512(data, stream[g]);
            _mm512_mask_storeu_epi8(out + at + 64 * g, mask, result);
            hashed[g] = _mm512_shuffle_epi8(kSealing ? _mm512_maskz_mov_epi8(mask, result) : data, reverse);
        }
    }

    const __m128i lengths = _mm_set_epi64x(static_cast<long long>(adBytes * 8), static_cast<long long>(bytes * 8));
    if (tailBlocks + (adWithTail ? 2 : 1) <= 16) {
        // In order: the header (y is still zero then), the last blocks (the first of
        // them taking y), the lengths (taking y when there are no last blocks); the
        // last of them takes H.
        Products sum;
        __m128i last = lengths;
        if (tailBlocks > 0) {
            hashed[0] = _mm512_xor_si512(hashed[0], _mm512_zextsi128_si512(y));
            sum = multiplyBlocks(hashed, tailBlocks, powers, 15 - tailBlocks);
        } else {
            last = _mm_xor_si128(last, y);
        }
        if (adWithTail) {
            addProduct(sum, adBlock, _mm_load_si128(reinterpret_cast<const __m128i*>(powers[14 - tailBlocks])));
        }
        addProduct(sum, last, h);
        y = reduce(sum.low, sum.middle, sum.high);
    } else {
        y = foldChunk(y, hashed, left, powers);
        y = multiply(_mm_xor_si128(y, lengths), h);
    }
    return _mm_xor_si128(reversed(y), encryptBlock(roundKeys, first));
}

} // namespace

bool WideAesGcm::available() {
    static const bool available = processorRunsIt();
    return available;
}

WideAesGcm::WideAesGcm(const unsigned char* key) {
    setUp(key, m_roundKeys, m_powers);
}

WideAesGcm::~WideAesGcm() {
    sodium_memzero(m_roundKeys, sizeof m_roundKeys);
    sodium_memzero(m_powers, sizeof m_powers);
}

MIRELUNE_WIDE_AES void WideAesGcm::seal(const unsigned char* nonce, const unsigned char* ad, std::size_t adBytes,
                                        const unsigned char* plaintext, std::size_t plaintextBytes,
                                        unsigned char* out) const {
    const __m128i tag = crypt<true>(m_roundKeys, m_powers, nonce, ad, adBytes, plaintext, plaintextBytes, out);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + plaintextBytes), tag);
}

MIRELUNE_WIDE_AES bool WideAesGcm::open(const unsigned char* nonce, const unsigned char* ad, std::size_t adBytes,
                                        const unsigned char* ciphertext, std::size_t ciphertextBytes,
                                        unsigned char* out) const {
    if (ciphertextBytes < kTagBytes)
        return false;
    const std::size_t bytes = ciphertextBytes - kTagBytes;
    unsigned char expected[kTagBytes];
    std::memcpy(expected, ciphertext + bytes, kTagBytes);
    unsigned char tag[kTagBytes];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tag),
                     crypt<false>(m_roundKeys, m_powers, nonce, ad, adBytes, ciphertext, bytes, out));
    return sodium_memcmp(tag, expected, kTagBytes) == 0;
}

#else

bool WideAesGcm::available() {
    return false;
}
WideAesGcm::WideAesGcm(const unsigned char*) {}
WideAesGcm::~WideAesGcm() = default;
void WideAesGcm::seal(const unsigned char*, const unsigned char*, std::size_t, const unsigned char*, std::size_t,
                      unsigned char*) const {}
bool WideAesGcm::open(const unsigned char*, const unsigned char*, std::size_t, const unsigned char*, std::size_t,
                      unsigned char*) const {
    return false;
}

#endif

} // namespace session::secure
