#pragma once

// AES-256-GCM sixteen blocks at a time, on processors with 512-bit AES and carry-less
// multiplication instructions (VAES, VPCLMULQDQ, AVX-512). The bytes are those of any
// other AES-256-GCM (NIST SP 800-38D, 96-bit nonces); only the speed differs: on such
// processors it seals and opens a 4 KiB record twice as fast as OpenSSL 3.0's code,
// which works on 128-bit registers and sets its context up for every record, and a
// 256-byte one three times as fast (docs/benchmarks.md, "Records sealed sixteen blocks
// at a time").
//
// Every step is constant in time: the AES rounds are the processor's instructions, and
// GHASH is carry-less multiplication, with no table indexed by secret bytes.
//
// One object per key and direction, used by one thread at a time.

#include <cstddef>

namespace session::secure {

class WideAesGcm {
public:
    static constexpr std::size_t kKeyBytes = 32;
    static constexpr std::size_t kNonceBytes = 12;
    static constexpr std::size_t kTagBytes = 16;

    // Whether this processor and its operating system run the instructions (checked
    // once). Where they do not, nothing else here may be called.
    static bool available();

    explicit WideAesGcm(const unsigned char* key);
    WideAesGcm(const WideAesGcm&) = delete;
    WideAesGcm& operator=(const WideAesGcm&) = delete;
    ~WideAesGcm();

    // `out` holds plaintextBytes + kTagBytes (the ciphertext, then the tag) and may
    // equal `plaintext`.
    void seal(const unsigned char* nonce, const unsigned char* ad, std::size_t adBytes, const unsigned char* plaintext,
              std::size_t plaintextBytes, unsigned char* out) const;
    // `out` holds ciphertextBytes - kTagBytes and may equal `ciphertext`. False when the
    // input is shorter than a tag or the tag does not match; `out` is then not to be
    // used.
    bool open(const unsigned char* nonce, const unsigned char* ad, std::size_t adBytes, const unsigned char* ciphertext,
              std::size_t ciphertextBytes, unsigned char* out) const;

private:
    // The round keys, then H^16 down to H^1 as GHASH's multiplications take them (each
    // block's bytes reversed), then zeros that a short chunk's loads may read past H^1.
    alignas(64) unsigned char m_roundKeys[15][16];
    alignas(64) unsigned char m_powers[32][16];
};

} // namespace session::secure
