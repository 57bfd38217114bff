#pragma once

// The keys a copy keeps on disk, in the user's configuration folder (never the
// program folder): a device key per user, a room key per room name it hosts, and the
// room keys it saw when it joined (pins). Every file is mode 0600 in a 0700 folder,
// written whole or not at all (a temporary file renamed into place, its permissions
// set before any secret is written). A missing or damaged key file is made anew and
// the caller told; a file others could read is made private again and the caller told.

#include "platform/Result.h"
#include "session/secure/Noise.h"

#include <QString>
#include <optional>

namespace session::secure {

inline constexpr std::size_t kSignPublicBytes = crypto_sign_PUBLICKEYBYTES; // Ed25519, 32
inline constexpr std::size_t kSignSecretBytes = crypto_sign_SECRETKEYBYTES; // seed and public key, 64
inline constexpr std::size_t kSignatureBytes = crypto_sign_BYTES;

// An Ed25519 signing key.
struct SigningKey {
    SecretBytes<kSignSecretBytes> secretKey;
    PublicBytes<kSignPublicBytes> publicKey{};

    static SigningKey fromSeed(const SecretBytes<crypto_sign_SEEDBYTES>& seed);
    QByteArray sign(QByteArrayView message) const; // detached, 64 bytes
};
bool verifySignature(const PublicBytes<kSignPublicBytes>& publicKey, QByteArrayView message, QByteArrayView signature);

// This user's device: its Noise static key and its signing key.
struct DeviceKey {
    KeyPair25519 noise;
    SigningKey signing;
};

// How a key came out of the store. `notice` is a sentence for the user when the
// origin is Replaced or Repaired, empty otherwise.
enum class KeyOrigin {
    Loaded,   // read as it was
    Created,  // there was none
    Replaced, // the file was damaged; a new key replaced it
    Repaired, // read, but others could read the file: made private again
};

template <class Key>
struct StoredKey {
    Key key;
    KeyOrigin origin = KeyOrigin::Loaded;
    QString notice;
};

// The short, readable form of a public key that users compare: the first 100 bits of
// BLAKE2b-256 of the key in base32 (RFC 4648 alphabet), four groups of five
// characters, as in "MZXW6-YTBOI-QGC3T-EEBQW".
QString fingerprint(const PublicBytes<kSignPublicBytes>& publicKey);
// Whether a fingerprint a user typed or pasted names this key: case, dashes and
// spaces do not matter.
bool fingerprintMatches(const PublicBytes<kSignPublicBytes>& publicKey, const QString& typed);

class KeyStore {
public:
    // The store in `folder`; defaultFolder() is the user's.
    explicit KeyStore(QString folder);
    // Mirelune/keys in the user's configuration folder, the same for every program of ours.
    static QString defaultFolder();

    // Failures are the folder or file that cannot be written, as a sentence.
    platform::Result<StoredKey<DeviceKey>> deviceKey();
    platform::Result<StoredKey<SigningKey>> roomKey(const QString& roomName);

    // What a member knows of a room's key.
    enum class PinState { Unknown, Same, Changed };
    struct PinCheck {
        PinState state = PinState::Unknown;
        PublicBytes<kSignPublicBytes> pinned{}; // for Same and Changed
        QString notice;                         // when the pin file was damaged or others could read it
    };
    PinCheck checkPin(const QString& roomName, const PublicBytes<kSignPublicBytes>& roomKey);
    // The key remembered for a room, if any.
    std::optional<PublicBytes<kSignPublicBytes>> pinned(const QString& roomName);
    // Remembers (or, after the user agreed to a change, replaces) a room's key.
    platform::Status pin(const QString& roomName, const PublicBytes<kSignPublicBytes>& roomKey);

    QString deviceKeyPath() const;
    QString roomKeyPath(const QString& roomName) const;
    QString pinsPath() const;

private:
    struct Pins;
    Pins readPins();

    QString m_folder;
};

} // namespace session::secure
