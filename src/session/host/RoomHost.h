#pragma once

#include "session/SessionConfig.h"
#include "session/SessionTypes.h"
#include "session/host/HostAdmission.h"
#include "session/host/HostDiscovery.h"
#include "session/host/HostLiveness.h"
#include "session/host/HostRelay.h"
#include "session/host/HostedPlayer.h"
#include "session/secure/RoomIdentity.h"
#include "session/wire/FrameCodec.h"
#include "session/wire/RoomHistory.h"
#include "session/wire/Succession.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <atomic>
#include <memory>
#include <vector>

class QTimer;

namespace session {

class HostLink;
class RoomListener;

// The hosting side of a room: accepts members over TCP, answers discovery queries,
// keeps the member table and relays messages. The local player of the hosting copy
// is a member like the others; what reaches it is handed over by signal instead of
// a socket.
//
// The host may run on a thread of its own (the session service does so): then every
// call but localTaken() must be made on that thread. Signals are emitted
// synchronously from socket handlers; a receiver must not destroy the host from
// inside one (use shutDown()).
class RoomHost : public QObject {
    Q_OBJECT

public:
    struct Settings {
        QString applicationId;
        QString roomName;
        QString password;
        qint32 numericAttribute = 0;
        // What proves the room to every connection (its key and this device's right to
        // host it). Without it: the room key this user keeps for the room's name, or,
        // taking a room over, the chain in the snapshot.
        std::shared_ptr<const secure::HostingAuthority> identity{};
    };

    RoomHost(const SessionConfig& config, Settings settings, QObject* parent = nullptr);
    // Takes over a room whose host is gone: the same instance id, room secret,
    // players and ids, the local player being `snapshot.localPlayer`. The other
    // players are away until they resume here; those that have not within
    // resumeGrace leave as usual.
    RoomHost(const SessionConfig& config, Settings settings, const RoomSnapshot& snapshot, QObject* parent = nullptr);
    ~RoomHost() override;

    // Listens on `listener` (taken over, typically a member's standby listener), or
    // without one on the first free port of the configured range, else on any port,
    // and binds the shared discovery port. Without discovery the room is still
    // reachable by address; requireDiscovery makes that a failure.
    Status start(bool requireDiscovery, RoomListener* listener = nullptr);
    // Stops listening and answering at once, says goodbye to every member and deletes
    // itself once the goodbyes are out (or after a short grace period).
    void shutDown();

    quint16 port() const { return m_port; }
    const QByteArray& instanceId() const { return m_instanceId; }
    // Given to every member; a host that takes the room over proves it with this.
    const QByteArray& roomSecret() const { return m_roomSecret; }
    // The room's players in joining order, away ones included, and the next id.
    const std::vector<std::unique_ptr<HostedPlayer>>& roomPlayers() const { return m_members; }
    PlayerId nextPlayerId() const { return m_nextId; }
    const std::shared_ptr<const secure::HostingAuthority>& identity() const { return m_settings.identity; }

    Result<PlayerId> addLocalPlayer(const QString& name);
    void removeLocalPlayer();
    PlayerId localPlayer() const { return m_localPlayer; }
    QList<PlayerEntry> players() const;
    int memberCount() const { return static_cast<int>(m_members.size()); }

    // A message of the local player: to one member or (kEveryone) to all others.
    void sendFromLocal(PlayerId to, const QByteArray& payload);
    // A message the local player sent before this host took the room over, which the
    // old host had not acknowledged: again, with its seq, for whoever missed it.
    void resendFromLocal(PlayerId to, quint32 seq, const QByteArray& payload);
    // A file part of the local player's, and one for it (see HostRelay::relayFilePart()).
    void sendFilePartFromLocal(PlayerId to, const QByteArray& part);
    void filePartToLocal(PlayerId from, const QByteArray& part);
    // The local player's program took a file part of `bytes` bytes; safe from any thread.
    void localFilePartTaken(qint64 bytes);
    // The local player has taken a message of `bytes` bytes out of its queue: members
    // held back because that queue was full may be read again. Safe from any thread:
    // the local player's thread need not be the host's.
    void localTaken(qint64 bytes);

    // Whether "@sysclear;" empties the room's history: this copy obeys it (its user
    // allowed scripts). Kept for a takeover as well.
    void setHistoryObeysSysclear(bool obeys) { m_history.setObeysSysclear(obeys); }
    const RoomHistory& history() const { return m_history; }
    // Gives a newly created player the room's last public lines (History), when this
    // copy serves them and has any.
    void sendHistory(HostLink* link);

Q_SIGNALS:
    // A remote member's player came or went.
    void playerJoined(session::PlayerId id, const QString& name);
    void playerLeft(session::PlayerId id);
    // A member's player came back on a new connection (after a break, or to this copy
    // after it took the room over).
    void playerResumed(session::PlayerId id);
    // A message for the local player, with its sender's seq. `payload` lies in the
    // relayed frame and is good only during the call: connect directly and copy it.
    void deliveredLocally(session::PlayerId from, session::PlayerId to, quint32 seq, QByteArrayView payload);
    // A file part for the local player; localFilePartTaken() once its program has it.
    void filePartLocally(session::PlayerId from, const QByteArray& part);

private:
    // The host's duties, each with its own state; they work on the room's table of
    // players and connections below.
    friend class HostAdmission;
    friend class HostDiscovery;
    friend class HostLiveness;
    friend class HostRelay;

    void onIncoming(qintptr descriptor);
    void onLinkReadyRead(HostLink* link);
    void onLinkDisconnected(HostLink* link);
    // Handles the frames a member sent that are decoded and not yet handled; all of
    // them when the member is gone, else until it is paused.
    void handleDecoded(HostLink* link, bool all);
    void handleFrame(HostLink* link, const Frame& frame);

    // `signingKey`: the device signing key its copy offered (32 bytes; empty: none).
    HostedPlayer* addMember(const QString& name, HostLink* link, const Endpoint& endpoint,
                            const QByteArray& signingKey);
    void removeMember(PlayerId id);
    void rebuildRoster();
    HostedPlayer* findMember(PlayerId id) const { return m_byId.value(id); }
    static QByteArray rosterEntry(PlayerId id, const QString& name);
    // The local player's line with its signature in front, as Deliver carries it.
    QByteArray signedLocally(PlayerId to, quint32 seq, const QByteArray& payload) const;
    // Receipts (docs/protocol.md, "Receipts"): a member's goes on to the sender it
    // names; the local player signs its own for what it took, every receipt interval.
    void relayReceipt(HostLink* link, const Frame& frame);
    void takenLocally(PlayerId from, quint32 seq);
    void writeLocalReceipts();
    // Names identify players: no two in the room share one.
    bool hasMember(const QString& name) const;
    // Closes a connection. A player's connection that broke (`end` Closed or Silent)
    // leaves it away for its grace period (HostLiveness); otherwise the player leaves at once.
    void dropLink(HostLink* link, const char* why, LinkEnd end = LinkEnd::Leave);
    // After PlayerCreated: the member's chain to host the room after this copy, when its
    // handshake offered its signing key (docs/protocol.md, "Room identity").
    void sendDelegation(HostLink* link);

    SessionConfig m_config;
    Settings m_settings;
    QByteArray m_instanceId;
    // Given to every member; a successor proves with it that it belongs to the room.
    QByteArray m_roomSecret;
    QByteArray m_roomProof; // the payload of every handshake's message 2
    RoomListener* m_server = nullptr;
    quint16 m_port = 0;
    bool m_shuttingDown = false;

    QList<HostLink*> m_links;
    // Bytes the room's events keep until acknowledged: each frame once, however many
    // outboxes it waits in, and the bookkeeping of each waiting event. Declared before
    // the players, whose events count themselves out as they go.
    qint64 m_keptBytes = 0;
    std::vector<std::unique_ptr<HostedPlayer>> m_members; // joining order
    QHash<PlayerId, HostedPlayer*> m_byId;
    quint32 m_localSeq = 0; // the local player's messages
    // Every member's rosterEntry in joining order: the roster a newcomer receives,
    // kept ready so a join does not encode every name again.
    QByteArray m_roster;
    QByteArray m_successions;
    QElapsedTimer m_clock;
    PlayerId m_nextId = 1;
    PlayerId m_localPlayer = 0;
    // The room's last public lines, for newcomers.
    RoomHistory m_history;
    struct LocalTaken {
        quint32 seq = 0;
        qint64 at = 0; // m_clock's time
        bool due = false;
    };
    QHash<PlayerId, LocalTaken> m_localTaken; // per sender
    QTimer* m_receiptTimer = nullptr;
    int m_receiptTicks = 0;
    // File parts handed to the local player's program and not taken yet.
    static constexpr qint64 kMaxLocalFileBytes = 8 * 1024 * 1024;
    std::atomic<qint64> m_localFileBytes = 0;

    // Declared last: they derive their keys from the settings and the instance id.
    HostDiscovery m_discovery{*this};
    HostAdmission m_admission{*this};
    HostRelay m_relay{*this};
    HostLiveness m_liveness{*this};
};

} // namespace session
