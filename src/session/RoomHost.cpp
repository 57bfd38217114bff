#include "session/RoomHost.h"

#include "session/DiscoveryDatagram.h"
#include "session/HostLink.h"
#include "session/PasswordProof.h"
#include "session/RoomListener.h"
#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/WireBuffer.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QTimer>
#include <QUdpSocket>
#include <functional>

namespace session {

namespace {

// How long a shut-down host waits for its goodbyes to leave before it closes hard.
constexpr auto kGoodbyeGrace = std::chrono::milliseconds(2000);
// How long notices of arrivals and departures may wait for other traffic to the same
// member. Nobody sees 10 ms on a member list, but when many join or leave at once the
// notices leave together instead of one send per member per event-loop turn.
constexpr auto kNoticeDelay = std::chrono::milliseconds(10);

QByteArray refusal(quint32 reason, const QString& text) {
    WireWriter out;
    out.u32(reason);
    out.string(text);
    return out.take();
}

} // namespace

RoomHost::RoomHost(const SessionConfig& config, Settings settings, QObject* parent)
    : QObject(parent),
      m_config(config),
      m_settings(std::move(settings)),
      m_instanceId(proof::randomNonce()),
      m_roomSecret(proof::randomSecret()),
      m_listKey(proof::listKey(m_settings.password, m_settings.applicationId)),
      m_joinKey(proof::joinKey(m_settings.password, m_instanceId)) {
    m_clock.start();
}

RoomHost::RoomHost(const SessionConfig& config, Settings settings, const RoomSnapshot& snapshot, QObject* parent)
    : QObject(parent),
      m_config(config),
      m_settings(std::move(settings)),
      m_instanceId(snapshot.instanceId),
      m_roomSecret(snapshot.roomSecret),
      m_listKey(proof::listKey(m_settings.password, m_settings.applicationId)),
      m_joinKey(proof::joinKey(m_settings.password, m_instanceId)),
      m_nextId(snapshot.nextId),
      m_localPlayer(snapshot.localPlayer) {
    m_clock.start();
    for (const RoomPlayer& player : snapshot.players) {
        const bool local = player.id == snapshot.localPlayer;
        WireWriter succession;
        // The local player's copy is the host now: members find it where they find the room.
        writeSuccession(succession, local ? RoomPlayer{player.id, player.name, player.verifier, {}} : player);
        m_members.append(
            Member{player.id, player.name, nullptr, rosterEntry(player.id, player.name), succession.take(), !local});
        m_nextId = std::max(m_nextId, player.id + 1);
    }
    rebuildRoster();
}

RoomHost::~RoomHost() = default;

Status RoomHost::start(bool requireDiscovery, RoomListener* listener) {
    if (listener != nullptr) {
        m_server = listener;
        m_server->setParent(this);
    } else {
        m_server = new RoomListener(this);
        if (!m_server->listenInRange(m_config)) {
            return failure(kErrorCannotHost,
                           QStringLiteral("cannot listen for members: %1").arg(m_server->errorString()));
        }
    }
    m_server->setMaxPendingConnections(m_config.maxPendingHandshakes);
    m_server->setAcceptor([this](qintptr descriptor) { onIncoming(descriptor); });
    m_port = m_server->serverPort();

    m_discovery = new QUdpSocket(this);
    m_discovery->setProxy(QNetworkProxy::NoProxy);
    if (m_discovery->bind(QHostAddress::AnyIPv4, m_config.discoveryPort,
                          QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        connect(m_discovery, &QUdpSocket::readyRead, this, &RoomHost::onDiscoveryReadyRead);
        lookUpSubnets();
    } else {
        qCWarning(lcSession) << "cannot bind the discovery port" << m_config.discoveryPort
                             << m_discovery->errorString();
        if (requireDiscovery) {
            return failure(kErrorCannotHost, QStringLiteral("cannot answer room listings on UDP port %1: %2")
                                                 .arg(m_config.discoveryPort)
                                                 .arg(m_discovery->errorString()));
        }
    }

    m_noticeTimer = new QTimer(this);
    m_noticeTimer->setSingleShot(true);
    connect(m_noticeTimer, &QTimer::timeout, this, &RoomHost::flushNotices);

    if (std::any_of(m_members.cbegin(), m_members.cend(), [](const Member& m) { return m.away; })) {
        m_awayTimer = new QTimer(this);
        m_awayTimer->setSingleShot(true);
        connect(m_awayTimer, &QTimer::timeout, this, &RoomHost::dropAway);
        m_awayTimer->start(m_config.resumeGrace);
    }

    m_heartbeat = new QTimer(this);
    m_heartbeat->start(m_config.heartbeatInterval);
    connect(m_heartbeat, &QTimer::timeout, this, &RoomHost::onHeartbeatTick);
    qCDebug(lcSession) << "hosting" << m_settings.roomName << "on port" << m_port;
    return {};
}

void RoomHost::shutDown() {
    if (m_shuttingDown) {
        return;
    }
    m_shuttingDown = true;
    if (m_server != nullptr) {
        m_server->close();
    }
    if (m_discovery != nullptr) {
        m_discovery->close();
    }
    if (m_heartbeat != nullptr) {
        m_heartbeat->stop();
    }
    m_members.clear();
    m_roster.clear();
    m_successions.clear();
    m_localPlayer = 0;
    const QByteArray goodbye = encodeFrame(FrameType::Goodbye, {});
    int open = 0;
    for (HostLink* link : std::as_const(m_links)) {
        link->handshakeTimer.stop();
        flushLink(link);
        link->state = HostLink::State::Closed;
        link->socket->disconnect(this);
        if (link->socket->state() == HostSocket::State::Connected) {
            link->socket->write(goodbye);
            link->socket->disconnectFromHost();
        }
        if (link->socket->state() != HostSocket::State::Closed) {
            ++open;
            connect(link->socket, &HostSocket::disconnected, this, [this] {
                for (HostLink* l : std::as_const(m_links)) {
                    if (l->socket->state() != HostSocket::State::Closed) {
                        return;
                    }
                }
                deleteLater();
            });
        }
    }
    // The goodbyes outlive the service that owned this host.
    setParent(nullptr);
    if (open == 0) {
        deleteLater();
    } else {
        QTimer::singleShot(kGoodbyeGrace, this, &QObject::deleteLater);
    }
}

Result<PlayerId> RoomHost::addLocalPlayer(const QString& name) {
    if (m_localPlayer != 0) {
        return failure(kErrorPlayerExists, QStringLiteral("this copy already has a player in the room"));
    }
    if (m_members.size() >= m_config.maxMembers) {
        return failure(kErrorRoomFull, QStringLiteral("the room is full"));
    }
    if (!isAllowedHandleName(name) || hasMember(name)) {
        return failure(kErrorInvalidName, QStringLiteral("the handle name is not allowed"));
    }
    // The host's own player is found where the room is.
    m_localPlayer = addMember(name, nullptr, RoomPlayer{0, name, proof::resumeVerifier(proof::randomSecret()), {}});
    const PlayerId id = m_localPlayer;
    dropOverflowed();
    return id;
}

void RoomHost::removeLocalPlayer() {
    if (m_localPlayer != 0) {
        const PlayerId id = m_localPlayer;
        m_localPlayer = 0;
        m_localBacklog = 0;
        releaseLocal();
        removeMember(id);
        dropOverflowed();
    }
}

QList<PlayerEntry> RoomHost::players() const {
    QList<PlayerEntry> out;
    out.reserve(m_members.size());
    for (const Member& member : m_members) {
        out.append(PlayerEntry{member.id, member.name});
    }
    return out;
}

void RoomHost::sendFromLocal(PlayerId to, const QByteArray& payload) {
    if (m_localPlayer != 0) {
        route(nullptr, m_localPlayer, to, payload);
    }
}

void RoomHost::localTaken(qint64 bytes) {
    m_localBacklog = std::max<qint64>(0, m_localBacklog - bytes);
    if (m_localBacklog <= m_config.relayLowWaterBytes) {
        releaseLocal();
    }
}

bool RoomHost::hasMember(const QString& name) const {
    return std::any_of(m_members.cbegin(), m_members.cend(), [&name](const Member& m) { return m.name == name; });
}

bool RoomHost::handshakeSlotFree(const QByteArray& source) const {
    int total = 0;
    int fromSource = 0;
    for (const HostLink* link : m_links) {
        if (link->state == HostLink::State::AwaitingHello || link->state == HostLink::State::AwaitingAuth) {
            ++total;
            if (link->source == source) {
                ++fromSource;
            }
        }
    }
    return total < m_config.maxPendingHandshakes && fromSource < m_config.maxHandshakesPerAddress;
}

bool RoomHost::proofsBackedOff(const QByteArray& source) const {
    const auto it = m_proofFailures.constFind(source);
    return it != m_proofFailures.cend() && m_clock.elapsed() < it->until;
}

void RoomHost::wrongProof(const QByteArray& source) {
    if (m_proofFailures.size() >= m_config.maxRememberedAddresses && !m_proofFailures.contains(source)) {
        const qint64 now = m_clock.elapsed();
        m_proofFailures.removeIf([now](const auto& entry) { return entry.value().until <= now; });
        if (m_proofFailures.size() >= m_config.maxRememberedAddresses) {
            m_proofFailures.erase(m_proofFailures.begin());
        }
    }
    ProofFailures& failures = m_proofFailures[source];
    ++failures.count;
    if (failures.count >= m_config.freeWrongProofs) {
        const int doublings = std::min(failures.count - m_config.freeWrongProofs, 16);
        const qint64 wait =
            std::min<qint64>(m_config.proofBackoffStart.count() << doublings, m_config.proofBackoffMax.count());
        failures.until = m_clock.elapsed() + wait;
    }
}

void RoomHost::onIncoming(qintptr descriptor) {
    const QByteArray source = HostSocket::sourceKey(static_cast<int>(descriptor));
    if (m_shuttingDown || !handshakeSlotFree(source)) {
        qCDebug(lcSession) << "refusing a connection: too many handshakes in progress";
        HostSocket::refuse(static_cast<int>(descriptor));
        return;
    }
    auto* socket = new HostSocket(static_cast<int>(descriptor));
    auto* link = new HostLink(socket, m_config.maxFrameBytes, this);
    link->source = source;
    link->peer = HostSocket::peerAddress(static_cast<int>(descriptor));
    m_links.append(link);
    link->handshakeTimer.setSingleShot(true);
    connect(&link->handshakeTimer, &QTimer::timeout, this, [this, link] { dropLink(link, "handshake timed out"); });
    link->handshakeTimer.start(m_config.handshakeTimeout);
    socket->setDrainMark(m_config.relayLowWaterBytes);
    connect(socket, &HostSocket::drained, this, [this, link] {
        if (!link->holding.isEmpty() && backlog(link) <= m_config.relayLowWaterBytes) {
            release(link);
        }
    });
    connect(socket, &HostSocket::readyRead, this, [this, link] { onLinkReadyRead(link); });
    connect(socket, &HostSocket::disconnected, this, [this, link] { onLinkDisconnected(link); });
}

void RoomHost::onLinkReadyRead(HostLink* link) {
    if (link->state == HostLink::State::Closed) {
        return;
    }
    const QByteArray chunk = link->socket->readAll();
    if (chunk.isEmpty()) {
        return;
    }
    link->lastHeard.restart();
    link->decoder.feed(chunk);
    handleDecoded(link, false);
}

void RoomHost::handleDecoded(HostLink* link, bool all) {
    while (link->state != HostLink::State::Closed && (all || !link->paused)) {
        std::optional<Frame> frame = link->decoder.next();
        if (!frame) {
            break;
        }
        handleFrame(link, *frame);
    }
    if (link->decoder.failed() && link->state != HostLink::State::Closed) {
        dropLink(link, "malformed or oversized frame");
    }
    if (link->replyPending) {
        // A joining member waits for each answer of the handshake: no reason to hold
        // them until the turn ends. Answers to frames that came together (a proof
        // with the player right behind it) leave together.
        link->replyPending = false;
        flushLink(link);
    }
    dropOverflowed();
}

void RoomHost::onLinkDisconnected(HostLink* link) {
    // Frames that arrived just before the close still count: a member's last
    // messages go out before its leave notice, held back or not.
    if (link->state != HostLink::State::Closed) {
        link->decoder.feed(link->socket->readAll());
        handleDecoded(link, true);
    }
    dropLink(link, "connection closed");
    dropOverflowed();
}

void RoomHost::handleFrame(HostLink* link, const Frame& frame) {
    const auto type = static_cast<FrameType>(frame.type);
    switch (link->state) {
    case HostLink::State::AwaitingHello:
        if (type == FrameType::Hello) {
            handleHello(link, frame);
        } else if (type == FrameType::ListQuery) {
            handleListQuery(link, frame);
        } else {
            // Whatever speaks first and is not our protocol is not worth a reply.
            dropLink(link, "unexpected first frame");
        }
        return;
    case HostLink::State::AwaitingAuth:
        if (type == FrameType::Auth) {
            handleAuth(link, frame);
        } else if (type != FrameType::Heartbeat) {
            dropLink(link, "unexpected frame during the handshake");
        }
        return;
    case HostLink::State::Admitted:
    case HostLink::State::Playing:
        break;
    case HostLink::State::Closed:
        return;
    }

    switch (type) {
    case FrameType::CreatePlayer:
        handleCreatePlayer(link, frame);
        break;
    case FrameType::DestroyPlayer:
        if (link->state == HostLink::State::Playing) {
            const PlayerId id = link->player;
            link->player = 0;
            link->state = HostLink::State::Admitted;
            removeMember(id);
        }
        break;
    case FrameType::Send: {
        WireReader in(frame.body);
        const auto to = in.i32();
        if (!to) {
            dropLink(link, "truncated send frame");
            return;
        }
        if (in.remaining() > m_config.maxPayloadBytes()) {
            // Relayed, it would exceed every receiver's frame limit; an honest member
            // never sends it.
            dropLink(link, "oversized send frame");
            return;
        }
        if (link->state == HostLink::State::Playing) {
            // The sender is the connection's player, whatever the frame might claim.
            route(link, link->player, *to, in.rest());
        }
        break;
    }
    case FrameType::Goodbye:
        dropLink(link, "goodbye");
        break;
    default:
        // Heartbeats only refresh lastHeard; unknown types are ignored, so later
        // versions may add frames.
        break;
    }
}

void RoomHost::handleHello(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto magic = in.bytes(4);
    const auto version = in.u16();
    const auto applicationId = in.string(kMaxNameChars * 3);
    const auto nonce = in.bytes(proof::kNonceBytes);
    if (!in.ok() || magic != QByteArray(kRoomMagic)) {
        dropLink(link, "bad hello");
        return;
    }
    if (*version < kProtocolVersion) {
        reject(link, static_cast<quint32>(RefuseReason::Version), QStringLiteral("unsupported protocol version"));
        return;
    }
    if (*applicationId != m_settings.applicationId) {
        reject(link, static_cast<quint32>(RefuseReason::Application), QStringLiteral("another application's room"));
        return;
    }
    link->memberNonce = *nonce;
    link->hostNonce = proof::randomNonce();
    link->state = HostLink::State::AwaitingAuth;
    WireWriter out;
    out.u16(kProtocolVersion);
    out.u8(m_settings.password.isEmpty() ? 0 : 1);
    out.bytes(link->hostNonce);
    // The salt of the joining key.
    out.bytes(m_instanceId);
    reply(link, encodeFrame(FrameType::Challenge, out.data()));
}

void RoomHost::handleAuth(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto given = in.bytes(proof::kProofBytes);
    if (!in.ok()) {
        dropLink(link, "truncated auth frame");
        return;
    }
    // An address that keeps guessing gets its proofs refused unchecked for a while.
    if (proofsBackedOff(link->source)) {
        reject(link, static_cast<quint32>(RefuseReason::Password), QStringLiteral("too many wrong passwords"));
        return;
    }
    const QByteArray expected = proof::joinMember(m_joinKey, link->hostNonce, link->memberNonce);
    if (!proof::equal(*given, expected)) {
        wrongProof(link->source);
        reject(link, static_cast<quint32>(RefuseReason::Password), QStringLiteral("wrong password"));
        return;
    }
    m_proofFailures.remove(link->source);
    int admitted = 0;
    for (const HostLink* other : std::as_const(m_links)) {
        if (other->state == HostLink::State::Admitted || other->state == HostLink::State::Playing) {
            ++admitted;
        }
    }
    if (admitted + (m_localPlayer != 0 ? 1 : 0) >= m_config.maxMembers) {
        reject(link, static_cast<quint32>(RefuseReason::Full), QStringLiteral("the room is full"));
        return;
    }
    link->handshakeTimer.stop();
    link->state = HostLink::State::Admitted;
    WireWriter out;
    out.bytes(proof::joinHost(m_joinKey, link->hostNonce, link->memberNonce));
    out.bytes(m_instanceId);
    out.string(m_settings.roomName);
    out.i32(m_settings.numericAttribute);
    if (m_settings.numericAttribute == kMigratingRoomAttribute) {
        // Only a member of the room can check this; one that looks for the room's new
        // host tells it nothing before it has.
        out.bytes(proof::successorHost(m_roomSecret, link->hostNonce, link->memberNonce));
    }
    reply(link, encodeFrame(FrameType::Accept, out.data()));
}

void RoomHost::handleCreatePlayer(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto name = in.string(kMaxNameChars * 3);
    if (!in.ok()) {
        dropLink(link, "truncated create-player frame");
        return;
    }
    // The second name is not ours to check; behind it, the member's standby port.
    in.string(static_cast<quint32>(frame.body.size()));
    const quint16 standbyPort = in.u16().value_or(0);
    auto refuse = [&](RefuseReason reason, const QString& text) {
        reply(link, encodeFrame(FrameType::PlayerRefused, refusal(static_cast<quint32>(reason), text)));
    };
    if (link->state == HostLink::State::Playing) {
        refuse(RefuseReason::Protocol, QStringLiteral("this connection already has a player"));
        return;
    }
    // Joining and leaving in a loop would flood every copy with notices.
    if (link->createdPlayer || (link->lastCreateAttempt.isValid() &&
                                link->lastCreateAttempt.elapsed() < m_config.createPlayerInterval.count())) {
        dropLink(link, "player created again or too fast");
        return;
    }
    link->lastCreateAttempt.start();
    if (!isAllowedHandleName(*name) || hasMember(*name)) {
        refuse(RefuseReason::InvalidName, QStringLiteral("the handle name is not allowed"));
        return;
    }
    if (m_members.size() >= m_config.maxMembers) {
        refuse(RefuseReason::Full, QStringLiteral("the room is full"));
        return;
    }
    // The roster goes out before the new player is announced, so the member learns
    // about everybody exactly once: from the roster, or from a later Joined.
    const PlayerId id = m_nextId;
    WireWriter head;
    head.i32(id);
    head.u32(static_cast<quint32>(m_members.size() + 1));
    const QByteArray newcomer = rosterEntry(id, *name);
    // The player's resume secret is its alone; everybody else learns only its verifier.
    const QByteArray resumeSecret = proof::randomSecret();
    const RoomPlayer player{id, *name, proof::resumeVerifier(resumeSecret), Endpoint{link->peer, standbyPort}};
    WireWriter tail;
    tail.bytes(resumeSecret);
    tail.bytes(m_roomSecret);
    QByteArray body;
    body.reserve(head.data().size() + m_roster.size() + newcomer.size() + 2 * kSecretBytes + m_successions.size() +
                 kSuccessionBytes);
    body.append(head.data()).append(m_roster).append(newcomer).append(tail.data()).append(m_successions);
    WireWriter own;
    writeSuccession(own, player);
    body.append(own.data());
    reply(link, encodeFrame(FrameType::PlayerCreated, body));
    link->player = addMember(*name, link, player);
    link->createdPlayer = true;
    link->state = HostLink::State::Playing;
    Q_EMIT playerJoined(id, *name);
}

std::optional<QByteArray> RoomHost::answerFor(const DiscoveryQuery& query) const {
    if (m_shuttingDown || query.applicationId != m_settings.applicationId) {
        return std::nullopt;
    }
    DiscoveryAnswer answer;
    answer.nonce = query.nonce;
    if (!m_settings.password.isEmpty()) {
        // A password room shows itself only to a lister that proves the password.
        const QByteArray expected = proof::listQuery(m_listKey, query.nonce, query.applicationId);
        if (!proof::equal(query.proof, expected)) {
            return std::nullopt;
        }
        answer.passwordProtected = true;
        answer.proof = proof::listAnswer(m_listKey, query.nonce, m_instanceId);
    }
    answer.instanceId = m_instanceId;
    answer.applicationId = m_settings.applicationId;
    answer.roomName = m_settings.roomName;
    answer.port = m_port;
    answer.numericAttribute = m_settings.numericAttribute;
    answer.memberCount = static_cast<quint32>(m_members.size());
    answer.acceptsPlayers = m_members.size() < m_config.maxMembers;
    return encodeAnswer(answer);
}

void RoomHost::lookUpSubnets() {
    m_localSubnets.clear();
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        if (iface.flags() & QNetworkInterface::IsUp) {
            m_localSubnets.append(iface.addressEntries());
        }
    }
    m_subnetsAt = m_clock.elapsed();
}

void RoomHost::onDiscoveryReadyRead() {
    while (m_discovery->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_discovery->receiveDatagram(kMaxDiscoveryDatagramBytes + 1);
        const std::optional<DiscoveryQuery> query = parseQuery(datagram.data());
        if (!query) {
            continue;
        }
        // Strangers beyond the local networks get nothing: a forged sender address
        // would otherwise aim the answer at somebody else. The interfaces may have
        // changed since they were looked up, but a stranger cannot make the host look
        // more often than every subnetRefresh.
        const QHostAddress sender = datagram.senderAddress();
        if (!isDirectlyConnected(sender, m_localSubnets)) {
            if (m_clock.elapsed() - m_subnetsAt < m_config.subnetRefresh.count()) {
                continue;
            }
            lookUpSubnets();
            if (!isDirectlyConnected(sender, m_localSubnets)) {
                continue;
            }
        }
        const auto answer = answerFor(*query);
        // Never more bytes out than came in.
        if (answer && answer->size() <= datagram.data().size()) {
            // Unicast to the asker's own port: only one process bound to the shared
            // discovery port would receive a unicast sent there.
            m_discovery->writeDatagram(*answer, datagram.senderAddress(), static_cast<quint16>(datagram.senderPort()));
        }
    }
}

void RoomHost::handleListQuery(HostLink* link, const Frame& frame) {
    flushLink(link);
    const std::optional<DiscoveryQuery> query = parseQuery(frame.body);
    if (query) {
        if (const auto answer = answerFor(*query)) {
            link->socket->write(encodeFrame(FrameType::ListAnswer, *answer));
        }
    }
    link->handshakeTimer.stop();
    link->state = HostLink::State::Closed;
    link->socket->disconnect(this);
    link->socket->disconnectFromHost();
    m_links.removeOne(link);
    // The link lives until its answer is out, then goes with its socket.
    if (link->socket->state() == HostSocket::State::Closed) {
        link->deleteLater();
    } else {
        connect(link->socket, &HostSocket::disconnected, link, &QObject::deleteLater);
        QTimer::singleShot(m_config.handshakeTimeout, link, &QObject::deleteLater);
    }
}

QByteArray RoomHost::rosterEntry(PlayerId id, const QString& name) {
    WireWriter entry;
    entry.i32(id);
    entry.string(name);
    return entry.take();
}

PlayerId RoomHost::addMember(const QString& name, HostLink* link, const RoomPlayer& player) {
    const PlayerId id = m_nextId++;
    QByteArray entry = rosterEntry(id, name);
    WireWriter succession;
    writeSuccession(succession, player);
    m_roster.append(entry);
    m_successions.append(succession.data());
    // Joined carries a roster entry and its succession fields.
    const QByteArray frame = encodeFrame(FrameType::Joined, entry + succession.data());
    m_members.append(Member{id, name, link, std::move(entry), succession.take(), false});
    for (const Member& member : std::as_const(m_members)) {
        if (member.link != nullptr && member.id != id) {
            notify(member.link, frame);
        }
    }
    return id;
}

void RoomHost::removeMember(PlayerId id) {
    const auto it = std::find_if(m_members.begin(), m_members.end(), [id](const Member& m) { return m.id == id; });
    if (it == m_members.end()) {
        return;
    }
    const bool remote = it->link != nullptr || it->away;
    m_members.erase(it);
    rebuildRoster();
    WireWriter left;
    left.i32(id);
    const QByteArray frame = encodeFrame(FrameType::Left, left.data());
    for (const Member& member : std::as_const(m_members)) {
        if (member.link != nullptr) {
            notify(member.link, frame);
        }
    }
    if (remote) {
        Q_EMIT playerLeft(id);
    }
}

void RoomHost::rebuildRoster() {
    m_roster.clear();
    m_successions.clear();
    for (const Member& member : std::as_const(m_members)) {
        m_roster.append(member.rosterEntry);
        m_successions.append(member.succession);
    }
}

void RoomHost::dropAway() {
    QList<PlayerId> gone;
    for (const Member& member : std::as_const(m_members)) {
        if (member.away) {
            gone.append(member.id);
        }
    }
    for (const PlayerId id : gone) {
        removeMember(id);
    }
}

void RoomHost::route(HostLink* sender, PlayerId from, PlayerId to, const QByteArray& payload) {
    if (to == from) {
        return;
    }
    WireWriter header;
    header.i32(from);
    header.i32(to);
    // One frame for every addressee: QByteArray shares it, nothing is copied per member.
    const QByteArray frame = encodeFrame(FrameType::Deliver, header.data() + payload);
    const qint64 highWater = m_config.relayHighWaterBytes;
    // A sender is read only while what it sent can wait at its receivers: one that
    // sends faster than a receiver takes is held back, and the receiver keeps up.
    const auto deliver = [&](const Member& member) {
        if (member.away) {
            return;
        }
        if (member.link == nullptr) {
            Q_EMIT deliveredLocally(from, to, payload);
            m_localBacklog += payload.size();
            if (sender != nullptr && m_localBacklog > highWater) {
                hold(sender, nullptr);
            }
        } else {
            write(member.link, frame);
            if (sender != nullptr && backlog(member.link) > highWater) {
                hold(sender, member.link);
            }
        }
    };
    if (to == kEveryone) {
        for (const Member& member : std::as_const(m_members)) {
            if (member.id != from) {
                deliver(member);
            }
        }
    } else {
        const auto it =
            std::find_if(m_members.cbegin(), m_members.cend(), [to](const Member& m) { return m.id == to; });
        // An addressee that has just left is not an error: the sender could not know yet.
        if (it != m_members.cend()) {
            deliver(*it);
        }
    }
    dropOverflowed();
}

qint64 RoomHost::backlog(const HostLink* link) {
    return link->outgoingBytes + link->socket->bytesToWrite();
}

void RoomHost::hold(HostLink* sender, HostLink* receiver) {
    if (sender == receiver || sender->state == HostLink::State::Closed) {
        return;
    }
    if (receiver == nullptr) {
        if (sender->heldLocally) {
            return;
        }
        sender->heldLocally = true;
        m_localHolding.append(QPointer<HostLink>(sender));
    } else {
        ++sender->heldBy;
        receiver->holding.append(QPointer<HostLink>(sender));
    }
    if (!sender->paused) {
        sender->paused = true;
        sender->socket->setReadEnabled(false);
    }
}

void RoomHost::release(HostLink* receiver) {
    const QList<QPointer<HostLink>> senders = std::exchange(receiver->holding, {});
    for (const QPointer<HostLink>& sender : senders) {
        if (!sender.isNull()) {
            --sender->heldBy;
            letGo(sender);
        }
    }
}

void RoomHost::releaseLocal() {
    const QList<QPointer<HostLink>> senders = std::exchange(m_localHolding, {});
    for (const QPointer<HostLink>& sender : senders) {
        if (!sender.isNull()) {
            sender->heldLocally = false;
            letGo(sender);
        }
    }
}

void RoomHost::letGo(HostLink* sender) {
    if (sender->heldBy > 0 || sender->heldLocally || !sender->paused || sender->state == HostLink::State::Closed) {
        return;
    }
    sender->paused = false;
    // Its silence while it was not read does not count against it.
    sender->lastHeard.restart();
    sender->socket->setReadEnabled(true);
    // What it sent before it was held is handled first, on the next turn, outside
    // whatever loop let it go.
    QMetaObject::invokeMethod(
        sender,
        [this, sender] {
            if (sender->state != HostLink::State::Closed && !sender->paused) {
                handleDecoded(sender, false);
            }
        },
        Qt::QueuedConnection);
}

void RoomHost::write(HostLink* link, const QByteArray& frame) {
    if (!enqueue(link, frame) || link->flushQueued) {
        return;
    }
    link->flushQueued = true;
    m_unflushed.append(link);
    // Whatever else this turn queues for the member leaves with it, in one write,
    // when the event loop comes round again.
    if (!m_flushPosted) {
        m_flushPosted = true;
        QMetaObject::invokeMethod(this, &RoomHost::flushWrites, Qt::QueuedConnection);
    }
}

void RoomHost::notify(HostLink* link, const QByteArray& frame) {
    if (m_noticeTimer == nullptr) {
        write(link, frame);
        return;
    }
    if (!enqueue(link, frame) || link->flushQueued || link->noticeQueued) {
        return;
    }
    link->noticeQueued = true;
    m_noticed.append(QPointer<HostLink>(link));
    if (!m_noticeTimer->isActive()) {
        m_noticeTimer->start(kNoticeDelay);
    }
}

void RoomHost::flushNotices() {
    const QList<QPointer<HostLink>> links = std::exchange(m_noticed, {});
    for (const QPointer<HostLink>& link : links) {
        if (!link.isNull()) {
            link->noticeQueued = false;
            flushLink(link);
        }
    }
    dropOverflowed();
}

void RoomHost::reply(HostLink* link, const QByteArray& frame) {
    if (enqueue(link, frame)) {
        link->replyPending = true;
    }
}

bool RoomHost::enqueue(HostLink* link, const QByteArray& frame) {
    if (link->state == HostLink::State::Closed) {
        return false;
    }
    // The frame is shared, not copied: a broadcast costs one frame however many
    // members it reaches.
    link->outgoing.append(frame);
    link->outgoingBytes += frame.size();
    if (link->outgoingBytes + link->socket->bytesToWrite() > m_config.maxBufferedBytesPerMember) {
        // Dropped after the current loop over the members, never inside it.
        m_overflowed.append(QPointer<HostLink>(link));
    }
    return true;
}

void RoomHost::flushWrites() {
    m_flushPosted = false;
    const QList<HostLink*> links = std::exchange(m_unflushed, {});
    for (HostLink* link : links) {
        link->flushQueued = false;
        flushLink(link);
    }
}

void RoomHost::flushLink(HostLink* link) {
    if (link->flushQueued) {
        link->flushQueued = false;
        m_unflushed.removeOne(link);
    }
    if (link->outgoing.isEmpty()) {
        return;
    }
    const QList<QByteArray> frames = std::exchange(link->outgoing, {});
    link->outgoingBytes = 0;
    link->socket->write(frames);
    if (!link->holding.isEmpty() && backlog(link) <= m_config.relayLowWaterBytes) {
        release(link);
    }
}

void RoomHost::dropOverflowed() {
    while (!m_overflowed.isEmpty()) {
        const QPointer<HostLink> link = m_overflowed.takeFirst();
        if (!link.isNull() && link->state != HostLink::State::Closed) {
            dropLink(link, "member stopped reading");
        }
    }
}

void RoomHost::reject(HostLink* link, quint32 reason, const QString& text) {
    flushLink(link);
    link->socket->write(encodeFrame(FrameType::Reject, refusal(reason, text)));
    dropLink(link, "refused");
}

void RoomHost::dropLink(HostLink* link, const char* why) {
    if (link->state == HostLink::State::Closed) {
        return;
    }
    qCDebug(lcSession) << "dropping a connection:" << why;
    // What was queued before the drop still goes, as a closing socket sends what it holds.
    flushLink(link);
    const PlayerId player = link->player;
    link->state = HostLink::State::Closed;
    link->player = 0;
    link->handshakeTimer.stop();
    link->socket->disconnect(this);
    m_links.removeOne(link);
    link->socket->disconnectFromHost();
    // Once the socket is closed (or after a grace period for one that never closes)
    // the link goes; until then a handler that dropped it may still look at it.
    if (link->socket->state() == HostSocket::State::Closed) {
        link->deleteLater();
    } else {
        connect(link->socket, &HostSocket::disconnected, link, &QObject::deleteLater);
        QTimer::singleShot(kGoodbyeGrace, link, &QObject::deleteLater);
    }
    // The senders it held go on; nothing waits for a member that is gone.
    release(link);
    if (player != 0) {
        removeMember(player);
    }
}

void RoomHost::onHeartbeatTick() {
    const QByteArray heartbeat = encodeFrame(FrameType::Heartbeat, {});
    const QList<HostLink*> links = m_links;
    for (HostLink* link : links) {
        if (link->state != HostLink::State::Admitted && link->state != HostLink::State::Playing) {
            continue;
        }
        // A member held back is not read, so its silence means nothing; a member that
        // takes nothing of what waits for it is as gone as a silent one.
        if (!link->paused && link->lastHeard.elapsed() > m_config.heartbeatTimeout.count()) {
            dropLink(link, "heartbeat timed out");
        } else if (link->socket->bytesToWrite() > 0 &&
                   link->socket->msSinceProgress() > m_config.heartbeatTimeout.count()) {
            dropLink(link, "member took nothing");
        } else {
            write(link, heartbeat);
        }
    }
    dropOverflowed();
}

} // namespace session
