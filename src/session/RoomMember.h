#pragma once

#include "session/FrameCodec.h"
#include "session/SessionConfig.h"
#include "session/SessionTypes.h"
#include "session/Succession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QTcpSocket;

namespace session {

class WireReader;

// The joining side of a room: one TCP connection to the host. Every step is
// asynchronous and reported by signal; NetworkSessionService waits for them.
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
        Lost,           // the host went away or broke the protocol
        Left,           // we left
    };

    RoomMember(const SessionConfig& config, QObject* parent = nullptr);
    ~RoomMember() override;

    State state() const { return m_state; }

    // With a room secret, the host must prove it holds that secret (a copy taking
    // over a room this member is in): a host that does not fails the open.
    void open(const QString& host, quint16 port, const QString& applicationId, const QString& password,
              const QByteArray& roomSecret = {});
    // A standby port (not 0) tells the host where this copy may be reached should the
    // room move to it.
    void createPlayer(const QString& name, const QString& secondName, quint16 standbyPort = 0);
    void destroyPlayer();
    // Fails when the connection is gone.
    Status send(PlayerId to, const QByteArray& payload);
    // Says goodbye, closes once it is out, then deletes itself.
    void leave();

    // What Accept told about the room.
    const QByteArray& instanceId() const { return m_instanceId; }
    qint32 numericAttribute() const { return m_attribute; }
    // Whether the room can move to another host: it says it outlives its host and
    // told this member all it needs for that.
    bool canMigrate() const;
    // The room as this member knows it, to take it over, without the old host's
    // player; `self` is its own player.
    RoomSnapshot snapshot(PlayerId self) const;
    // The player whose copy hosts the room (0: none of them, or not known).
    PlayerId hostPlayer() const;
    const QList<RoomPlayer>& roomPlayers() const { return m_players; }
    const QByteArray& resumeSecret() const { return m_resumeSecret; }
    const QByteArray& roomSecret() const { return m_roomSecret; }

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
    void onConnected();
    void onReadyRead();
    void onDisconnected();
    void onHeartbeatTick();
    void handleFrame(const Frame& frame);
    // The succession fields behind PlayerCreated's roster.
    void readSuccessions(WireReader& in, const QList<PlayerEntry>& roster);
    void fail(quint32 code, const QString& text);
    void write(FrameType type, const QByteArray& body);

    SessionConfig m_config;
    QTcpSocket* m_socket = nullptr;
    FrameDecoder m_decoder;
    State m_state = State::Idle;
    QString m_applicationId;
    QString m_password;
    QByteArray m_key; // the joining key, once the challenge gave its salt
    QByteArray m_memberNonce;
    QByteArray m_expectedSecret; // the room secret a successor must prove
    QByteArray m_instanceId;
    qint32 m_attribute = 0;
    // Succession: every player with its endpoint and verifier, the highest id the
    // room has given, this player's resume secret and the room secret.
    QList<RoomPlayer> m_players;
    bool m_successionComplete = false;
    PlayerId m_highestId = 0;
    QByteArray m_resumeSecret;
    QByteArray m_roomSecret;
    QElapsedTimer m_lastHeard;
    QTimer m_heartbeat;
};

} // namespace session
