#pragma once

#include "session/SessionConfig.h"
#include "session/SessionTypes.h"
#include "session/wire/FrameCodec.h"
#include "session/wire/Succession.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QNetworkAddressEntry>
#include <QObject>
#include <QPointer>
#include <atomic>
#include <deque>
#include <memory>
#include <vector>

class QTcpServer;
class QTimer;
class QUdpSocket;

namespace session {

struct DiscoveryQuery;
class HostLink;
class RoomListener;
struct HostedPlayer;

// An event the host keeps until every member it went to has acknowledged it: a
// Deliver (a member's message, or the local player's), a Joined or a Left. Its frame
// is shared by every receiver. A member's message also waits in its sender's
// `unacknowledged`, in order, until it is acknowledged to the sender.
struct Relay {
    QByteArray frame;
    HostedPlayer* sender = nullptr; // while `queued`
    quint32 seq = 0;
    int remaining = 0;   // outboxes it waits in (one more while it is being relayed)
    bool queued = false; // in its sender's `unacknowledged`
};

// Everything the host keeps of one player for the room's life. It outlives the
// player's connection: a member whose link broke is "away" for the grace period,
// its events kept, until it resumes or its leave is announced.
struct HostedPlayer {
    HostedPlayer() = default;
    HostedPlayer(const HostedPlayer&) = delete;
    HostedPlayer& operator=(const HostedPlayer&) = delete;
    // Lets go of its events and messages, without acknowledging anything to anybody.
    ~HostedPlayer();

    PlayerId id = 0;
    QString name;
    QByteArray rosterEntry;   // id and name as the roster and Joined carry them
    bool local = false;       // the hosting copy's own player
    HostLink* link = nullptr; // nullptr for the local player and while away
    QByteArray resumeSecret;
    // A player taken over with the room has no secret here, only its verifier (the
    // secret's SHA-256); until it is back, its seqs and event count are its member's.
    QByteArray verifier;
    bool takenOver = false;
    bool seqUnknown = false; // resumed after the move: its first Send sets handledSeq
    QByteArray succession;   // its succession fields (Succession.h)
    // Its own messages: the highest seq handled (relayed or dropped), the highest
    // acknowledged to it, and those relayed but not yet taken by every receiver.
    quint32 handledSeq = 0;
    quint32 acknowledgedSeq = 0;
    std::deque<Relay*> unacknowledged;
    bool ackQueued = false;
    // Events for it not yet acknowledged (its outbox), oldest first, and the first one's seq.
    std::deque<Relay*> outbox;
    quint32 firstEventSeq = 1;
    qint64 outboxBytes = 0;
    qint64 awayUntil = 0; // the host clock's time its grace ends; 0 while connected

    quint32 nextEventSeq() const { return firstEventSeq + static_cast<quint32>(outbox.size()); }
};

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
    // The local player has taken a message of `bytes` bytes out of its queue: members
    // held back because that queue was full may be read again. Safe from any thread:
    // the local player's thread need not be the host's.
    void localTaken(qint64 bytes);

Q_SIGNALS:
    // A remote member's player came or went.
    void playerJoined(session::PlayerId id, const QString& name);
    void playerLeft(session::PlayerId id);
    // A message for the local player, with its sender's seq.
    void deliveredLocally(session::PlayerId from, session::PlayerId to, quint32 seq, const QByteArray& payload);

private:
    void onIncoming(qintptr descriptor);
    void onDiscoveryReadyRead();
    void lookUpSubnets();
    void onHeartbeatTick();
    void onLinkReadyRead(HostLink* link);
    void onLinkDisconnected(HostLink* link);
    void handleFrame(HostLink* link, const Frame& frame);
    void handleHello(HostLink* link, const Frame& frame);
    void handleAuth(HostLink* link, const Frame& frame);
    void handleCreatePlayer(HostLink* link, const Frame& frame);
    void handleResume(HostLink* link, const Frame& frame);
    void handleSend(HostLink* link, const Frame& frame);
    void handleAck(HostLink* link, const Frame& frame);
    void handleListQuery(HostLink* link, const Frame& frame);
    std::optional<QByteArray> answerFor(const DiscoveryQuery& query) const;

    HostedPlayer* addMember(const QString& name, HostLink* link, const Endpoint& endpoint);
    void removeMember(PlayerId id);
    void rebuildRoster();
    HostedPlayer* findMember(PlayerId id) const { return m_byId.value(id); }
    static QByteArray rosterEntry(PlayerId id, const QString& name);
    // Relays a message with its sender's seq; `sender` is the member's link, nullptr
    // for the local player.
    void route(HostLink* sender, HostedPlayer* from, PlayerId to, quint32 seq, const QByteArray& payload);
    // Keeps an event for a member until it acknowledges it, and sends it when it is
    // connected (a notice waits for the notice timer).
    void pushEvent(HostedPlayer& player, Relay* relay, bool notice);
    // Sends an event to every member but the local player.
    void pushToAll(const QByteArray& frame);
    // The member has taken every event up to `seq`.
    void eventsTaken(HostedPlayer& player, quint32 seq);
    // A receiver took `relay` (or left): acknowledges to its sender what every receiver
    // has taken, and frees what nobody needs any more.
    void relayTaken(Relay* relay);
    void queueAck(HostedPlayer& player);
    void writeDueAcks();
    void postFlush();
    // Bytes queued for a member that it has not taken yet.
    static qint64 backlog(const HostLink* link);
    // Stops reading `sender` until `receiver` (nullptr: the local player) has taken
    // its backlog down to the low-water mark; release() lets go of every sender a
    // receiver holds.
    void hold(HostLink* sender, HostLink* receiver);
    void release(HostLink* receiver);
    void releaseLocal();
    void letGo(HostLink* sender);
    // Handles the frames a member sent that are decoded and not yet handled; all of
    // them when the member is gone, else until it is paused.
    void handleDecoded(HostLink* link, bool all);
    // Queues a frame for a member; it leaves with the others of this turn. A member
    // whose unsent bytes pass the cap is dropped.
    void write(HostLink* link, const QByteArray& frame);
    // Queues a notice of an arrival or a departure: it leaves with the member's next
    // traffic, or a moment later.
    void notify(HostLink* link, const QByteArray& frame);
    void flushNotices();
    // Queues the answer to a frame the member sent; it leaves as soon as everything
    // that arrived with that frame is handled.
    void reply(HostLink* link, const QByteArray& frame);
    bool enqueue(HostLink* link, const QByteArray& frame);
    // Sends what the turn queued for every member (see SocketSend.h), or for one.
    void flushWrites();
    void flushLink(HostLink* link);
    void reject(HostLink* link, quint32 reason, const QString& text);
    // Closes a connection. A player's broken connection (`resumable`) leaves it away
    // for the grace period; otherwise the player leaves at once.
    void dropLink(HostLink* link, const char* why, bool resumable = false);
    void dropOverflowed();
    // Whether a newcomer from `source` finds a handshake slot, in total and for its address.
    bool handshakeSlotFree(const QByteArray& source) const;
    // Wrong proofs from one address: whether its proofs are not checked now, and
    // counting one more.
    bool proofsBackedOff(const QByteArray& source) const;
    void wrongProof(const QByteArray& source);
    // Names identify players: no two in the room share one.
    bool hasMember(const QString& name) const;

    SessionConfig m_config;
    Settings m_settings;
    QByteArray m_instanceId;
    // Given to every member; a successor proves with it that it belongs to the room.
    QByteArray m_roomSecret;
    // The password's proof keys, derived once for the room's life.
    QByteArray m_listKey;
    QByteArray m_joinKey;
    QUdpSocket* m_discovery = nullptr;
    // This machine's interface addresses, which discovery queries must come from a
    // subnet of; looked up again at most every subnetRefresh.
    QList<QNetworkAddressEntry> m_localSubnets;
    qint64 m_subnetsAt = 0;
    QTimer* m_heartbeat = nullptr;
    bool m_beatDue = false; // heartbeats go on every other tick
    QTimer* m_noticeTimer = nullptr;
    qint64 m_lastNoticeFlush = -1; // m_clock time of the last flushNotices()
    RoomListener* m_server = nullptr;
    quint16 m_port = 0;
    bool m_shuttingDown = false;

    QList<HostLink*> m_links;
    QList<QPointer<HostLink>> m_overflowed;
    // Members with queued frames, and whether their flush is already posted. A link
    // leaves this list (flushed) before it is dropped.
    QList<HostLink*> m_unflushed;
    bool m_flushPosted = false;
    // Members with notices waiting for the notice timer.
    QList<QPointer<HostLink>> m_noticed;
    std::vector<std::unique_ptr<HostedPlayer>> m_members; // joining order
    QHash<PlayerId, HostedPlayer*> m_byId;
    // Players whose events passed the cap: they leave once the current loop is done.
    QList<PlayerId> m_overflowedPlayers;
    // Players owed an Ack, sent with the turn's other frames.
    QList<PlayerId> m_ackDue;
    quint32 m_localSeq = 0; // the local player's messages
    // Every member's rosterEntry in joining order: the roster a newcomer receives,
    // kept ready so a join does not encode every name again.
    QByteArray m_roster;
    QByteArray m_successions;
    struct ProofFailures {
        int count = 0;
        qint64 until = 0; // m_clock time before which proofs from there are refused unchecked
    };
    QHash<QByteArray, ProofFailures> m_proofFailures;
    QElapsedTimer m_clock;
    // Payload bytes in the local player's queue, and the senders that queue holds.
    // The local player takes from its queue on its own thread: the count and whether
    // anybody is held are shared with it.
    std::atomic<qint64> m_localBacklog = 0;
    std::atomic<bool> m_localHeld = false;
    std::atomic<bool> m_localReleasePosted = false;
    QList<QPointer<HostLink>> m_localHolding;
    PlayerId m_nextId = 1;
    PlayerId m_localPlayer = 0;
};

} // namespace session
