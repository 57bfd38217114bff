#include "session/RoomMember.h"

#include "session/DiscoveryDatagram.h"
#include "session/PasswordProof.h"
#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/WireBuffer.h"

#include <QTcpSocket>

namespace session {

namespace {
constexpr auto kLeaveGrace = std::chrono::milliseconds(2000);

Error refusalError(const QByteArray& body, quint32 fallbackCode) {
    WireReader in(body);
    const quint32 reason = in.u32().value_or(0);
    const QString text = in.string(4096).value_or(QString());
    quint32 code = fallbackCode;
    switch (static_cast<RefuseReason>(reason)) {
    case RefuseReason::Password:
        code = kErrorAccessDenied;
        break;
    case RefuseReason::Full:
        code = kErrorRoomFull;
        break;
    case RefuseReason::InvalidName:
        code = kErrorInvalidName;
        break;
    default:
        break;
    }
    return Error{code,
                 text.isEmpty() ? QStringLiteral("the host refused") : QStringLiteral("the host refused: ") + text};
}
} // namespace

RoomMember::RoomMember(const SessionConfig& config, QObject* parent)
    : QObject(parent), m_config(config), m_decoder(config.maxFrameBytes) {
    connect(&m_heartbeat, &QTimer::timeout, this, &RoomMember::onHeartbeatTick);
}

RoomMember::~RoomMember() = default;

void RoomMember::open(const QString& host, quint16 port, const QString& applicationId, const QString& password,
                      const QByteArray& roomSecret) {
    m_applicationId = applicationId;
    m_password = password;
    m_expectedSecret = roomSecret;
    m_state = State::Connecting;
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &RoomMember::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &RoomMember::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &RoomMember::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_state == State::Connecting) {
            fail(kErrorConnectFailed, QStringLiteral("cannot reach the room: %1").arg(m_socket->errorString()));
        } else if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            onDisconnected();
        }
    });
    m_socket->connectToHost(host, port);
}

void RoomMember::onConnected() {
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_memberNonce = proof::randomNonce();
    WireWriter hello;
    hello.bytes(QByteArray(kRoomMagic));
    hello.u16(kProtocolVersion);
    hello.string(m_applicationId);
    hello.bytes(m_memberNonce);
    m_state = State::Handshaking;
    m_lastHeard.start();
    write(FrameType::Hello, hello.data());
}

void RoomMember::createPlayer(const QString& name, const QString& secondName, quint16 standbyPort) {
    if (m_state != State::Admitted) {
        Q_EMIT playerRefused(Error{kErrorNoRoom, QStringLiteral("not in a room")});
        return;
    }
    WireWriter out;
    out.string(name);
    out.string(secondName);
    if (standbyPort != 0) {
        out.u16(standbyPort);
    }
    m_state = State::CreatingPlayer;
    write(FrameType::CreatePlayer, out.data());
}

void RoomMember::destroyPlayer() {
    if (m_state == State::Playing) {
        write(FrameType::DestroyPlayer, {});
        m_state = State::Admitted;
    }
}

Status RoomMember::send(PlayerId to, const QByteArray& payload) {
    if (m_state != State::Playing) {
        return failure(kErrorConnectionLost, QStringLiteral("the connection to the room's host is gone"));
    }
    if (payload.size() > m_config.maxPayloadBytes()) {
        return failure(kErrorInvalidParameter, QStringLiteral("the message is too large"));
    }
    WireWriter out;
    out.i32(to);
    out.bytes(payload);
    write(FrameType::Send, out.data());
    return {};
}

void RoomMember::leave() {
    const State previous = m_state;
    m_state = State::Left;
    m_heartbeat.stop();
    disconnect(this, nullptr, nullptr, nullptr);
    if (m_socket == nullptr || m_socket->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    m_socket->disconnect(this);
    if (previous != State::Connecting && m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->write(encodeFrame(FrameType::Goodbye, {}));
    }
    // What was sent last must still go out, even when the owner is destroyed right
    // after: hand it to the kernel now, and outlive the owner until the close is done.
    m_socket->flush();
    setParent(nullptr);
    m_socket->disconnectFromHost();
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    QTimer::singleShot(kLeaveGrace, this, &QObject::deleteLater);
}

void RoomMember::write(FrameType type, const QByteArray& body) {
    m_socket->write(encodeFrame(type, body));
}

void RoomMember::fail(quint32 code, const QString& text) {
    const State previous = m_state;
    if (previous == State::Lost || previous == State::Left) {
        return;
    }
    m_state = State::Lost;
    m_heartbeat.stop();
    if (m_socket != nullptr) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    qCDebug(lcSession) << "room connection ended:" << text;
    if (previous == State::Connecting || previous == State::Handshaking || previous == State::Authenticating) {
        Q_EMIT openFailed(Error{code, text});
    } else {
        if (previous == State::CreatingPlayer) {
            Q_EMIT playerRefused(Error{code, text});
        }
        Q_EMIT lost();
    }
}

void RoomMember::onReadyRead() {
    const QByteArray chunk = m_socket->readAll();
    if (chunk.isEmpty()) {
        return;
    }
    m_lastHeard.restart();
    m_decoder.feed(chunk);
    while (m_state != State::Lost && m_state != State::Left) {
        std::optional<Frame> frame = m_decoder.next();
        if (!frame) {
            break;
        }
        handleFrame(*frame);
    }
    if (m_decoder.failed()) {
        fail(kErrorProtocol, QStringLiteral("the host sent a malformed frame"));
    }
}

void RoomMember::onDisconnected() {
    if (m_state == State::Lost || m_state == State::Left) {
        return;
    }
    // Whatever the host sent before closing is still delivered, then the end.
    onReadyRead();
    fail(kErrorConnectionLost, QStringLiteral("the room's host closed the connection"));
}

void RoomMember::onHeartbeatTick() {
    if (m_lastHeard.elapsed() > m_config.heartbeatTimeout.count()) {
        fail(kErrorConnectionLost, QStringLiteral("the room's host went silent"));
        return;
    }
    write(FrameType::Heartbeat, {});
}

void RoomMember::readSuccessions(WireReader& in, const QList<PlayerEntry>& roster) {
    m_players.clear();
    m_highestId = 0;
    for (const PlayerEntry& entry : roster) {
        m_highestId = std::max(m_highestId, entry.id);
    }
    const auto resumeSecret = in.bytes(kSecretBytes);
    const auto roomSecret = in.bytes(kSecretBytes);
    m_successionComplete = in.ok();
    for (qsizetype i = 0; i < roster.size() && m_successionComplete; ++i) {
        const auto player = readSuccession(in, roster.at(i).id, roster.at(i).name);
        m_successionComplete = player.has_value();
        if (player) {
            m_players.append(*player);
        }
    }
    if (m_successionComplete) {
        m_resumeSecret = *resumeSecret;
        m_roomSecret = *roomSecret;
    }
}

bool RoomMember::canMigrate() const {
    return m_attribute == kMigratingRoomAttribute && m_successionComplete && !m_roomSecret.isEmpty();
}

RoomSnapshot RoomMember::snapshot(PlayerId self) const {
    RoomSnapshot snapshot{m_instanceId, m_roomSecret, m_players, self, m_highestId + 1};
    // The old host's player goes with its copy; every copy shows its leave itself.
    snapshot.players.removeIf([](const RoomPlayer& p) { return p.endpoint.isHost(); });
    return snapshot;
}

PlayerId RoomMember::hostPlayer() const {
    for (const RoomPlayer& player : m_players) {
        if (player.endpoint.isHost()) {
            return player.id;
        }
    }
    return 0;
}

void RoomMember::handleFrame(const Frame& frame) {
    const auto type = static_cast<FrameType>(frame.type);
    WireReader in(frame.body);
    auto malformed = [this] { fail(kErrorProtocol, QStringLiteral("the host sent a malformed frame")); };

    if (type == FrameType::Reject && m_state != State::Playing) {
        const Error error = refusalError(frame.body, kErrorConnectFailed);
        fail(error.code, error.description);
        return;
    }
    switch (m_state) {
    case State::Handshaking: {
        if (type != FrameType::Challenge) {
            malformed();
            return;
        }
        const auto version = in.u16();
        const auto flags = in.u8();
        const auto hostNonce = in.bytes(proof::kNonceBytes);
        if (!in.ok()) {
            malformed();
            return;
        }
        // A room without a password is proved with the empty one, whatever password the
        // user typed: it may have been meant for another room on the list.
        if ((*flags & 0x01) == 0) { // bit 0: password protected
            m_password.clear();
        }
        if (*version != kProtocolVersion) {
            fail(kErrorProtocol, QStringLiteral("the host speaks protocol version %1").arg(*version));
            return;
        }
        // The rest of the challenge: the salt of the joining key.
        const auto instanceId = in.bytes(proof::kNonceBytes);
        if (!in.ok()) {
            malformed();
            return;
        }
        m_state = State::Authenticating;
        m_key = proof::joinKey(m_password, *instanceId);
        WireWriter auth;
        auth.bytes(proof::joinMember(m_key, *hostNonce, m_memberNonce));
        write(FrameType::Auth, auth.data());
        // Kept for the host's proof in Accept.
        m_memberNonce.append(*hostNonce);
        return;
    }
    case State::Authenticating: {
        if (type != FrameType::Accept) {
            malformed();
            return;
        }
        const auto hostProof = in.bytes(proof::kProofBytes);
        if (!in.ok()) {
            malformed();
            return;
        }
        const QByteArray memberNonce = m_memberNonce.left(proof::kNonceBytes);
        const QByteArray hostNonce = m_memberNonce.mid(proof::kNonceBytes);
        // The host proves the password too, so a stranger answering at the room's
        // address cannot pose as it.
        if (!proof::equal(*hostProof, proof::joinHost(m_key, hostNonce, memberNonce))) {
            fail(kErrorAccessDenied, QStringLiteral("the host could not prove the room's password"));
            return;
        }
        const auto instanceId = in.bytes(proof::kNonceBytes);
        in.string(kMaxNameChars * 3); // the room name, which the member knows already
        const auto attribute = in.i32();
        const auto successorProof = in.bytes(proof::kProofBytes);
        m_instanceId = instanceId.value_or(QByteArray());
        m_attribute = attribute.value_or(0);
        // Knowing the password is not enough to take a room over: a copy that claims
        // to be the room's new host proves it was given the room's secret.
        if (!m_expectedSecret.isEmpty() &&
            (!successorProof ||
             !proof::equal(*successorProof, proof::successorHost(m_expectedSecret, hostNonce, memberNonce)))) {
            fail(kErrorAccessDenied, QStringLiteral("the host could not prove it belongs to the room"));
            return;
        }
        m_state = State::Admitted;
        m_heartbeat.start(m_config.heartbeatInterval);
        Q_EMIT opened();
        return;
    }
    case State::CreatingPlayer:
        if (type == FrameType::PlayerCreated) {
            const auto id = in.i32();
            const auto count = in.u32();
            QList<PlayerEntry> roster;
            // Each entry takes at least 8 bytes; a count beyond that is a lie.
            if (!in.ok() || *count > static_cast<quint32>(in.remaining() / 8)) {
                malformed();
                return;
            }
            for (quint32 i = 0; i < *count; ++i) {
                const auto memberId = in.i32();
                const auto name = in.string(kMaxNameChars * 3);
                if (!in.ok()) {
                    malformed();
                    return;
                }
                roster.append(PlayerEntry{*memberId, *name});
            }
            readSuccessions(in, roster);
            m_state = State::Playing;
            Q_EMIT playerCreated(*id, roster);
            return;
        }
        if (type == FrameType::PlayerRefused) {
            m_state = State::Admitted;
            Q_EMIT playerRefused(refusalError(frame.body, kErrorInvalidParameter));
            return;
        }
        break;
    default:
        break;
    }

    switch (type) {
    case FrameType::Deliver: {
        const auto from = in.i32();
        const auto to = in.i32();
        if (!in.ok()) {
            malformed();
            return;
        }
        if (m_state == State::Playing) {
            Q_EMIT delivered(*from, *to, in.rest());
        }
        break;
    }
    case FrameType::Joined: {
        const auto id = in.i32();
        const auto name = in.string(kMaxNameChars * 3);
        if (!in.ok()) {
            malformed();
            return;
        }
        m_highestId = std::max(m_highestId, *id);
        if (const auto player = readSuccession(in, *id, *name)) {
            m_players.append(*player);
        } else {
            m_successionComplete = false;
        }
        Q_EMIT playerJoined(*id, *name);
        break;
    }
    case FrameType::Left: {
        const auto id = in.i32();
        if (!in.ok()) {
            malformed();
            return;
        }
        m_players.removeIf([&](const RoomPlayer& p) { return p.id == *id; });
        Q_EMIT playerLeft(*id);
        break;
    }
    case FrameType::Goodbye:
        fail(kErrorConnectionLost, QStringLiteral("the room's host closed the room"));
        break;
    default:
        break;
    }
}

} // namespace session
