#pragma once

// The AEAD of a connection's records under one key: AES-256-GCM or ChaCha20-Poly1305
// (IETF), as the connection chose.
//
// The key schedule is made once per key, not once per record. AES-256-GCM is
// WideAesGcm's where the processor has 512-bit AES and carry-less multiplication
// (two to three times OpenSSL's speed on records of 4 KiB down to 256 bytes,
// docs/benchmarks.md, "Records sealed sixteen blocks at a time"); elsewhere, and for
// ChaCha20-Poly1305, the bulk work is OpenSSL's libcrypto's: it seals 4 KiB records
// under AES-256-GCM about twice as fast as libsodium does, and under ChaCha20-Poly1305
// (its AVX-512 code) more than three times as fast (docs/benchmarks.md, "OpenSSL's
// ciphers for the records"). It serves the handshake's few encryptions too; the rest of
// the connection's cryptography (X25519, BLAKE2b, signatures) stays libsodium's.
//
// Not thread-safe: one object per direction of a connection, used by its one thread. A
// copy starts with no state of its own and makes it from the key at its first use; a
// move takes the state along.

#include <cstddef>
#include <memory>

namespace session::secure {

class WideAesGcm;

class BulkAead {
public:
    enum class Cipher { ChaCha20Poly1305, Aes256Gcm };
    static constexpr std::size_t kKeyBytes = 32;
    static constexpr std::size_t kNonceBytes = 12;
    static constexpr std::size_t kTagBytes = 16;

    BulkAead();
    BulkAead(const BulkAead&);
    BulkAead& operator=(const BulkAead&);
    BulkAead(BulkAead&&) noexcept;
    BulkAead& operator=(BulkAead&&) noexcept;
    ~BulkAead();

    // Forgets the state made for the previous key (the key itself is the caller's).
    void reset();

    // `out` holds plaintextBytes + kTagBytes (the ciphertext, then the tag) and may equal
    // `plaintext`. False when OpenSSL fails (out of memory): the connection must close.
    bool seal(Cipher cipher, const unsigned char* key, const unsigned char* nonce, const unsigned char* ad,
              std::size_t adBytes, const unsigned char* plaintext, std::size_t plaintextBytes, unsigned char* out);
    // `out` holds ciphertextBytes - kTagBytes and may equal `ciphertext`; false also when
    // the tag does not match (nothing in `out` may then be used).
    bool open(Cipher cipher, const unsigned char* key, const unsigned char* nonce, const unsigned char* ad,
              std::size_t adBytes, const unsigned char* ciphertext, std::size_t ciphertextBytes, unsigned char* out);

private:
    struct Contexts;
    // The contexts of `cipher` (those of another cipher are forgotten).
    Contexts& contexts(Cipher cipher);
    // The wide AES-256-GCM for `key`, made at its first use; nothing for another cipher
    // or where the processor lacks its instructions.
    const WideAesGcm* wide(Cipher cipher, const unsigned char* key);
    std::unique_ptr<Contexts> m_contexts;
};

} // namespace session::secure
