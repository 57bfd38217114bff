#include "session/member/RoomMember.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/secure/LineSignature.h"
#include "session/wire/DiscoveryDatagram.h"
#include "session/wire/PasswordProof.h"
#include "session/wire/WireBuffer.h"

#include <QTcpSocket>
#include <algorithm>

namespace session {

namespace {
constexpr auto kLeaveGrace = std::chrono::milliseconds(2000);
// Events are acknowledged at most this long after they came, or at once when this
// many, or this many bytes of them, wait: the host keeps them until then.
constexpr auto kAckDelay = std::chrono::milliseconds(20);
constexpr quint32 kAckBatch = 64;
constexpr qint64 kAckBatchBytes = 64 * 1024;

} // namespace

RoomMember::RoomMember(const SessionConfig& config, QObject* parent)
    : QObject(parent), m_config(config), m_decoder(config.maxFrameBytes) {
    m_history.setLimit(config.historyChars);
    connect(this, &RoomMember::playerCreated, this, [this](PlayerId, const QList<PlayerEntry>& roster) {
        for (const PlayerEntry& entry : roster) {
            m_names.insert(entry.id, entry.name);
        }
        m_historyDue = true;
    });
    connect(&m_heartbeat, &QTimer::timeout, this, &RoomMember::onHeartbeatTick);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &RoomMember::connectSocket);
    m_moveTimer.setSingleShot(true);
    connect(&m_moveTimer, &QTimer::timeout, this,
            [this] { fail(kErrorTimedOut, QStringLiteral("the candidate did not answer in time"), true); });
    m_handshakeDeadline.setSingleShot(true);
    connect(&m_handshakeDeadline, &QTimer::timeout, this, [this] {
        // Resuming, a host whose machine takes the connection and says nothing for the
        // whole handshake is stopped or hangs: the room moves on. (Trying again instead
        // would start the wait for its answer anew, and the room would never move.)
        if (!m_seekingHost && m_resuming && m_mayMigrate && canMigrate() && m_unanswered.isValid()) {
            seekSuccessor();
            return;
        }
        fail(kErrorTimedOut, QStringLiteral("the room's host did not finish the handshake in time"));
    });
    m_clock.start();
    m_receiptTimer.setSingleShot(true);
    connect(&m_receiptTimer, &QTimer::timeout, this, [this] { writeReceipts(false); });
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
    m_channel.reset();
    m_cpace.reset();
    m_handshakeDeadline.stop();
}

void RoomMember::connectSocket() {
    dropSocket();
    m_decoder = FrameDecoder(m_config.maxFrameBytes);
    m_state = State::Connecting;
    m_lastHeard.start();
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &RoomMember::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &RoomMember::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &RoomMember::onDisconnected);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &RoomMember::writeFileParts);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (m_state == State::Connecting) {
            m_unanswered.invalidate(); // not taken: no sign of a stopped host
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
    // Counted from the first connection taken and left unanswered, over the attempts
    // after it: each one ends when the host has been silent for the heartbeat time-out,
    // which may be shorter than the successor delay.
    if (m_resuming && !m_unanswered.isValid()) {
        m_unanswered.start();
    }
    m_state = State::Handshaking;
    m_lastHeard.start();
    // The Hello follows in the first record, once the handshake is done.
    m_channel.emplace(secure::deviceNoiseKey(), encodePrologue(m_applicationId, secure::aesGcmAvailable()));
    // This device's signing key, to which a host delegates hosting the room.
    m_channel->setHandshakePayload(secure::encodeMemberOffer(secure::deviceKeys()));
    m_socket->write(m_channel->start());
    // A candidate for the room's new host answers once it has itself found the old
    // host gone, which may be seconds after this copy did: the move's own time-out
    // bounds the wait for it. Giving up on it sooner would have this copy take the
    // room over too, and the room would be split in two.
    if (!m_moving) {
        m_handshakeDeadline.start(m_config.handshakeTimeout);
    }
}

void RoomMember::sendHello() {
    m_handshakeDeadline.stop();
    m_memberNonce = proof::randomNonce();
    WireWriter hello;
    hello.bytes(QByteArray(kRoomMagic));
    hello.u16(kProtocolVersion);
    hello.string(m_applicationId);
    hello.bytes(m_memberNonce);
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
    const quint32 seq = m_nextSeq++;
    if (to == kEveryone) {
        m_history.addPublic(m_playerId, m_names.value(m_playerId), seq, payload);
    }
    m_unacknowledged.push_back(
        PendingSend{seq, to, payload,
                    secure::signLine(secure::deviceKeys().signing, m_roomKey.value_or(secure::RoomKey{}), m_playerId,
                                     to, seq, payload)});
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
        write(FrameType::Goodbye, {});
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
    if (const QByteArray sealed = m_channel ? m_channel->seal(encodeFrame(type, body)) : QByteArray();
        !sealed.isEmpty()) {
        m_socket->write(sealed);
    }
}

void RoomMember::writeSend(const PendingSend& send) {
    WireWriter out;
    out.i32(send.to);
    out.u32(send.seq);
    out.bytes(send.signature);
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
    QTcpSocket* const socket = m_socket;
    const auto alive = [&] {
        return socket == m_socket && m_state != State::Lost && m_state != State::Left && m_state != State::Away;
    };
    // Records are opened all at once, except while a password room's keys are about
    // to change: then one at a time, so that those behind Accept open under the new keys.
    QByteArrayView input = chunk;
    for (;;) {
        QByteArray plain, reply;
        const bool wasOpen = m_channel && m_channel->isOpen();
        if (!m_channel || !m_channel->receive(input, plain, reply)) {
            fail(kErrorProtocol, QStringLiteral("the room's connection failed its handshake or a record"), true);
            return;
        }
        input = {};
        if (!reply.isEmpty()) {
            m_socket->write(reply);
        }
        if (!wasOpen && m_channel->isOpen()) {
            sendHello();
        }
        m_decoder.feed(plain);
        while (alive()) {
            std::optional<Frame> frame = m_decoder.next();
            if (!frame) {
                break;
            }
            handleFrame(*frame);
        }
        if (!alive()) {
            return;
        }
        if (plain.isEmpty() || m_decoder.failed() || !m_channel || m_channel->waitingBytes() == 0) {
            break;
        }
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
    if (m_state == State::Playing) {
        checkReceipts();
    }
    m_beatDue = !m_beatDue;
    if (!m_beatDue) {
        return;
    }
    if (m_state == State::Playing) {
        // The acknowledgement is the heartbeat; receipts of the last while go again
        // with it, for a sender that was away when they first went.
        writeAck();
        writeReceipts(true);
    } else if (m_state == State::Admitted || m_state == State::CreatingPlayer) {
        write(FrameType::Heartbeat, {});
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
    m_unanswered.invalidate();
    m_retry.stop();
    dropSocket();
    m_state = State::Away;
    const PlayerId oldHost = m_successors.dropHost();
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

bool RoomMember::canMigrate() const {
    return m_attribute == kMigratingRoomAttribute && m_successors.complete() && !m_roomSecret.isEmpty();
}

RoomSnapshot RoomMember::snapshot(PlayerId self) const {
    RoomSnapshot snapshot = m_successors.snapshot(m_instanceId, m_roomSecret, self);
    snapshot.hostingProof = hostingProof();
    snapshot.history = m_history;
    return snapshot;
}

QByteArray RoomMember::hostingProof() const {
    if (!m_roomKey || m_hostingLinks.isEmpty()) {
        return {};
    }
    return secure::HostingChain{*m_roomKey, m_hostingLinks}.encodeProof();
}

bool RoomMember::checkRoomKey(const QString& roomName) {
    const std::optional<secure::HostingChain> chain = secure::readProof(m_channel->peerPayload());
    if (!chain || !chain->verify(roomName, m_channel->remoteStatic())) {
        fail(kErrorProtocol, QStringLiteral("the host could not prove the room's key"), true);
        return false;
    }
    // A copy that takes the room over (or the host a member comes back to) proves the
    // key this member knows: another one is not the room's host, whatever it knows.
    if (m_roomKey && (*m_roomKey != chain->roomKey || (!m_roomName.isEmpty() && roomName != m_roomName))) {
        fail(kErrorProtocol, QStringLiteral("the host could not prove it may host the room"), true);
        return false;
    }
    m_roomKey = chain->roomKey;
    m_roomName = roomName;
    return true;
}

void RoomMember::takeDelegation(const QByteArray& body) {
    const std::optional<QList<secure::HostingLink>> links = secure::readLinks(body);
    const secure::HostingChain chain{m_roomKey.value_or(secure::RoomKey{}),
                                     links.value_or(QList<secure::HostingLink>{})};
    // One that does not hold for this device is of no use; the room goes on without it.
    if (!m_roomKey || !links || chain.links.constLast().signingKey != secure::deviceKeys().signing.publicKey ||
        !chain.verify(m_roomName, secure::deviceNoiseKey().publicKey)) {
        qCDebug(lcSession) << "the host's delegation does not hold; this copy cannot host the room after it";
        return;
    }
    m_hostingLinks = chain.links;
}

bool RoomMember::learnKey(PlayerId id, const QByteArray& key) {
    const auto known = m_signingKeys.constFind(id);
    if (known != m_signingKeys.cend()) {
        return *known == key;
    }
    m_signingKeys.insert(id, key);
    return true;
}

bool RoomMember::lineHolds(PlayerId from, PlayerId to, quint32 seq, const QByteArray& signature,
                           const QByteArray& payload) const {
    secure::PublicBytes<secure::kSignPublicBytes> key{};
    return m_roomKey && secure::fromBytes(m_signingKeys.value(from), key) &&
           secure::verifyLine(key, signature, *m_roomKey, from, to, seq, payload);
}

void RoomMember::handleFrame(const Frame& frame) {
    const auto type = static_cast<FrameType>(frame.type);
    WireReader in(frame.body);
    auto malformed = [this] { fail(kErrorProtocol, QStringLiteral("the host sent a malformed frame"), true); };

    if (handleWayIn(frame)) {
        return;
    }
    // Events are numbered by their order on the connection; the host's count is the same.
    const bool event = m_state == State::Playing &&
                       (type == FrameType::Deliver || type == FrameType::Joined || type == FrameType::Left);
    if (event) {
        m_historyDue = false; // only before the first event
        ++m_eventsTaken;
        m_bytesSinceAck += frame.body.size();
    }
    switch (type) {
    case FrameType::Deliver: {
        const auto from = in.i32();
        const auto to = in.i32();
        const auto seq = in.u32();
        const auto signature = in.bytes(secure::kLineSignatureBytes);
        if (!in.ok()) {
            malformed();
            return;
        }
        if (m_state != State::Playing) {
            break;
        }
        const QByteArray payload = in.rest();
        // A line its author's key does not sign (forged by a host, or from a client that
        // offered no key) is not shown: it reaches the program as an empty message,
        // which it reports as unreadable, and takes no seq.
        if (!lineHolds(*from, *to, *seq, *signature, payload)) {
            qCDebug(lcSession) << "a line from player" << *from << "does not carry its signature";
            Q_EMIT delivered(*from, *to, 0, QByteArray());
            break;
        }
        // A sender's seqs only grow: one seen already is a message sent again (by a
        // member that resumed elsewhere) and is not delivered twice.
        quint32& lastSeq = m_lastSeqFrom[*from];
        if (*seq > lastSeq) {
            lastSeq = *seq;
            if (*to == kEveryone) {
                m_history.addPublic(*from, m_names.value(*from), *seq, payload);
            }
            tookLine(*from, *seq);
            Q_EMIT delivered(*from, *to, *seq, payload);
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
        // A host cannot give a player this member knows another key, and so its name
        // to somebody else's copy: such a Joined is ignored.
        WireReader peek = in;
        if (!learnKey(*id, peek.bytes(kSecretBytes).value_or(QByteArray()))) {
            qCDebug(lcSession) << "the host gave player" << *id << "another signing key; ignored";
            break;
        }
        m_successors.readJoined(in, *id, *name);
        m_names.insert(*id, *name);
        m_history.addNotice();
        Q_EMIT playerJoined(*id, *name);
        break;
    }
    case FrameType::Left: {
        const auto id = in.i32();
        if (!in.ok()) {
            malformed();
            return;
        }
        m_successors.left(*id);
        m_lastSeqFrom.remove(*id);
        m_history.addNotice();
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
            awaitReceipts(m_unacknowledged.front());
            m_unacknowledgedBytes -= m_unacknowledged.front().payload.size();
            m_unacknowledged.pop_front();
        }
        break;
    }
    case FrameType::History: {
        // Only right after the player was created: a resume never gives it again.
        const std::optional<QList<HistoryLine>> lines = RoomHistory::decode(frame.body);
        if (!lines) {
            malformed();
            return;
        }
        if (m_state == State::Playing && std::exchange(m_historyDue, false)) {
            m_history.seed(*lines);
            Q_EMIT historyReceived(*lines);
        }
        break;
    }
    case FrameType::Receipt:
        if (m_state == State::Playing) {
            handleReceipt(in);
        }
        break;
    case FrameType::Goodbye:
        fail(kErrorConnectionLost, QStringLiteral("the room's host closed the room"), true);
        break;
    case FrameType::Delegation:
        takeDelegation(frame.body);
        break;
    case FrameType::FilePart:
        handleFilePart(frame);
        break;
    default:
        break;
    }
}

} // namespace session
