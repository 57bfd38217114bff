#pragma once

#include "session/SessionTypes.h"
#include "session/wire/FrameCodec.h"
#include "session/wire/RoomHistory.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <optional>

namespace session {

class WireReader;
class WireWriter;

// Only rooms with this numeric attribute outlive their host.
inline constexpr qint32 kMigratingRoomAttribute = 4;

// Where a player's copy can be reached should the host go: the address the host saw
// its link come from, and the standby port the copy keeps open for that. The host's
// own player has no address (all zero) and the room port: a member reaches it
// where it reached the room.
struct Endpoint {
    QHostAddress address;
    quint16 port = 0;

    bool isHost() const { return address.isNull() || address == QHostAddress::AnyIPv6; }
};

// What every member of a migrating room knows about every player: enough to find a
// successor (the endpoint) and to check the player's lines and, as a successor, its
// resume (the device signing key it offered; all zero: it offered none).
struct RoomPlayer {
    PlayerId id = 0;
    QString name;
    QByteArray signingKey;
    Endpoint endpoint;
};

// The succession fields of a player as the roster and Joined carry them after the
// name: signing key bytes[32], address bytes[16] (IPv6; IPv4 as an IPv4-mapped address;
// all zero: the host itself), standby port u16 (0: cannot be reached).
void writeSuccession(WireWriter& out, const RoomPlayer& player);
// Nothing when the fields are not all there (a host that does not send them).
std::optional<RoomPlayer> readSuccession(WireReader& in, PlayerId id, const QString& name);
inline constexpr int kSuccessionBytes = kSecretBytes + 16 + 2;

// Everything a member needs to host the room it is in: the room's identity, every
// player in joining order (the local one included), and the next id to give, above
// any id the room has ever given.
struct RoomSnapshot {
    QByteArray instanceId;
    QByteArray roomSecret;
    QList<RoomPlayer> players;
    PlayerId localPlayer = 0;
    PlayerId nextId = 1;
    quint32 localSeq = 0; // the seq of the local player's last message
    // The room's key and the local device's chain to host it, as the host's handshake
    // carries them (docs/protocol.md, "Room identity"); empty: none was given.
    QByteArray hostingProof{};
    RoomHistory history{}; // the room's last public lines, to give newcomers
};

// Who may take over a room whose host's player was `oldHost`, in the order they are
// tried: every player in joining order but the old host's (and, when the old host's
// player was gone already, the host's copy itself). Each copy works this out alone
// from the same roster, so they all arrive at the same order.
class Election {
public:
    enum class Step {
        BecomeHost, // the local player is the next candidate: host the room
        Try,        // connect to candidate(); on failure ask next() again
        GiveUp,     // nobody is left: the room is over
    };

    Election(const QList<RoomPlayer>& players, PlayerId oldHost, PlayerId self);

    // The next candidate, skipping those that cannot be reached.
    Step next();
    const RoomPlayer& candidate() const { return m_candidates.at(m_index); }
    const QList<RoomPlayer>& candidates() const { return m_candidates; }

private:
    QList<RoomPlayer> m_candidates;
    PlayerId m_self = 0;
    qsizetype m_index = -1;
};

} // namespace session
