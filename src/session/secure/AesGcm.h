#pragma once

// AES-256-GCM under one key, for the records of a connection that chose AESGCM.
//
// The key schedule and GHASH's tables are made once per key, not once per record, and
// the bulk work is OpenSSL's: on this machine its AES-256-GCM seals 4 to 64 KiB write
// batches about twice as fast as libsodium's (docs/benchmarks.md, "The records' AES").
// Everything else of the connection's cryptography stays libsodium's.
//
// Not thread-safe: one object per direction of a connection, used by its one thread. A
// copy starts with no state of its own and makes it from the key at its first use; a
// move takes the state along.

#include <cstddef>
#include <memory>

namespace session::secure {

class AesGcmKey {
public:
    static constexpr std::size_t kKeyBytes = 32;
    static constexpr std::size_t kNonceBytes = 12;
    static constexpr std::size_t kTagBytes = 16;

    AesGcmKey();
    AesGcmKey(const AesGcmKey&);
    AesGcmKey& operator=(const AesGcmKey&);
    AesGcmKey(AesGcmKey&&) noexcept;
    AesGcmKey& operator=(AesGcmKey&&) noexcept;
    ~AesGcmKey();

    // Forgets the state made for the previous key (the key itself is the caller's).
    void reset();

    // `out` holds plaintextBytes + kTagBytes (the ciphertext, then the tag) and may equal
    // `plaintext`. False when OpenSSL fails (out of memory): the connection must close.
    bool seal(const unsigned char* key, const unsigned char* nonce, const unsigned char* ad, std::size_t adBytes,
              const unsigned char* plaintext, std::size_t plaintextBytes, unsigned char* out);
    // `out` holds ciphertextBytes - kTagBytes and may equal `ciphertext`; false also when
    // the tag does not match (nothing in `out` may then be used).
    bool open(const unsigned char* key, const unsigned char* nonce, const unsigned char* ad, std::size_t adBytes,
              const unsigned char* ciphertext, std::size_t ciphertextBytes, unsigned char* out);

private:
    struct Contexts;
    std::unique_ptr<Contexts> m_contexts;
};

} // namespace session::secure
