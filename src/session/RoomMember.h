#pragma once

#include "session/FrameCodec.h"
#include "session/SessionConfig.h"
#include "session/SessionTypes.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>

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

    void open(const QString& host, quint16 port, const QString& applicationId, const QString& password);
    void createPlayer(const QString& name, const QString& secondName);
    void destroyPlayer();
    // Queues the message and sends it when connected. Fails when the room is gone, or
    // when the unacknowledged messages would pass the cap.
    Status send(PlayerId to, const QByteArray& payload);
    // Says goodbye, closes once it is out, then deletes itself.
    void leave();

Q_SIGNALS:
    void opened();
    void openFailed(const session::Error& error);
    void playerCreated(session::PlayerId id, const QList<session::PlayerEntry>& roster);
    void playerRefused(const session::Error& error);
    void playerJoined(session::PlayerId id, const QString& name);
    void playerLeft(session::PlayerId id);
    void delivered(session::PlayerId from, session::PlayerId to, const QByteArray& payload);
    // After opened(): the host is gone. Nothing more arrives.
    void lost();

private:
    void connectSocket();
    void onConnected();
    void onReadyRead();
    void onDisconnected();
    void onHeartbeatTick();
    void handleFrame(const Frame& frame);
    void handleResumed(WireReader& in);
    // Ends the connection. With `final` false, a member with a player tries again.
    void fail(quint32 code, const QString& text, bool final = false);
    void retryLater(const QString& why);
    void write(FrameType type, const QByteArray& body);
    void writeSend(const PendingSend& send);
    void writeAck();

    SessionConfig m_config;
    QString m_host;
    quint16 m_port = 0;
    bool m_opened = false;   // the first connection was admitted
    bool m_resuming = false; // the connection broke; trying to get the player back
    QElapsedTimer m_brokenSince;
    std::chrono::milliseconds m_retryDelay{0};
    QTimer m_retry;
    PlayerId m_playerId = 0;
    QByteArray m_resumeSecret;
    QByteArray m_roomSecret;
    QByteArray m_instanceId;
    quint32 m_eventsTaken = 0;
    quint32 m_eventsAcknowledged = 0;
    quint32 m_nextSeq = 1;
    std::deque<PendingSend> m_unacknowledged;
    qint64 m_unacknowledgedBytes = 0;
    QTcpSocket* m_socket = nullptr;
    FrameDecoder m_decoder;
    State m_state = State::Idle;
    QString m_applicationId;
    QString m_password;
    QByteArray m_key; // the joining key, once the challenge gave its salt
    QByteArray m_memberNonce;
    QElapsedTimer m_lastHeard;
    QTimer m_heartbeat;
};

} // namespace session
