#include "session/secure/Noise.h"

#include <QtEndian>
#include <algorithm>
#include <cstring>

namespace session::secure {

namespace {

using Hash = SecretBytes<kHashBytes>;

// HMAC (RFC 2104) over unkeyed BLAKE2b-512 with its 128-byte block, as the framework
// defines HMAC-HASH; libsodium's keyed BLAKE2b is a different function. The message is
// given in two parts, which is all HKDF needs.
void hmac(const unsigned char* key, std::size_t keyBytes, const unsigned char* part1, std::size_t part1Bytes,
          const unsigned char* part2, std::size_t part2Bytes, unsigned char* out) {
    SecretBytes<kHashBlockBytes> block;
    if (keyBytes > kHashBlockBytes) {
        crypto_generichash(block.data(), kHashBytes, key, keyBytes, nullptr, 0);
    } else if (keyBytes > 0) {
        std::memcpy(block.data(), key, keyBytes);
    }
    SecretBytes<kHashBlockBytes> pad;
    Hash inner;
    crypto_generichash_state state;
    for (std::size_t i = 0; i < kHashBlockBytes; ++i)
        pad.data()[i] = block.data()[i] ^ 0x36;
    crypto_generichash_init(&state, nullptr, 0, kHashBytes);
    crypto_generichash_update(&state, pad.data(), kHashBlockBytes);
    // Empty parts (Split's zero-length key material) are left out rather than passed
    // as null pointers.
    if (part1Bytes > 0)
        crypto_generichash_update(&state, part1, part1Bytes);
    if (part2Bytes > 0)
        crypto_generichash_update(&state, part2, part2Bytes);
    crypto_generichash_final(&state, inner.data(), kHashBytes);
    for (std::size_t i = 0; i < kHashBlockBytes; ++i)
        pad.data()[i] = block.data()[i] ^ 0x5c;
    crypto_generichash_init(&state, nullptr, 0, kHashBytes);
    crypto_generichash_update(&state, pad.data(), kHashBlockBytes);
    crypto_generichash_update(&state, inner.data(), kHashBytes);
    crypto_generichash_final(&state, out, kHashBytes);
    sodium_memzero(&state, sizeof state);
}

// HKDF(chaining_key, input_key_material, 2 or 3): outputs of HASHLEN bytes each.
void hkdf(const Hash& chainingKey, const unsigned char* ikm, std::size_t ikmBytes, Hash& out1, Hash& out2,
          Hash* out3 = nullptr) {
    Hash tempKey;
    hmac(chainingKey.data(), kHashBytes, ikm, ikmBytes, nullptr, 0, tempKey.data());
    const unsigned char counters[] = {0x01, 0x02, 0x03};
    hmac(tempKey.data(), kHashBytes, &counters[0], 1, nullptr, 0, out1.data());
    hmac(tempKey.data(), kHashBytes, out1.data(), kHashBytes, &counters[1], 1, out2.data());
    if (out3)
        hmac(tempKey.data(), kHashBytes, out2.data(), kHashBytes, &counters[2], 1, out3->data());
}

SecretBytes<kCipherKeyBytes> truncated(const Hash& hash) {
    SecretBytes<kCipherKeyBytes> key;
    std::memcpy(key.data(), hash.data(), kCipherKeyBytes);
    return key;
}

static_assert(BulkAead::kKeyBytes == kCipherKeyBytes && BulkAead::kTagBytes == kTagBytes &&
              BulkAead::kNonceBytes == crypto_aead_chacha20poly1305_ietf_NPUBBYTES);
using Nonce = unsigned char[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];

BulkAead::Cipher bulkCipher(NoiseCipher cipher) {
    return cipher == NoiseCipher::AesGcm ? BulkAead::Cipher::Aes256Gcm : BulkAead::Cipher::ChaCha20Poly1305;
}

void nonceBytes(NoiseCipher cipher, std::uint64_t counter, Nonce& nonce) {
    std::memset(nonce, 0, sizeof nonce);
    if (cipher == NoiseCipher::AesGcm) {
        qToBigEndian(counter, nonce + 4);
    } else {
        qToLittleEndian(counter, nonce + 4);
    }
}

} // namespace

bool aesGcmAvailable() {
    static const bool available = sodiumReady() && crypto_aead_aes256gcm_is_available() == 1;
    return available;
}

QByteArrayView noiseProtocolName(NoiseCipher cipher) {
    return cipher == NoiseCipher::AesGcm ? QByteArrayView(kNoiseAesGcmProtocolName)
                                         : QByteArrayView(kNoiseProtocolName);
}

std::optional<KeyPair25519> KeyPair25519::generate() {
    if (!sodiumReady())
        return std::nullopt;
    SecretBytes<kDhBytes> secret;
    randombytes_buf(secret.data(), secret.size());
    return fromSecret(secret);
}

KeyPair25519 KeyPair25519::fromSecret(const SecretBytes<kDhBytes>& secret) {
    KeyPair25519 pair;
    pair.secretKey = secret;
    crypto_scalarmult_base(pair.publicKey.data(), pair.secretKey.data());
    return pair;
}

// ---- CipherState

void CipherState::initializeKey(const SecretBytes<kCipherKeyBytes>& key) {
    m_key = key;
    m_aead.reset();
    m_hasKey = true;
    m_nonce = 0;
}

bool CipherState::seal(const unsigned char* ad, std::size_t adBytes, const unsigned char* plaintext,
                       std::size_t plaintextBytes, std::uint64_t counter, unsigned char* out) const {
    Nonce nonce;
    nonceBytes(m_algorithm, counter, nonce);
    // Only a CipherState of a handshake that chose AESGCM has it; that needs the instructions.
    if (m_algorithm == NoiseCipher::AesGcm && !aesGcmAvailable())
        return false;
    return m_aead.seal(bulkCipher(m_algorithm), m_key.data(), nonce, ad, adBytes, plaintext, plaintextBytes, out);
}

bool CipherState::open(const unsigned char* ad, std::size_t adBytes, const unsigned char* ciphertext,
                       std::size_t ciphertextBytes, unsigned char* out) const {
    Nonce nonce;
    nonceBytes(m_algorithm, m_nonce, nonce);
    if (m_algorithm == NoiseCipher::AesGcm && !aesGcmAvailable())
        return false;
    return m_aead.open(bulkCipher(m_algorithm), m_key.data(), nonce, ad, adBytes, ciphertext, ciphertextBytes, out);
}

bool CipherState::encryptInto(const unsigned char* ad, std::size_t adBytes, const unsigned char* plaintext,
                              std::size_t plaintextBytes, unsigned char* out) {
    if (!m_hasKey || m_nonce == kReservedNonce || !seal(ad, adBytes, plaintext, plaintextBytes, m_nonce, out))
        return false;
    ++m_nonce;
    return true;
}

bool CipherState::decryptInto(const unsigned char* ad, std::size_t adBytes, const unsigned char* ciphertext,
                              std::size_t ciphertextBytes, unsigned char* out) {
    if (!m_hasKey || m_nonce == kReservedNonce || ciphertextBytes < kTagBytes)
        return false;
    if (!open(ad, adBytes, ciphertext, ciphertextBytes, out))
        return false;
    ++m_nonce;
    return true;
}

std::optional<QByteArray> CipherState::encryptWithAd(QByteArrayView ad, QByteArrayView plaintext) {
    if (!m_hasKey)
        return plaintext.toByteArray();
    QByteArray out(plaintext.size() + static_cast<qsizetype>(kTagBytes), Qt::Uninitialized);
    if (!encryptInto(bytesOf(ad), static_cast<std::size_t>(ad.size()), bytesOf(plaintext),
                     static_cast<std::size_t>(plaintext.size()), reinterpret_cast<unsigned char*>(out.data())))
        return std::nullopt;
    return out;
}

std::optional<QByteArray> CipherState::decryptWithAd(QByteArrayView ad, QByteArrayView ciphertext) {
    if (!m_hasKey)
        return ciphertext.toByteArray();
    if (ciphertext.size() < static_cast<qsizetype>(kTagBytes))
        return std::nullopt;
    QByteArray out(ciphertext.size() - static_cast<qsizetype>(kTagBytes), Qt::Uninitialized);
    if (!decryptInto(bytesOf(ad), static_cast<std::size_t>(ad.size()), bytesOf(ciphertext),
                     static_cast<std::size_t>(ciphertext.size()), reinterpret_cast<unsigned char*>(out.data())))
        return std::nullopt;
    return out;
}

void CipherState::rekey() {
    if (!m_hasKey)
        return;
    SecretBytes<kCipherKeyBytes> zeros;
    SecretBytes<kCipherKeyBytes + kTagBytes> encrypted;
    if (seal(nullptr, 0, zeros.data(), kCipherKeyBytes, kReservedNonce, encrypted.data())) {
        std::memcpy(m_key.data(), encrypted.data(), kCipherKeyBytes);
        m_aead.reset();
    }
}

void TransportState::mixSecret(const unsigned char* secret, std::size_t bytes) {
    Hash newChainingKey;
    Hash initiatorKey;
    Hash responderKey;
    hkdf(chainingKey, secret, bytes, newChainingKey, initiatorKey, &responderKey);
    chainingKey = newChainingKey;
    send.initializeKey(truncated(initiator ? initiatorKey : responderKey));
    receive.initializeKey(truncated(initiator ? responderKey : initiatorKey));
}

// ---- SymmetricState

SymmetricState::SymmetricState(NoiseCipher cipher) : m_cipher(cipher) {
    const QByteArrayView protocolName = noiseProtocolName(cipher);
    // A name of at most HASHLEN bytes is padded with zeros; a longer one is hashed.
    if (static_cast<std::size_t>(protocolName.size()) <= kHashBytes) {
        std::copy(protocolName.begin(), protocolName.end(), reinterpret_cast<char*>(m_h.data()));
    } else {
        crypto_generichash(m_h.data(), kHashBytes, bytesOf(protocolName), static_cast<std::size_t>(protocolName.size()),
                           nullptr, 0);
    }
    std::memcpy(m_ck.data(), m_h.data(), kHashBytes);
}

void SymmetricState::mixKey(const unsigned char* inputKeyMaterial, std::size_t bytes) {
    Hash chainingKey;
    Hash tempKey;
    hkdf(m_ck, inputKeyMaterial, bytes, chainingKey, tempKey);
    m_ck = chainingKey;
    m_cipher.initializeKey(truncated(tempKey));
}

void SymmetricState::mixHash(const unsigned char* data, std::size_t bytes) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, kHashBytes);
    crypto_generichash_update(&state, m_h.data(), kHashBytes);
    if (bytes > 0)
        crypto_generichash_update(&state, data, bytes);
    crypto_generichash_final(&state, m_h.data(), kHashBytes);
}

bool SymmetricState::encryptAndHash(QByteArrayView plaintext, QByteArray& out) {
    const std::optional<QByteArray> ciphertext = m_cipher.encryptWithAd(toBytes(m_h), plaintext);
    if (!ciphertext)
        return false;
    mixHash(*ciphertext);
    out += *ciphertext;
    return true;
}

bool SymmetricState::decryptAndHash(QByteArrayView ciphertext, QByteArray& out) {
    const std::optional<QByteArray> plaintext = m_cipher.decryptWithAd(toBytes(m_h), ciphertext);
    if (!plaintext)
        return false;
    mixHash(ciphertext);
    out += *plaintext;
    return true;
}

void SymmetricState::split(CipherState& first, CipherState& second) const {
    Hash key1;
    Hash key2;
    hkdf(m_ck, nullptr, 0, key1, key2);
    first.initializeKey(truncated(key1));
    second.initializeKey(truncated(key2));
}

// ---- HandshakeState

namespace {

using Token = HandshakeState::Token;

// The message patterns of XX, in order; the initiator writes messages 0 and 2.
struct MessagePattern {
    int count;
    Token tokens[4];
};
constexpr int kMessages = 3;
constexpr MessagePattern kPattern[kMessages] = {
    {1, {Token::E}},
    {4, {Token::E, Token::EE, Token::S, Token::ES}},
    {2, {Token::S, Token::SE}},
};

} // namespace

HandshakeState::HandshakeState(Role role, const KeyPair25519& localStatic, QByteArrayView prologue,
                               std::optional<KeyPair25519> fixedEphemeral, NoiseCipher cipher)
    : m_role(role), m_cipher(cipher), m_symmetric(cipher), m_s(localStatic), m_e(std::move(fixedEphemeral)) {
    m_symmetric.mixHash(prologue);
    if (!sodiumReady() || (cipher == NoiseCipher::AesGcm && !aesGcmAvailable()))
        m_failed = true;
}

platform::Failure<HandshakeError> HandshakeState::fail(HandshakeError error) {
    m_failed = true;
    return platform::fail(error);
}

// ee, es, se: MixKey(DH(...)) with the keys the token names from this side's view.
std::optional<HandshakeError> HandshakeState::mixDh(Token token) {
    const bool initiator = m_role == Role::Initiator;
    const bool ownEphemeral = token == Token::EE || (token == Token::ES) == initiator;
    const bool remoteEphemeral = token == Token::EE || (token == Token::SE) == initiator;
    const SecretBytes<kDhBytes>& secret = ownEphemeral ? m_e->secretKey : m_s.secretKey;
    const PublicBytes<kDhBytes>& publicKey = remoteEphemeral ? m_re : m_rs;
    SecretBytes<kDhBytes> shared;
    // libsodium refuses (-1) a result of all zeros: a low-order public key, which
    // would make the key a constant that anybody knows.
    if (crypto_scalarmult(shared.data(), secret.data(), publicKey.data()) != 0)
        return HandshakeError::WeakKey;
    m_symmetric.mixKey(shared.data(), shared.size());
    return std::nullopt;
}

std::optional<HandshakeError> HandshakeState::writeToken(Token token, QByteArray& out) {
    switch (token) {
    case Token::E:
        if (!m_e)
            m_e = KeyPair25519::generate();
        if (!m_e)
            return HandshakeError::NoRandomness;
        out += toBytes(m_e->publicKey);
        m_symmetric.mixHash(m_e->publicKey.data(), kDhBytes);
        return std::nullopt;
    case Token::S:
        if (!m_symmetric.encryptAndHash(toBytes(m_s.publicKey), out))
            return HandshakeError::Decryption;
        return std::nullopt;
    default:
        return mixDh(token);
    }
}

std::optional<HandshakeError> HandshakeState::readToken(Token token, QByteArrayView message, qsizetype& pos) {
    switch (token) {
    case Token::E:
        if (message.size() - pos < static_cast<qsizetype>(kDhBytes))
            return HandshakeError::Malformed;
        fromBytes(message.sliced(pos, kDhBytes), m_re);
        pos += kDhBytes;
        m_symmetric.mixHash(m_re.data(), kDhBytes);
        return std::nullopt;
    case Token::S: {
        // In XX a static key always travels under a key, so with its tag.
        const qsizetype bytes = static_cast<qsizetype>(kDhBytes + kTagBytes);
        QByteArray key;
        if (message.size() - pos < bytes)
            return HandshakeError::Malformed;
        if (!m_symmetric.decryptAndHash(message.sliced(pos, bytes), key))
            return HandshakeError::Decryption;
        fromBytes(key, m_rs);
        pos += bytes;
        return std::nullopt;
    }
    default:
        return mixDh(token);
    }
}

platform::Result<QByteArray, HandshakeError> HandshakeState::writeMessage(QByteArrayView payload) {
    if (m_failed || m_step >= kMessages || !writesNext())
        return fail(HandshakeError::OutOfTurn);
    QByteArray out;
    out.reserve(96 + payload.size() + static_cast<qsizetype>(kTagBytes));
    const MessagePattern& pattern = kPattern[m_step];
    for (int i = 0; i < pattern.count; ++i) {
        if (const std::optional<HandshakeError> error = writeToken(pattern.tokens[i], out))
            return fail(*error);
    }
    if (!m_symmetric.encryptAndHash(payload, out))
        return fail(HandshakeError::Decryption);
    if (out.size() > kMaxNoiseMessageBytes)
        return fail(HandshakeError::Malformed);
    ++m_step;
    return out;
}

platform::Result<QByteArray, HandshakeError> HandshakeState::readMessage(QByteArrayView message) {
    if (m_failed || m_step >= kMessages || writesNext())
        return fail(HandshakeError::OutOfTurn);
    if (message.size() > kMaxNoiseMessageBytes)
        return fail(HandshakeError::Malformed);
    qsizetype pos = 0;
    const MessagePattern& pattern = kPattern[m_step];
    for (int i = 0; i < pattern.count; ++i) {
        if (const std::optional<HandshakeError> error = readToken(pattern.tokens[i], message, pos))
            return fail(*error);
    }
    QByteArray payload;
    if (m_step > 0 && message.size() - pos < static_cast<qsizetype>(kTagBytes))
        return fail(HandshakeError::Malformed);
    if (!m_symmetric.decryptAndHash(message.sliced(pos), payload))
        return fail(HandshakeError::Decryption);
    ++m_step;
    return payload;
}

std::optional<TransportState> HandshakeState::split() const {
    if (!finished())
        return std::nullopt;
    TransportState transport;
    CipherState initiatorToResponder(m_cipher);
    CipherState responderToInitiator(m_cipher);
    m_symmetric.split(initiatorToResponder, responderToInitiator);
    const bool initiator = m_role == Role::Initiator;
    transport.send = initiator ? initiatorToResponder : responderToInitiator;
    transport.receive = initiator ? responderToInitiator : initiatorToResponder;
    transport.handshakeHash = m_symmetric.handshakeHash();
    transport.remoteStatic = m_rs;
    transport.initiator = initiator;
    transport.chainingKey = m_symmetric.chainingKey();
    return transport;
}

} // namespace session::secure
