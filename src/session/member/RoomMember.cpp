#include "session/member/RoomMember.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/wire/DiscoveryDatagram.h"
#include "session/wire/PasswordProof.h"
#include "session/wire/WireBuffer.h"

#include <QTcpSocket>

namespace session {

namespace {
constexpr auto kLeaveGrace = std::chrono::milliseconds(2000);
// Events are acknowledged at most this long after they came, or at once when this
// many, or this many bytes of them, wait: the host keeps them until then.
constexpr auto kAckDelay = std::chrono::milliseconds(20);
constexpr quint32 kAckBatch = 64;
constexpr qint64 kAckBatchBytes = 64 * 1024;

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
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &RoomMember::connectSocket);
    m_moveTimer.setSingleShot(true);
    connect(&m_moveTimer, &QTimer::timeout, this,
            [this] { fail(kErrorTimedOut, QStringLiteral("the candidate did not answer in time"), true); });
    m_ackTimer.setSingleShot(true);
    connect(&m_ackTimer, &QTimer::timeout, this, [this] {
        if (m_state == State::Playing && m_eventsTaken != m_eventsAcknowledged) {
            writeAck();
        }
    });
}

RoomMember::~RoomMember() = default;

void RoomMember::open(const QString& host, quint16 port, const QString& applicationId, const QString& password,
                      const QByteArray& roomSecret) {
    m_host = host;
    m_port = port;
    m_applicationId = applicationId;
    m_password = password;
    m_expectedSecret = roomSecret;
    connectSocket();
}

void RoomMember::dropSocket() {
    if (m_socket != nullptr) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
}

void RoomMember::connectSocket() {
    dropSocket();
    m_decoder = FrameDecoder(m_config.maxFrameBytes);
    m_state = State::Connecting;
    m_lastHeard.start();
    m_unanswered.invalidate();
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &RoomMember::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &RoomMember::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &RoomMember::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (m_state == State::Connecting) {
            // Nothing listens at the room's port any more: the room is gone, no use trying again.
            fail(kErrorConnectFailed, QStringLiteral("cannot reach the room: %1").arg(m_socket->errorString()),
                 error == QAbstractSocket::ConnectionRefusedError);
        } else if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            onDisconnected();
        }
    });
    m_socket->connectToHost(m_host, m_port);
}

void RoomMember::onConnected() {
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_resuming) {
        m_unanswered.start();
    }
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
    m_playerId = 0;
    m_unacknowledged.clear();
    m_unacknowledgedBytes = 0;
}

Status RoomMember::send(PlayerId to, const QByteArray& payload) {
    if (m_playerId == 0 || (m_state != State::Playing && !m_resuming)) {
        return failure(kErrorConnectionLost, QStringLiteral("the connection to the room's host is gone"));
    }
    if (payload.size() > m_config.maxPayloadBytes()) {
        return failure(kErrorInvalidParameter, QStringLiteral("the message is too large"));
    }
    if (m_unacknowledgedBytes + payload.size() > m_config.maxBufferedBytesPerMember) {
        return failure(kErrorBusy, QStringLiteral("too many messages wait for the room's host"));
    }
    m_unacknowledged.push_back(PendingSend{m_nextSeq++, to, payload});
    m_unacknowledgedBytes += payload.size();
    // While reconnecting, it waits; it goes out once the player is back.
    if (m_state == State::Playing) {
        writeSend(m_unacknowledged.back());
    }
    return {};
}

void RoomMember::leave() {
    const State previous = m_state;
    m_state = State::Left;
    m_heartbeat.stop();
    m_retry.stop();
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

void RoomMember::writeSend(const PendingSend& send) {
    WireWriter out;
    out.i32(send.to);
    out.u32(send.seq);
    out.bytes(send.payload);
    write(FrameType::Send, out.data());
}

void RoomMember::writeAck() {
    WireWriter out;
    out.u32(m_eventsTaken);
    write(FrameType::Ack, out.data());
    m_eventsAcknowledged = m_eventsTaken;
    m_bytesSinceAck = 0;
}

void RoomMember::fail(quint32 code, const QString& text, bool final) {
    const State previous = m_state;
    if (previous == State::Lost || previous == State::Left) {
        return;
    }
    if (m_moving) {
        endMove();
        return;
    }
    if (m_seekingHost && m_mayMigrate) {
        return; // nothing is connected between two candidates
    }
    // The host's copy is gone for good (Goodbye, nothing listens any more, another room
    // at its address): the room may live on at another member's copy.
    if (final && m_mayMigrate && canMigrate() && m_playerId != 0 && (previous == State::Playing || m_resuming)) {
        qCDebug(lcSession) << "the room's host is gone:" << text;
        seekSuccessor();
        return;
    }
    if (!final && m_playerId != 0 && m_config.resumeGrace.count() > 0 && (previous == State::Playing || m_resuming)) {
        retryLater(text);
        return;
    }
    m_state = State::Lost;
    m_resuming = false;
    m_heartbeat.stop();
    m_retry.stop();
    if (m_socket != nullptr) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    qCDebug(lcSession) << "room connection ended:" << text;
    if (!m_opened) {
        Q_EMIT openFailed(Error{code, text});
    } else {
        if (previous == State::CreatingPlayer) {
            Q_EMIT playerRefused(Error{code, text});
        }
        Q_EMIT lost();
    }
}

void RoomMember::retryLater(const QString& why) {
    if (!m_resuming) {
        qCDebug(lcSession) << "room connection broke, resuming:" << why;
        m_resuming = true;
        m_brokenSince.start();
        m_retryDelay = std::chrono::milliseconds(0);
    } else if (hostStuck()) {
        seekSuccessor();
        return;
    }
    const qint64 left = m_config.resumeGrace.count() - m_brokenSince.elapsed();
    if (left <= 0) {
        // Nobody could be told apart from this copy being cut off: the room ends for it.
        m_mayMigrate = false;
        fail(kErrorConnectionLost, QStringLiteral("the room's host did not take the player back in time"), true);
        return;
    }
    dropSocket();
    m_state = State::Away;
    m_retry.start(std::min<qint64>(m_retryDelay.count(), left));
    m_retryDelay = std::min(std::max(m_retryDelay * 2, m_config.resumeRetryStart), m_config.resumeRetryMax);
}

void RoomMember::onReadyRead() {
    if (!m_socket->isOpen()) {
        return; // aborted here: nothing left to read
    }
    const QByteArray chunk = m_socket->readAll();
    if (chunk.isEmpty()) {
        return;
    }
    m_lastHeard.restart();
    m_unanswered.invalidate();
    m_decoder.feed(chunk);
    QTcpSocket* const socket = m_socket;
    while (socket == m_socket && m_state != State::Lost && m_state != State::Left && m_state != State::Away) {
        std::optional<Frame> frame = m_decoder.next();
        if (!frame) {
            break;
        }
        handleFrame(*frame);
    }
    if (socket != m_socket || m_state == State::Lost || m_state == State::Left || m_state == State::Away) {
        return;
    }
    if (m_decoder.failed()) {
        fail(kErrorProtocol, QStringLiteral("the host sent a malformed frame"), true);
    } else if (m_state == State::Playing && m_eventsTaken != m_eventsAcknowledged) {
        // Acknowledged soon after each burst, so the host can let go of what it kept; a
        // busy room's bursts share one Ack.
        if (m_eventsTaken - m_eventsAcknowledged >= kAckBatch || m_bytesSinceAck >= kAckBatchBytes) {
            writeAck();
        } else if (!m_ackTimer.isActive()) {
            m_ackTimer.start(kAckDelay);
        }
    }
}

void RoomMember::onDisconnected() {
    if (m_state == State::Lost || m_state == State::Left || m_state == State::Away) {
        return;
    }
    // Whatever the host sent before closing is still delivered, then the end.
    QTcpSocket* const socket = m_socket;
    onReadyRead();
    if (socket == m_socket) {
        fail(kErrorConnectionLost, QStringLiteral("the room's host closed the connection"));
    }
}

void RoomMember::onHeartbeatTick() {
    if (m_seekingHost) {
        return;
    }
    if (hostStuck()) {
        seekSuccessor();
        return;
    }
    if (m_resuming && m_brokenSince.elapsed() >= m_config.resumeGrace.count()) {
        m_mayMigrate = false;
        fail(kErrorConnectionLost, QStringLiteral("the room's host did not take the player back in time"), true);
        return;
    }
    if (m_state == State::Away) {
        return;
    }
    if (m_lastHeard.elapsed() > m_config.heartbeatTimeout.count()) {
        fail(kErrorConnectionLost, QStringLiteral("the room's host went silent"));
        return;
    }
    m_beatDue = !m_beatDue;
    if (!m_beatDue) {
        return;
    }
    if (m_state == State::Playing) {
        // The acknowledgement is the heartbeat.
        writeAck();
    } else if (m_state == State::Admitted || m_state == State::CreatingPlayer) {
        write(FrameType::Heartbeat, {});
    }
}

void RoomMember::handleResumed(WireReader& in) {
    const auto handled = in.u32();
    const auto nextEvent = in.u32();
    if (!in.ok() || *nextEvent == 0) {
        fail(kErrorProtocol, QStringLiteral("the host sent a malformed frame"), true);
        return;
    }
    qCDebug(lcSession) << "player" << m_playerId << "resumed";
    m_state = State::Playing;
    m_resuming = false;
    m_eventsTaken = *nextEvent - 1;
    m_eventsAcknowledged = m_eventsTaken;
    // What the host has not handled goes again, in order; the rest waits for its Ack.
    for (const PendingSend& pending : m_unacknowledged) {
        if (pending.seq > *handled) {
            writeSend(pending);
        }
    }
    if (m_moving) {
        m_moving = false;
        m_seekingHost = false;
        m_moveTimer.stop();
        // Its copy hosts the room now: a later move leaves it out.
        for (RoomPlayer& player : m_players) {
            if (player.id == m_candidate) {
                player.endpoint = Endpoint{};
            }
        }
        Q_EMIT moved();
    }
}

bool RoomMember::hostStuck() const {
    // The host's machine takes the connection but its copy says nothing: it is stopped
    // or hangs, and as gone as one that closed. A host that cannot be reached at all
    // may just as well be this copy cut off itself (its cable, its Wi-Fi): then it keeps
    // trying to resume, and the room moves on only if the old host is not back in time.
    return m_resuming && m_mayMigrate && canMigrate() && m_unanswered.isValid() &&
           m_unanswered.elapsed() >= m_config.successorDelay.count();
}

void RoomMember::seekSuccessor() {
    if (!m_resuming) {
        m_resuming = true;
        m_brokenSince.start();
    }
    m_seekingHost = true;
    m_retry.stop();
    dropSocket();
    m_state = State::Away;
    const PlayerId oldHost = hostPlayer();
    m_players.removeIf([](const RoomPlayer& p) { return p.endpoint.isHost(); });
    // Reported from the event loop: this may run inside a socket's handler.
    QMetaObject::invokeMethod(
        this, [this, oldHost] { Q_EMIT hostGone(oldHost); }, Qt::QueuedConnection);
}

void RoomMember::moveTo(const RoomPlayer& candidate) {
    if (!m_seekingHost) {
        return;
    }
    m_moving = true;
    m_candidate = candidate.id;
    m_host = candidate.endpoint.address.toString();
    m_port = candidate.endpoint.port;
    m_expectedSecret = m_roomSecret;
    m_moveTimer.start(m_config.successorTimeout);
    connectSocket();
}

void RoomMember::endMove() {
    m_moving = false;
    m_moveTimer.stop();
    dropSocket();
    m_state = State::Away;
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT moveFailed(); }, Qt::QueuedConnection);
}

void RoomMember::giveUp() {
    m_mayMigrate = false;
    m_seekingHost = false;
    fail(kErrorConnectionLost, QStringLiteral("no member could take the room over"), true);
}

void RoomMember::abandon() {
    m_state = State::Left;
    m_heartbeat.stop();
    m_retry.stop();
    m_moveTimer.stop();
    disconnect(this, nullptr, nullptr, nullptr);
    if (m_socket != nullptr) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    deleteLater();
}

void RoomMember::readSuccessions(WireReader& in, const QList<PlayerEntry>& roster) {
    m_players.clear();
    m_highestId = 0;
    for (const PlayerEntry& entry : roster) {
        m_highestId = std::max(m_highestId, entry.id);
    }
    m_successionComplete = true;
    for (qsizetype i = 0; i < roster.size() && m_successionComplete; ++i) {
        const auto player = readSuccession(in, roster.at(i).id, roster.at(i).name);
        m_successionComplete = player.has_value();
        if (player) {
            m_players.append(*player);
        }
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
    auto malformed = [this] { fail(kErrorProtocol, QStringLiteral("the host sent a malformed frame"), true); };

    if (type == FrameType::Reject && m_state != State::Playing) {
        const Error error = refusalError(frame.body, kErrorConnectFailed);
        // A resume refused for a full room or for its address's wrong guesses (someone
        // else's, behind the same address) may pass a moment later.
        const auto reason = static_cast<RefuseReason>(WireReader(frame.body).u32().value_or(0));
        // The room's own host, alive, no longer knows the player (its grace ended): the
        // room goes on without this copy, which must not take it over as if the host
        // were gone (that would split the room in two and lose its lines unseen).
        if (m_resuming && !m_moving && reason == RefuseReason::NoSuchPlayer) {
            m_mayMigrate = false;
        }
        fail(error.code, error.description,
             !m_resuming || (reason != RefuseReason::Password && reason != RefuseReason::Full));
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
            fail(kErrorProtocol, QStringLiteral("the host speaks protocol version %1").arg(*version), true);
            return;
        }
        // The rest of the challenge: the salt of the joining key.
        const auto instanceId = in.bytes(proof::kNonceBytes);
        if (!in.ok()) {
            malformed();
            return;
        }
        // Another hosting of the room (or another room) at the same address has
        // nothing of this player.
        if (m_resuming && *instanceId != m_instanceId) {
            fail(kErrorConnectionLost, QStringLiteral("the room is gone"), true);
            return;
        }
        m_state = State::Authenticating;
        if (m_key.isEmpty() || !m_resuming) {
            m_key = proof::joinKey(m_password, *instanceId);
        }
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
        const auto instanceId = in.bytes(proof::kNonceBytes);
        if (!in.ok()) {
            malformed();
            return;
        }
        const QByteArray memberNonce = m_memberNonce.left(proof::kNonceBytes);
        const QByteArray hostNonce = m_memberNonce.mid(proof::kNonceBytes);
        // The host proves the password too, so a stranger answering at the room's
        // address cannot pose as it.
        if (!proof::equal(*hostProof, proof::joinHost(m_key, hostNonce, memberNonce))) {
            fail(kErrorAccessDenied, QStringLiteral("the host could not prove the room's password"), true);
            return;
        }
        in.string(kMaxNameChars * 3); // the room name, which the member knows already
        const auto attribute = in.i32();
        const auto successorProof = in.bytes(proof::kProofBytes);
        // Knowing the password is not enough to take a room over: a copy that claims
        // to be the room's new host proves it was given the room's secret. So does the
        // host of such a room that a member comes back to, before it learns the
        // member's resume secret.
        const QByteArray& expected = m_expectedSecret.isEmpty() && m_resuming && m_attribute == kMigratingRoomAttribute
                                         ? m_roomSecret
                                         : m_expectedSecret;
        if (!expected.isEmpty() &&
            (!successorProof ||
             !proof::equal(*successorProof, proof::successorHost(expected, hostNonce, memberNonce)))) {
            fail(kErrorAccessDenied, QStringLiteral("the host could not prove it belongs to the room"), true);
            return;
        }
        if (!m_heartbeat.isActive()) {
            // Silence is looked for twice per heartbeat, so it is noticed soon after the time-out.
            m_heartbeat.start(m_config.heartbeatInterval / 2);
        }
        if (m_resuming) {
            // Only a host that proved the password learns the player's secret.
            WireWriter resume;
            resume.i32(m_playerId);
            resume.bytes(m_resumeSecret);
            resume.u32(m_eventsTaken);
            m_state = State::Resuming;
            write(FrameType::Resume, resume.data());
            return;
        }
        m_instanceId = *instanceId;
        m_attribute = attribute.value_or(0);
        m_state = State::Admitted;
        m_opened = true;
        Q_EMIT opened();
        return;
    }
    case State::Resuming:
        if (type == FrameType::Resumed) {
            handleResumed(in);
        } else if (type != FrameType::Heartbeat) {
            malformed();
        }
        return;
    case State::CreatingPlayer:
        if (type == FrameType::PlayerCreated) {
            const auto id = in.i32();
            const auto resumeSecret = in.bytes(kSecretBytes);
            const auto roomSecret = in.bytes(kSecretBytes);
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
            m_playerId = *id;
            m_resumeSecret = *resumeSecret;
            m_roomSecret = *roomSecret;
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

    // Events are numbered by their order on the connection; the host's count is the same.
    const bool event = m_state == State::Playing &&
                       (type == FrameType::Deliver || type == FrameType::Joined || type == FrameType::Left);
    if (event) {
        ++m_eventsTaken;
        m_bytesSinceAck += frame.body.size();
    }
    switch (type) {
    case FrameType::Deliver: {
        const auto from = in.i32();
        const auto to = in.i32();
        const auto seq = in.u32();
        if (!in.ok()) {
            malformed();
            return;
        }
        // A sender's seqs only grow: one seen already is a message sent again (by a
        // member that resumed elsewhere) and is not delivered twice.
        quint32& lastSeq = m_lastSeqFrom[*from];
        if (m_state == State::Playing && *seq > lastSeq) {
            lastSeq = *seq;
            Q_EMIT delivered(*from, *to, *seq, in.rest());
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
        m_lastSeqFrom.remove(*id);
        Q_EMIT playerLeft(*id);
        break;
    }
    case FrameType::Ack: {
        const auto seq = in.u32();
        if (!in.ok()) {
            malformed();
            return;
        }
        while (!m_unacknowledged.empty() && m_unacknowledged.front().seq <= *seq) {
            m_unacknowledgedBytes -= m_unacknowledged.front().payload.size();
            m_unacknowledged.pop_front();
        }
        break;
    }
    case FrameType::Goodbye:
        fail(kErrorConnectionLost, QStringLiteral("the room's host closed the room"), true);
        break;
    default:
        break;
    }
}

} // namespace session
