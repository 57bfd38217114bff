#pragma once

#include "session/secure/Sodium.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

namespace session {

// The key of a room with a password on a NATS cluster: everything its members store
// on the cluster (lines, names) is sealed with it, so the cluster and its
// administrator never see them in clear. It is derived from the room's password by
// Argon2id with a salt and costs kept in the room's registry entry, beside a check
// value that tells a wrong password at once. docs/protocol.md describes every byte.
class NatsRoomKey {
public:
    // Argon2id (version 1.3) costs of a new room: libsodium's "interactive" ones.
    static constexpr unsigned long long kOpsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE; // 2
    static constexpr std::size_t kMemLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;        // 64 MiB
    // Costs a joining copy accepts from a registry entry: no entry makes it spend more.
    static constexpr unsigned long long kMaxOpsLimit = 8;
    static constexpr std::size_t kMaxMemLimit = 256u * 1024 * 1024;
    static constexpr std::size_t kSaltBytes = crypto_pwhash_SALTBYTES; // 16
    static constexpr std::size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
    static constexpr std::size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;

    // A new room's key: a fresh salt. The registry entry's "seal" object (what a
    // member needs to derive it again, and the check value) comes from sealEntry().
    static std::optional<NatsRoomKey> create(const QString& password);
    // The key of the room whose registry entry's "seal" object is `entry`; nothing
    // when the entry does not read (or asks for costs above the limits), and a key
    // whose matches() is false for a wrong password.
    static std::optional<NatsRoomKey> derive(const QString& password, const QJsonObject& entry);

    QJsonObject sealEntry() const;
    // Whether the password this key came from is the room's (its check value is the
    // entry's); only for a key from derive().
    bool matches() const { return m_matches; }

    // A record's body: nonce ‖ XChaCha20-Poly1305 of `data`, bound to `bound` (the
    // record's room, kind and headers), so that a body moved to another record or
    // another sender does not open.
    QByteArray seal(const QByteArray& data, const QByteArray& bound) const;
    std::optional<QByteArray> open(const QByteArray& body, const QByteArray& bound) const;
    // The name part of a member's key in the members bucket: keyed, so the bucket does
    // not tell who is in the room to whoever can guess names.
    QByteArray nameHash(const QByteArray& confusableKey) const;

private:
    NatsRoomKey() = default;
    static std::optional<NatsRoomKey> fromPassword(const QString& password, const QByteArray& salt,
                                                   unsigned long long ops, std::size_t mem);

    secure::SecretBytes<32> m_records;
    secure::SecretBytes<32> m_names;
    QByteArray m_check; // 32 bytes
    QByteArray m_salt;
    unsigned long long m_ops = kOpsLimit;
    std::size_t m_mem = kMemLimit;
    bool m_matches = true;
};

} // namespace session
