#pragma once

#include "session/SessionConfig.h"
#include "session/SessionTypes.h"
#include "session/member/RoomSuccessors.h"
#include "session/secure/CPace.h"
#include "session/secure/RoomIdentity.h"
#include "session/secure/SecureChannel.h"
#include "session/wire/FrameCodec.h"
#include "session/wire/RoomHistory.h"
#include "session/wire/Succession.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <deque>
#include <optional>

class QTcpSocket;

namespace session {

class WireReader;

// The joining side of a room: one TCP connection to the host. Every step is
// asynchronous and reported by signal; NetworkSessionService waits for them.
//
// Once it has a player, a broken connection is not the end: the member connects to
// the host again and resumes its player (same id, nothing missed, nothing twice),
// trying for the grace period before it reports lost(). Its own messages stay
// queued until the host acknowledges that every receiver has them.
class RoomMember : public QObject {
    Q_OBJECT

public:
    enum class State {
        Idle,
        Connecting,     // TCP connect in progress
        Handshaking,    // Hello sent, waiting for the challenge
        Authenticating, // proof sent, waiting for Accept or Reject
        Admitted,       // in the room without a player
        CreatingPlayer, // CreatePlayer sent
        Playing,        // has a player
        Resuming,       // Resume sent on a new connection, waiting for Resumed
        Away,           // the connection broke; waiting to try again
        Lost,           // the host went away or broke the protocol
        Left,           // we left
    };

    RoomMember(const SessionConfig& config, QObject* parent = nullptr);
    ~RoomMember() override;

    // A message of this member's own that the host has not acknowledged yet.
    struct PendingSend {
        quint32 seq = 0;
        PlayerId to = 0;
        QByteArray payload;
        QByteArray signature; // the line's, made once when it was queued
    };

    State state() const { return m_state; }
    // What a member needs to come back to its player, here or at another host.
    PlayerId playerId() const { return m_playerId; }
    const QByteArray& resumeSecret() const { return m_resumeSecret; }
    const QByteArray& roomSecret() const { return m_roomSecret; }
    const QByteArray& instanceId() const { return m_instanceId; }
    // The highest event seq taken from the host, and the messages not acknowledged.
    quint32 eventsTaken() const { return m_eventsTaken; }
    const std::deque<PendingSend>& unacknowledged() const { return m_unacknowledged; }
    // After lost(): the messages that never went out, oldest first; empties the queue.
    std::deque<PendingSend> takeUnacknowledged() { return std::exchange(m_unacknowledged, {}); }

    // The room's key this member knows already (a room it is in, moving to a new host):
    // a host that proves another fails the open. Set before open().
    void expectRoomKey(const secure::RoomKey& key) { m_roomKey = key; }
    // Once opened: the room's key the host proved, and the room's name as Accept gave it.
    const std::optional<secure::RoomKey>& roomKey() const { return m_roomKey; }
    const QString& roomName() const { return m_roomName; }
    // The room's key and this device's chain to host the room, as a host's handshake
    // carries them; empty while the host gave none.
    QByteArray hostingProof() const;

    // With a room secret, the host must prove it holds that secret (a copy taking
    // over a room this member is in): a host that does not fails the open.
    void open(const QString& host, quint16 port, const QString& applicationId, const QString& password,
              const QByteArray& roomSecret = {});
    // A standby port (not 0) tells the host where this copy may be reached should the
    // room move to it.
    void createPlayer(const QString& name, const QString& secondName, quint16 standbyPort = 0);
    void destroyPlayer();
    // Queues the message and sends it when connected. Fails when the room is gone, or
    // when the unacknowledged messages would pass the cap.
    Status send(PlayerId to, const QByteArray& payload);
    // Queues a file part for `to`; it leaves behind this member's chat lines, once what
    // the connection has waiting is small (RoomMemberFiles.cpp). Fails without a player
    // in the room or while the queue is full: a part is not kept for long.
    Status sendFilePart(PlayerId to, const QByteArray& part);
    // Says goodbye, closes once it is out, then deletes itself.
    void leave();

    // What Accept told about the room, and the password it was entered with (empty
    // for a room without one, whatever the user typed).
    qint32 numericAttribute() const { return m_attribute; }
    const QString& password() const { return m_password; }
    // Whether the room can move to another host: it says it outlives its host and
    // told this member all it needs for that.
    bool canMigrate() const;
    // The room as this member knows it, to take it over, without the old host's
    // player; `self` is its own player.
    RoomSnapshot snapshot(PlayerId self) const;
    // The player whose copy hosts the room (0: none of them, or not known).
    PlayerId hostPlayer() const { return m_successors.hostPlayer(); }
    const QList<RoomPlayer>& roomPlayers() const { return m_successors.players(); }
    // The seq of this member's last message.
    quint32 lastSeq() const { return m_nextSeq - 1; }

    // After hostGone(): tries `candidate` as the room's new host (it must prove the
    // room secret before the member resumes); moved() or moveFailed() follows.
    void moveTo(const RoomPlayer& candidate);
    // After hostGone(): nobody took the room over; lost() follows.
    void giveUp();
    // After hostGone(): this copy hosts the room now. Closes without a word and
    // deletes itself.
    void abandon();

    // The room's last public lines as this member has seen them (what it was given on
    // joining, what it saw and said since), to give newcomers should it host the room.
    const RoomHistory& history() const { return m_history; }
    void setHistoryObeysSysclear(bool obeys) { m_history.setObeysSysclear(obeys); }

Q_SIGNALS:
    void opened();
    void openFailed(const session::Error& error);
    void playerCreated(session::PlayerId id, const QList<session::PlayerEntry>& roster);
    void playerRefused(const session::Error& error);
    void playerJoined(session::PlayerId id, const QString& name);
    void playerLeft(session::PlayerId id);
    // A message with its sender's seq.
    void delivered(session::PlayerId from, session::PlayerId to, quint32 seq, const QByteArray& payload);
    // Right after playerCreated(): what was said in the room before.
    void historyReceived(const QList<session::HistoryLine>& lines);
    // In a room that outlives its host: the host's copy is gone (`oldHost` is its
    // player). The member waits for moveTo(), giveUp() or abandon(); what it sends
    // meanwhile waits too.
    void hostGone(session::PlayerId oldHost);
    void moved();
    void moveFailed();
    // A line of this member's that the host acknowledged but none of its receivers
    // confirmed within the receipt time-out: the host may have withheld it.
    void unconfirmed(session::PlayerId to, const QByteArray& payload);
    // After opened(): the host is gone. Nothing more arrives.
    void lost();
    // A file part another player sent to this member's player.
    void filePartReceived(session::PlayerId from, const QByteArray& part);

private:
    void connectSocket();
    // Closes the connection at once, without a goodbye, and forgets it.
    void dropSocket();
    void onConnected();
    void sendHello();
    void onReadyRead();
    void onDisconnected();
    void onHeartbeatTick();
    void handleFrame(const Frame& frame);
    // The frames of the way in (RoomMemberAdmission.cpp); false for one that is not.
    bool handleWayIn(const Frame& frame);
    // The room's key and the host's chain from the handshake, checked once Accept has
    // named the room; false (the connection failed) for one that does not hold.
    bool checkRoomKey(const QString& roomName);
    void takeDelegation(const QByteArray& body);
    void handleResumed(WireReader& in);
    // Learns `id`'s signing key; false when the member knows another one for it.
    bool learnKey(PlayerId id, const QByteArray& key);
    bool lineHolds(PlayerId from, PlayerId to, quint32 seq, const QByteArray& signature,
                   const QByteArray& payload) const;
    bool hostStuck() const;
    void seekSuccessor();
    void endMove();
    // Ends the connection. With `final` false, a member with a player tries again.
    void fail(quint32 code, const QString& text, bool final = false);
    void retryLater(const QString& why);
    void write(FrameType type, const QByteArray& body);
    void writeSend(const PendingSend& send);
    void writeAck();
    // File parts (RoomMemberFiles.cpp): what waits goes out while the socket is nearly
    // empty, so that a chat line never queues behind much of a file.
    void writeFileParts();
    void handleFilePart(const Frame& frame);
    // Signed receipts (docs/protocol.md, "Receipts"): as a receiver, what it took of
    // each sender; as a sender, what its receivers confirmed.
    void tookLine(PlayerId from, quint32 seq);
    void writeReceipts(bool recentToo);
    void handleReceipt(WireReader& in);
    void awaitReceipts(const PendingSend& line);
    void checkReceipts();

    SessionConfig m_config;
    QString m_host;
    quint16 m_port = 0;
    bool m_opened = false;   // the first connection was admitted
    bool m_resuming = false; // the connection broke; trying to get the player back
    QElapsedTimer m_brokenSince;
    std::chrono::milliseconds m_retryDelay{0};
    QTimer m_retry;
    QTimer m_ackTimer;
    PlayerId m_playerId = 0;
    QByteArray m_resumeSecret;
    QByteArray m_roomSecret;
    QByteArray m_instanceId;
    quint32 m_eventsTaken = 0;
    quint32 m_eventsAcknowledged = 0;
    qint64 m_bytesSinceAck = 0;
    quint32 m_nextSeq = 1;
    std::deque<PendingSend> m_unacknowledged;
    QHash<PlayerId, quint32> m_lastSeqFrom; // the highest seq delivered of each sender
    // Every player's signing key as this member first learnt it, kept after its leave:
    // no host can give a known player another one.
    QHash<PlayerId, QByteArray> m_signingKeys;
    struct Taken {
        quint32 seq = 0;
        qint64 at = 0; // m_clock's time it took that line
        bool due = false;
    };
    QHash<PlayerId, Taken> m_taken; // per sender, as receiver
    QTimer m_receiptTimer;
    struct Awaited {
        quint32 seq = 0;
        PlayerId to = 0;
        QByteArray payload;
        qint64 since = 0; // m_clock's time the host acknowledged it
    };
    std::deque<Awaited> m_awaited;        // acknowledged by the host, not yet confirmed
    QHash<PlayerId, quint32> m_confirmed; // per receiver, the highest seq it confirmed
    quint32 m_confirmedByAnyone = 0;
    QElapsedTimer m_clock;
    qint64 m_unacknowledgedBytes = 0;
    QTcpSocket* m_socket = nullptr;
    std::deque<QByteArray> m_fileParts; // FilePart bodies not written yet
    qint64 m_filePartBytes = 0;
    std::optional<secure::SecureChannel> m_channel; // the connection's handshake and records
    QTimer m_handshakeDeadline;
    FrameDecoder m_decoder;
    State m_state = State::Idle;
    QString m_applicationId;
    QString m_password;
    // A password room's CPace run, from the Challenge to Accept; then the connection is re-keyed.
    std::optional<secure::CPaceParty> m_cpace;
    QByteArray m_memberNonce;
    QByteArray m_expectedSecret; // the room secret a successor must prove
    qint32 m_attribute = 0;
    // The room's identity: its key (known from the first host on), its name, and the
    // chain that lets this device host it.
    std::optional<secure::RoomKey> m_roomKey;
    QString m_roomName;
    QList<secure::HostingLink> m_hostingLinks;
    // Looking for the room's new host: the election runs, and while m_moving one
    // candidate is being tried.
    bool m_seekingHost = false;
    bool m_moving = false;
    bool m_mayMigrate = true;
    PlayerId m_candidate = 0;
    QTimer m_moveTimer;
    // Since a resuming connection to the old host was first taken, while nothing came
    // back on it or on any attempt after it.
    QElapsedTimer m_unanswered;
    RoomSuccessors m_successors;
    // Every player's name, for the lines kept in the history.
    QHash<PlayerId, QString> m_names;
    RoomHistory m_history;
    bool m_historyDue = false; // the player was just created: a History may come
    QElapsedTimer m_lastHeard;
    QTimer m_heartbeat;
    bool m_beatDue = false; // it ticks twice per heartbeat
};

} // namespace session
