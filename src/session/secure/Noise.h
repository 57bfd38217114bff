#pragma once

// Noise_XX_25519_ChaChaPoly_BLAKE2b or Noise_XX_25519_AESGCM_BLAKE2b (Noise Protocol
// Framework, revision 34):
//
//   XX:
//     -> e
//     <- e, ee, s, es
//     -> s, se
//
// The objects and operations are those of the framework (CipherState, SymmetricState,
// HandshakeState, Split), on libsodium's primitives but for the AEAD (BulkAead.h).
// Nothing here throws or aborts on what a peer sends: every failure is a result, and a
// HandshakeState that failed once stays failed (the connection must be closed).

#include "platform/Result.h"
#include "session/secure/BulkAead.h"
#include "session/secure/Sodium.h"

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <optional>

namespace session::secure {

inline constexpr char kNoiseProtocolName[] = "Noise_XX_25519_ChaChaPoly_BLAKE2b";
inline constexpr char kNoiseAesGcmProtocolName[] = "Noise_XX_25519_AESGCM_BLAKE2b";
inline constexpr std::size_t kDhBytes = 32;   // X25519 keys and shared secrets
inline constexpr std::size_t kHashBytes = 64; // BLAKE2b-512
inline constexpr std::size_t kHashBlockBytes = 128;
inline constexpr std::size_t kCipherKeyBytes = 32;
inline constexpr std::size_t kTagBytes = 16; // Poly1305
inline constexpr qsizetype kMaxNoiseMessageBytes = 65535;

// An X25519 key pair: the device's static key, or an ephemeral one.
struct KeyPair25519 {
    SecretBytes<kDhBytes> secretKey;
    PublicBytes<kDhBytes> publicKey{};

    // A fresh random pair; nothing when libsodium cannot start.
    static std::optional<KeyPair25519> generate();
    // The pair of a given secret key (a stored device key, a fixed key in a test).
    static KeyPair25519 fromSecret(const SecretBytes<kDhBytes>& secret);
};

// Two ciphers of the framework. AES-256-GCM is the faster where the processor has AES
// instructions, and is offered only there.
enum class NoiseCipher { ChaChaPoly, AesGcm };

// Whether this machine can use AES-256-GCM.
bool aesGcmAvailable();
// The protocol name of XX with the cipher, X25519 and BLAKE2b.
QByteArrayView noiseProtocolName(NoiseCipher cipher);

// An AEAD under a key and a 64-bit counter nonce: the 96-bit nonce is 32 zero bits
// followed by the counter, little-endian for ChaChaPoly (ChaCha20-Poly1305, IETF) and
// big-endian for AESGCM, as the framework defines them. The nonce 2^64-1 is reserved:
// a CipherState whose counter reached it refuses to encrypt or decrypt.
class CipherState {
public:
    static constexpr std::uint64_t kReservedNonce = UINT64_MAX;

    explicit CipherState(NoiseCipher cipher = NoiseCipher::ChaChaPoly) : m_algorithm(cipher) {}
    NoiseCipher algorithm() const { return m_algorithm; }

    // The key changes; the cipher stays.
    void initializeKey(const SecretBytes<kCipherKeyBytes>& key);
    bool hasKey() const { return m_hasKey; }
    void setNonce(std::uint64_t nonce) { m_nonce = nonce; }
    std::uint64_t nonce() const { return m_nonce; }

    // Without a key both return their input unchanged, as the framework defines.
    // Encryption fails only when the nonces are spent; decryption also when the
    // ciphertext is shorter than a tag or does not authenticate (the nonce then stays).
    std::optional<QByteArray> encryptWithAd(QByteArrayView ad, QByteArrayView plaintext);
    std::optional<QByteArray> decryptWithAd(QByteArrayView ad, QByteArrayView ciphertext);

    // The same with a key, into caller memory: `out` holds plaintext size + kTagBytes
    // (encrypt) or ciphertext size - kTagBytes (decrypt). `out` may equal the input.
    bool encryptInto(const unsigned char* ad, std::size_t adBytes, const unsigned char* plaintext,
                     std::size_t plaintextBytes, unsigned char* out);
    bool decryptInto(const unsigned char* ad, std::size_t adBytes, const unsigned char* ciphertext,
                     std::size_t ciphertextBytes, unsigned char* out);

    // REKEY: the key becomes the first 32 bytes of the encryption of 32 zero bytes
    // under nonce 2^64-1; the counter is kept.
    void rekey();

private:
    bool seal(const unsigned char* ad, std::size_t adBytes, const unsigned char* plaintext, std::size_t plaintextBytes,
              std::uint64_t counter, unsigned char* out) const;
    bool open(const unsigned char* ad, std::size_t adBytes, const unsigned char* ciphertext,
              std::size_t ciphertextBytes, unsigned char* out) const;

    SecretBytes<kCipherKeyBytes> m_key;
    mutable BulkAead m_aead; // the cipher's state for m_key, made at its first use
    std::uint64_t m_nonce = 0;
    bool m_hasKey = false;
    NoiseCipher m_algorithm = NoiseCipher::ChaChaPoly;
};

// The two directions after the handshake, and what binds a channel to it.
struct TransportState {
    CipherState send;
    CipherState receive;
    PublicBytes<kHashBytes> handshakeHash{};
    PublicBytes<kDhBytes> remoteStatic{};
    bool initiator = false;
    SecretBytes<kHashBytes> chainingKey; // the handshake's last ck, for mixSecret

    // Re-keys both directions from the handshake and a further shared secret (a
    // password room's CPace key): ck, k1, k2 = HKDF(ck, secret, 3), k1 for the
    // initiator's records and k2 for the responder's, both counters from 0. Both sides
    // switch at the same point of each stream: after the last record under the old keys.
    void mixSecret(const unsigned char* secret, std::size_t bytes);
};

class SymmetricState {
public:
    explicit SymmetricState(NoiseCipher cipher);

    void mixKey(const unsigned char* inputKeyMaterial, std::size_t bytes);
    void mixHash(const unsigned char* data, std::size_t bytes);
    void mixHash(QByteArrayView data) { mixHash(bytesOf(data), static_cast<std::size_t>(data.size())); }
    // Append the (encrypted, once a key is mixed in) bytes to `out`; false on failure.
    bool encryptAndHash(QByteArrayView plaintext, QByteArray& out);
    bool decryptAndHash(QByteArrayView ciphertext, QByteArray& out);
    // The two CipherStates: the first for the initiator's messages, the second for the responder's.
    void split(CipherState& first, CipherState& second) const;
    const SecretBytes<kHashBytes>& chainingKey() const { return m_ck; }

    const PublicBytes<kHashBytes>& handshakeHash() const { return m_h; }

private:
    SecretBytes<kHashBytes> m_ck;
    PublicBytes<kHashBytes> m_h{};
    CipherState m_cipher;
};

enum class HandshakeError {
    OutOfTurn,    // a write or read that is not this side's next step, or after the end
    Malformed,    // a message shorter than its fixed fields, or longer than Noise allows
    Decryption,   // a static key or payload that does not authenticate
    WeakKey,      // a public key that gives an all-zero Diffie-Hellman result
    NoRandomness, // libsodium could not start
};

// One side of the XX handshake. The initiator writes messages 1 and 3 and reads 2;
// the responder the other way round. Each message carries a payload (the initiator's
// first one in clear, as the pattern has no key yet). After the third message
// finished() holds and split() gives the transport.
class HandshakeState {
public:
    enum class Role { Initiator, Responder };

    // `fixedEphemeral` is for tests against known transcripts, and for a second try
    // of the same first message under the other cipher; a real handshake leaves it
    // empty and gets a fresh ephemeral key.
    HandshakeState(Role role, const KeyPair25519& localStatic, QByteArrayView prologue,
                   std::optional<KeyPair25519> fixedEphemeral = std::nullopt,
                   NoiseCipher cipher = NoiseCipher::ChaChaPoly);

    platform::Result<QByteArray, HandshakeError> writeMessage(QByteArrayView payload);
    // The payload of the message.
    platform::Result<QByteArray, HandshakeError> readMessage(QByteArrayView message);

    Role role() const { return m_role; }
    bool finished() const { return m_step == 3 && !m_failed; }
    bool failed() const { return m_failed; }
    // Whether the next step is a write (true) or a read.
    bool writesNext() const { return (m_step % 2 == 0) == (m_role == Role::Initiator); }
    // The peer's static key; valid once the message carrying it was read.
    const PublicBytes<kDhBytes>& remoteStatic() const { return m_rs; }
    // h: after the handshake, the value that names this session (channel binding).
    const PublicBytes<kHashBytes>& handshakeHash() const { return m_symmetric.handshakeHash(); }
    // The ephemeral key, once message 1 or 2 was written.
    const std::optional<KeyPair25519>& localEphemeral() const { return m_e; }
    NoiseCipher cipher() const { return m_cipher; }
    // The transport, once finished(); the handshake state may be dropped then.
    std::optional<TransportState> split() const;

    enum class Token { E, S, EE, ES, SE };

private:
    std::optional<HandshakeError> writeToken(Token token, QByteArray& out);
    std::optional<HandshakeError> readToken(Token token, QByteArrayView message, qsizetype& pos);
    std::optional<HandshakeError> mixDh(Token token);
    platform::Failure<HandshakeError> fail(HandshakeError error);

    Role m_role;
    NoiseCipher m_cipher;
    SymmetricState m_symmetric;
    KeyPair25519 m_s;
    std::optional<KeyPair25519> m_e;
    PublicBytes<kDhBytes> m_re{};
    PublicBytes<kDhBytes> m_rs{};
    int m_step = 0;
    bool m_failed = false;
};

} // namespace session::secure
