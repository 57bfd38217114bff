#pragma once

// A room's identity on the wire (docs/protocol.md, "Room identity"): the room key, an
// Ed25519 key kept by the copy that created the room, and the chain of hosting
// delegations from it to the device that hosts the room now.
//
//   link     subject Noise key bytes[32], subject signing key bytes[32], signature bytes[64]
//   chain    count u8 (1 to kMaxHostingLinks), count links
//   proof    room key bytes[32], chain           (the host's payload of Noise message 2)
//
// Link i is signed by the room key (i = 0) or by the signing key of link i - 1's
// subject, over kHostingLabel, the room key, i as a u8, the subject's two keys and the
// room name's UTF-8 bytes. The last link names the Noise static key of the device that
// hosts; the handshake proves that the host holds that key.

#include "session/secure/KeyStore.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

namespace session::secure {

inline constexpr char kHostingLabel[] = "mirelune room host";
inline constexpr int kMaxHostingLinks = 8;
inline constexpr qsizetype kHostingLinkBytes = 2 * 32 + static_cast<qsizetype>(kSignatureBytes);

using RoomKey = PublicBytes<kSignPublicBytes>;

struct HostingLink {
    PublicBytes<kDhBytes> noiseKey{};
    PublicBytes<kSignPublicBytes> signingKey{};
    QByteArray signature;
};

// A room's key and the chain that lets one device host the room.
struct HostingChain {
    RoomKey roomKey{};
    QList<HostingLink> links;

    QByteArray encodeLinks() const; // count and links: the body of Delegation
    QByteArray encodeProof() const; // room key and chain: message 2's payload
    // Whether every signature holds for `roomName` and the last link names `host`.
    bool verify(const QString& roomName, const PublicBytes<kDhBytes>& host) const;
};

// The proof or links as they arrived; nothing when they do not read (trailing bytes
// are allowed for later versions). They are not verified yet.
std::optional<HostingChain> readProof(QByteArrayView payload);
std::optional<QList<HostingLink>> readLinks(QByteArrayView body);

// What a host uses to prove the room and to let its members host it after it: its
// own chain, and the key it signs the next link with (the room key itself for the
// copy that created the room, else its device's signing key).
class HostingAuthority {
public:
    // The copy that creates the room: its own chain is one link from the room key.
    HostingAuthority(QString roomName, const SigningKey& roomKey, const DeviceKey& device);
    // A member that hosts the room after its host went, with the chain it was given.
    HostingAuthority(QString roomName, HostingChain chain, const DeviceKey& device);

    const HostingChain& chain() const { return m_chain; }
    const QString& roomName() const { return m_roomName; }
    // The chain a member of the given device keys presents should the room move to
    // it; nothing when this host's chain is as long as chains may be.
    std::optional<HostingChain> delegate(const PublicBytes<kDhBytes>& noiseKey,
                                         const PublicBytes<kSignPublicBytes>& signingKey) const;

private:
    QString m_roomName;
    HostingChain m_chain;
    SigningKey m_signer;
    bool m_holdsRoomKey = false;
};

// The authority of the copy that creates the room `roomName`: its room key for that
// name from the user's key store. When the store cannot keep one, a key of this run
// alone. `notice` receives what the user should be told (a damaged key file made anew,
// one that could not be kept), empty otherwise.
std::shared_ptr<const HostingAuthority> creatorAuthority(const QString& roomName, QString* notice = nullptr);

// The member's payload of Noise message 3: its device's signing key, to which a host
// delegates. Empty or any other size: the member wants no delegation.
QByteArray encodeMemberOffer(const DeviceKey& device);
std::optional<PublicBytes<kSignPublicBytes>> readMemberOffer(QByteArrayView payload);

// This user's device key (KeyStore's), read once per process; one of this run alone
// when the store cannot be read or written.
const DeviceKey& deviceKeys();

} // namespace session::secure
