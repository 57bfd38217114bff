#include "session/nats/NatsRoomKey.h"

#include "session/secure/CPace.h"

namespace session {

namespace {

constexpr char kKdfContext[crypto_kdf_CONTEXTBYTES + 1] = "mlrnnats"; // 8 bytes
constexpr std::uint64_t kRecordsKeyId = 1;
constexpr std::uint64_t kNamesKeyId = 2;
constexpr std::uint64_t kCheckId = 3;

QByteArray base64(const QByteArray& bytes) {
    return bytes.toBase64();
}

} // namespace

std::optional<NatsRoomKey> NatsRoomKey::fromPassword(const QString& password, const QByteArray& salt,
                                                     unsigned long long ops, std::size_t mem) {
    if (!secure::sodiumReady() || static_cast<std::size_t>(salt.size()) != kSaltBytes) {
        return std::nullopt;
    }
    // The same bytes the hosted rooms' CPace takes: NFC, UTF-8.
    const QByteArray prs = secure::passwordBytes(password);
    secure::SecretBytes<crypto_kdf_KEYBYTES> master;
    if (crypto_pwhash(master.data(), master.size(), prs.constData(), static_cast<unsigned long long>(prs.size()),
                      secure::bytesOf(salt), ops, mem, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return std::nullopt; // out of memory
    }
    NatsRoomKey key;
    key.m_salt = salt;
    key.m_ops = ops;
    key.m_mem = mem;
    crypto_kdf_derive_from_key(key.m_records.data(), key.m_records.size(), kRecordsKeyId, kKdfContext, master.data());
    crypto_kdf_derive_from_key(key.m_names.data(), key.m_names.size(), kNamesKeyId, kKdfContext, master.data());
    key.m_check.resize(32);
    crypto_kdf_derive_from_key(reinterpret_cast<unsigned char*>(key.m_check.data()), 32, kCheckId, kKdfContext,
                               master.data());
    return key;
}

std::optional<NatsRoomKey> NatsRoomKey::create(const QString& password) {
    if (!secure::sodiumReady()) {
        return std::nullopt;
    }
    QByteArray salt(static_cast<qsizetype>(kSaltBytes), Qt::Uninitialized);
    randombytes_buf(salt.data(), kSaltBytes);
    return fromPassword(password, salt, kOpsLimit, kMemLimit);
}

std::optional<NatsRoomKey> NatsRoomKey::derive(const QString& password, const QJsonObject& entry) {
    const QByteArray salt = QByteArray::fromBase64(entry.value(QStringLiteral("salt")).toString().toLatin1());
    const QByteArray check = QByteArray::fromBase64(entry.value(QStringLiteral("check")).toString().toLatin1());
    const double ops = entry.value(QStringLiteral("ops")).toDouble(-1);
    const double mem = entry.value(QStringLiteral("mem")).toDouble(-1);
    if (entry.value(QStringLiteral("alg")).toString() != u"argon2id13" || check.size() != 32 ||
        ops < crypto_pwhash_OPSLIMIT_MIN || ops > kMaxOpsLimit || mem < crypto_pwhash_MEMLIMIT_MIN ||
        mem > kMaxMemLimit) {
        return std::nullopt;
    }
    auto key = fromPassword(password, salt, static_cast<unsigned long long>(ops), static_cast<std::size_t>(mem));
    if (key) {
        key->m_matches = sodium_memcmp(key->m_check.constData(), check.constData(), 32) == 0;
    }
    return key;
}

QJsonObject NatsRoomKey::sealEntry() const {
    return QJsonObject{{QStringLiteral("alg"), QStringLiteral("argon2id13")},
                       {QStringLiteral("salt"), QString::fromLatin1(base64(m_salt))},
                       {QStringLiteral("ops"), static_cast<double>(m_ops)},
                       {QStringLiteral("mem"), static_cast<double>(m_mem)},
                       {QStringLiteral("check"), QString::fromLatin1(base64(m_check))}};
}

QByteArray NatsRoomKey::seal(const QByteArray& data, const QByteArray& bound) const {
    QByteArray body(static_cast<qsizetype>(kNonceBytes + static_cast<std::size_t>(data.size()) + kTagBytes),
                    Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(body.data());
    randombytes_buf(out, kNonceBytes);
    unsigned long long written = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        out + kNonceBytes, &written, secure::bytesOf(data), static_cast<unsigned long long>(data.size()),
        secure::bytesOf(bound), static_cast<unsigned long long>(bound.size()), nullptr, out, m_records.data());
    return body;
}

std::optional<QByteArray> NatsRoomKey::open(const QByteArray& body, const QByteArray& bound) const {
    if (static_cast<std::size_t>(body.size()) < kNonceBytes + kTagBytes) {
        return std::nullopt;
    }
    QByteArray data(body.size() - static_cast<qsizetype>(kNonceBytes + kTagBytes), Qt::Uninitialized);
    const auto* in = secure::bytesOf(body);
    unsigned long long read = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char*>(data.data()), &read, nullptr, in + kNonceBytes,
            static_cast<unsigned long long>(body.size()) - kNonceBytes, secure::bytesOf(bound),
            static_cast<unsigned long long>(bound.size()), in, m_records.data()) != 0) {
        return std::nullopt;
    }
    return data;
}

QByteArray NatsRoomKey::nameHash(const QByteArray& confusableKey) const {
    unsigned char hash[32];
    crypto_generichash(hash, sizeof hash, secure::bytesOf(confusableKey),
                       static_cast<unsigned long long>(confusableKey.size()), m_names.data(), m_names.size());
    return QByteArray(reinterpret_cast<const char*>(hash), sizeof hash).toHex();
}

} // namespace session
