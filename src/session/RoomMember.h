#pragma once

#include "session/FrameCodec.h"
#include "session/SessionConfig.h"
#include "session/SessionTypes.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QTcpSocket;

namespace session {

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

    void open(const QString& host, quint16 port, const QString& applicationId, const QString& password);
    void createPlayer(const QString& name, const QString& secondName);
    void destroyPlayer();
    // Fails when the connection is gone.
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
    void onConnected();
    void onReadyRead();
    void onDisconnected();
    void onHeartbeatTick();
    void handleFrame(const Frame& frame);
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
    QElapsedTimer m_lastHeard;
    QTimer m_heartbeat;
};

} // namespace session
