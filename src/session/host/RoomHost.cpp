#include "session/host/RoomHost.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/host/HostLink.h"
#include "session/net/RoomListener.h"
#include "session/wire/DiscoveryDatagram.h"
#include "session/wire/PasswordProof.h"
#include "session/wire/WireBuffer.h"

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <atomic>
#include <functional>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace session {

namespace {

// How long a shut-down host waits for its goodbyes to leave before it closes hard.
constexpr auto kGoodbyeGrace = std::chrono::milliseconds(2000);
// How long notices of arrivals and departures may wait for other traffic to the same
// member. Nobody sees 10 ms on a member list, but when many join or leave at once the
// notices leave together instead of one send per member per event-loop turn.
constexpr auto kNoticeDelay = std::chrono::milliseconds(10);

// What the host's bookkeeping of one waiting event costs beyond its frame; counted
// against the member's cap, so that many small events cannot outgrow it.
constexpr qint64 kOutboxEventOverhead = 64;

// A member that leaves with this much waiting in its outbox leaves megabytes of freed
// frames behind.
constexpr qint64 kReturnMemoryAfterBytes = 1024 * 1024;

// glibc keeps freed blocks for reuse, and the free pages among blocks still in use stay
// resident: after a member that stopped reading leaves, the host would keep the
// memory its events took for the rest of the room's life. This hands the free pages
// back to the system a second after it is asked, so that one call covers every member
// removed meanwhile and what the room lets go of once they are gone (the senders they
// held back catching up); so it also runs at most once a second. It is process-wide,
// as the allocator is.
void returnFreedMemorySoon() {
#if defined(__GLIBC__)
    static std::atomic<bool> pending{false};
    if (pending.exchange(true)) {
        return;
    }
    const auto trim = [] {
        pending = false;
        malloc_trim(0);
    };
    if (QCoreApplication* const app = QCoreApplication::instance()) {
        QTimer::singleShot(std::chrono::seconds(1), app, trim);
    } else {
        trim();
    }
#endif
}

QByteArray randomSecret() {
    QByteArray secret(kSecretBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(secret.data()), kSecretBytes / 4);
    return secret;
}

QByteArray seqFrame(FrameType type, quint32 seq) {
    WireWriter out;
    out.u32(seq);
    return encodeFrame(type, out.data());
}

QByteArray refusal(quint32 reason, const QString& text) {
    WireWriter out;
    out.u32(reason);
    out.string(text);
    return out.take();
}

} // namespace

HostedPlayer::~HostedPlayer() {
    for (Relay* relay : unacknowledged) {
        relay->queued = false;
        relay->sender = nullptr;
        if (relay->remaining == 0) {
            delete relay;
        }
    }
    for (Relay* relay : outbox) {
        if (--relay->remaining == 0 && !relay->queued) {
            delete relay;
        }
    }
}

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
      m_localSeq(snapshot.localSeq),
      m_nextId(snapshot.nextId),
      m_localPlayer(snapshot.localPlayer) {
    m_clock.start();
    for (const RoomPlayer& player : snapshot.players) {
        auto hosted = std::make_unique<HostedPlayer>();
        hosted->id = player.id;
        hosted->name = player.name;
        hosted->rosterEntry = rosterEntry(player.id, player.name);
        hosted->local = player.id == snapshot.localPlayer;
        hosted->verifier = player.verifier;
        // The others are away until they resume here, within the grace period.
        hosted->takenOver = !hosted->local;
        hosted->awayUntil = hosted->local ? 0 : m_clock.elapsed() + m_config.resumeGrace.count();
        WireWriter succession;
        // The local player's copy is the host now: members find it where they find the room.
        writeSuccession(succession, hosted->local ? RoomPlayer{player.id, player.name, player.verifier, {}} : player);
        hosted->succession = succession.take();
        m_nextId = std::max(m_nextId, player.id + 1);
        m_byId.insert(hosted->id, hosted.get());
        m_members.push_back(std::move(hosted));
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

    m_heartbeat = new QTimer(this);
    // Silence is looked for twice per heartbeat, so it is noticed soon after the time-out.
    m_heartbeat->start(m_config.heartbeatInterval / 2);
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
    // Messages every receiver has taken are acknowledged before the goodbye: their
    // senders must not take them for lost.
    writeDueAcks();
    m_members.clear();
    m_byId.clear();
    m_roster.clear();
    m_successions.clear();
    m_localPlayer = 0;
    const QByteArray goodbye = encodeFrame(FrameType::Goodbye, {});
    int open = 0;
    for (HostLink* link : std::as_const(m_links)) {
        link->handshakeTimer.stop();
        flushLink(link);
        link->state = HostLink::State::Closed;
        link->hosted = nullptr;
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
    if (memberCount() >= m_config.maxMembers) {
        return failure(kErrorRoomFull, QStringLiteral("the room is full"));
    }
    if (!isAllowedHandleName(name) || hasMember(name)) {
        return failure(kErrorInvalidName, QStringLiteral("the handle name is not allowed"));
    }
    // The host's own player is found where the room is.
    // The host's own player is found where the room is.
    m_localPlayer = addMember(name, nullptr, Endpoint{})->id;
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
    out.reserve(static_cast<qsizetype>(m_members.size()));
    for (const auto& member : m_members) {
        out.append(PlayerEntry{member->id, member->name});
    }
    return out;
}

void RoomHost::sendFromLocal(PlayerId to, const QByteArray& payload) {
    if (HostedPlayer* local = findMember(m_localPlayer)) {
        route(nullptr, local, to, ++m_localSeq, payload);
    }
}

void RoomHost::resendFromLocal(PlayerId to, quint32 seq, const QByteArray& payload) {
    if (HostedPlayer* local = findMember(m_localPlayer)) {
        m_localSeq = std::max(m_localSeq, seq);
        route(nullptr, local, to, seq, payload);
    }
}

void RoomHost::localTaken(qint64 bytes) {
    // Nothing to do on the host's thread unless the queue held somebody back and is
    // down to the low-water mark now; then one call is posted for all such takes.
    if (m_localBacklog.fetch_sub(bytes) - bytes > m_config.relayLowWaterBytes || !m_localHeld.load() ||
        m_localReleasePosted.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_localReleasePosted = false;
            if (m_localBacklog.load() <= m_config.relayLowWaterBytes) {
                releaseLocal();
            }
        },
        Qt::QueuedConnection);
}

bool RoomHost::hasMember(const QString& name) const {
    return std::any_of(m_members.cbegin(), m_members.cend(), [&name](const auto& m) { return m->name == name; });
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
    // A connection that broke may come back: the player waits for it.
    dropLink(link, "connection closed", true);
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
    case FrameType::Resume:
        handleResume(link, frame);
        break;
    case FrameType::DestroyPlayer:
        if (link->state == HostLink::State::Playing) {
            const PlayerId id = link->player;
            link->hosted->link = nullptr;
            link->hosted = nullptr;
            link->player = 0;
            link->state = HostLink::State::Admitted;
            removeMember(id);
        }
        break;
    case FrameType::Send:
        handleSend(link, frame);
        break;
    case FrameType::Ack:
        handleAck(link, frame);
        break;
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
    if (memberCount() >= m_config.maxMembers) {
        refuse(RefuseReason::Full, QStringLiteral("the room is full"));
        return;
    }
    // The roster goes out before the new player is announced, so the member learns
    // about everybody exactly once: from the roster, or from a later Joined.
    HostedPlayer* player = addMember(*name, link, Endpoint{link->peer, standbyPort});
    const PlayerId id = player->id;
    WireWriter head;
    head.i32(id);
    head.bytes(player->resumeSecret);
    head.bytes(m_roomSecret);
    head.u32(static_cast<quint32>(m_members.size()));
    QByteArray body;
    body.reserve(head.data().size() + m_roster.size() + m_successions.size());
    body.append(head.data()).append(m_roster).append(m_successions);
    reply(link, encodeFrame(FrameType::PlayerCreated, body));
    link->player = id;
    link->hosted = player;
    link->createdPlayer = true;
    link->state = HostLink::State::Playing;
    // The notices of a burst of arrivals wait to leave together; once nobody else is
    // on the way in, they leave now, unless notices left less than the notice delay
    // ago (then the running timer sends them). Each flush is a write to every member:
    // a burst of joins must not cost one per arrival.
    if ((m_lastNoticeFlush < 0 || m_clock.elapsed() - m_lastNoticeFlush >= kNoticeDelay.count()) &&
        std::none_of(m_links.cbegin(), m_links.cend(),
                     [](const HostLink* l) { return l->state < HostLink::State::Playing; })) {
        flushNotices();
    }
    Q_EMIT playerJoined(id, *name);
}

void RoomHost::handleSend(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto to = in.i32();
    const auto seq = in.u32();
    if (!in.ok()) {
        dropLink(link, "truncated send frame");
        return;
    }
    if (in.remaining() > m_config.maxPayloadBytes()) {
        // Relayed, it would exceed every receiver's frame limit; an honest member
        // never sends it.
        dropLink(link, "oversized send frame");
        return;
    }
    HostedPlayer* player = link->hosted;
    if (link->state != HostLink::State::Playing || player == nullptr) {
        return;
    }
    if (player->seqUnknown) {
        // Back after the room moved here: its messages go on from where its member is.
        player->seqUnknown = false;
        player->handledSeq = player->acknowledgedSeq = *seq - 1;
    }
    if (*seq <= player->handledSeq) {
        // Sent again after a resume: handled before, so only its acknowledgement is due.
        if (*seq <= player->acknowledgedSeq) {
            queueAck(*player);
        }
        return;
    }
    if (*seq != player->handledSeq + 1) {
        dropLink(link, "send out of sequence");
        return;
    }
    player->handledSeq = *seq;
    // The sender is the connection's player, whatever the frame might claim.
    route(link, player, *to, *seq, in.rest());
}

void RoomHost::handleAck(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto seq = in.u32();
    if (!in.ok()) {
        dropLink(link, "truncated ack frame");
        return;
    }
    HostedPlayer* player = link->hosted;
    if (player == nullptr) {
        return;
    }
    if (*seq >= player->nextEventSeq()) {
        dropLink(link, "acknowledged an event never sent");
        return;
    }
    eventsTaken(*player, *seq);
}

void RoomHost::handleResume(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto id = in.i32();
    const auto secret = in.bytes(kSecretBytes);
    const auto taken = in.u32();
    if (!in.ok() || link->state != HostLink::State::Admitted || link->createdPlayer) {
        dropLink(link, "unexpected resume");
        return;
    }
    link->createdPlayer = true;
    HostedPlayer* player = findMember(*id);
    if (proofsBackedOff(link->source)) {
        reject(link, static_cast<quint32>(RefuseReason::Password), QStringLiteral("too many wrong passwords"));
        return;
    }
    // A stranger who knows the room's password still cannot take someone's player:
    // the secret counts as a proof, wrong ones included. Of a player taken over with
    // the room this host knows only the secret's SHA-256.
    const bool secretRight =
        player != nullptr && (player->takenOver ? proof::equal(proof::resumeVerifier(*secret), player->verifier)
                                                : proof::equal(*secret, player->resumeSecret));
    if (player != nullptr && !player->local && !secretRight) {
        wrongProof(link->source);
        reject(link, static_cast<quint32>(RefuseReason::Password), QStringLiteral("wrong resume secret"));
        return;
    }
    if (player == nullptr || player->local) {
        reject(link, static_cast<quint32>(RefuseReason::NoSuchPlayer), QStringLiteral("no such player in the room"));
        return;
    }
    if (player->takenOver) {
        // Its events are counted on from what it took from the old host; what waits
        // for it here is what comes next.
        player->takenOver = false;
        player->seqUnknown = true;
        player->resumeSecret = *secret;
        player->firstEventSeq = *taken + 1;
    }
    if (*taken >= player->nextEventSeq()) {
        reject(link, static_cast<quint32>(RefuseReason::Protocol), QStringLiteral("acknowledged an event never sent"));
        return;
    }
    if (player->link != nullptr) {
        // The old connection has not been noticed broken yet; the new one replaces it.
        HostLink* old = player->link;
        old->hosted = nullptr;
        old->player = 0;
        player->link = nullptr;
        dropLink(old, "replaced by a resumed connection");
    }
    player->awayUntil = 0;
    eventsTaken(*player, *taken);
    link->player = player->id;
    link->hosted = player;
    link->state = HostLink::State::Playing;
    player->link = link;
    // What it missed follows in order, then the acknowledgement it may have missed.
    WireWriter out;
    out.u32(player->handledSeq);
    out.u32(player->firstEventSeq);
    reply(link, encodeFrame(FrameType::Resumed, out.data()));
    for (const Relay* event : player->outbox) {
        enqueue(link, event->frame);
    }
    enqueue(link, seqFrame(FrameType::Ack, player->acknowledgedSeq));
    qCDebug(lcSession) << "player" << player->id << "resumed";
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
    answer.acceptsPlayers = memberCount() < m_config.maxMembers;
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

HostedPlayer* RoomHost::addMember(const QString& name, HostLink* link, const Endpoint& endpoint) {
    auto player = std::make_unique<HostedPlayer>();
    player->id = m_nextId++;
    player->name = name;
    player->rosterEntry = rosterEntry(player->id, name);
    player->local = link == nullptr;
    player->link = link;
    if (link != nullptr) {
        player->resumeSecret = randomSecret();
    }
    player->verifier = proof::resumeVerifier(player->resumeSecret);
    WireWriter succession;
    writeSuccession(succession, RoomPlayer{player->id, name, player->verifier, endpoint});
    player->succession = succession.take();
    m_roster.append(player->rosterEntry);
    m_successions.append(player->succession);
    // Joined carries a roster entry and the player's succession fields.
    pushToAll(encodeFrame(FrameType::Joined, player->rosterEntry + player->succession));
    HostedPlayer* added = player.get();
    m_byId.insert(added->id, added);
    m_members.push_back(std::move(player));
    return added;
}

void RoomHost::removeMember(PlayerId id) {
    const auto it = std::find_if(m_members.begin(), m_members.end(), [id](const auto& m) { return m->id == id; });
    if (it == m_members.end()) {
        return;
    }
    const std::unique_ptr<HostedPlayer> gone = std::move(*it);
    m_members.erase(it);
    m_byId.remove(id);
    m_ackDue.removeAll(id);
    if (gone->link != nullptr) {
        gone->link->hosted = nullptr;
        gone->link->player = 0;
    }
    // What waits for it need not wait any more; its own messages need nobody's
    // acknowledgement (its destructor lets go of them).
    const bool heldMuch = gone->outboxBytes >= kReturnMemoryAfterBytes;
    for (Relay* relay : std::exchange(gone->outbox, {})) {
        relayTaken(relay);
    }
    if (heldMuch) {
        returnFreedMemorySoon();
    }
    rebuildRoster();
    WireWriter left;
    left.i32(id);
    pushToAll(encodeFrame(FrameType::Left, left.data()));
    if (!gone->local) {
        Q_EMIT playerLeft(id);
    }
}

void RoomHost::rebuildRoster() {
    m_roster.clear();
    m_successions.clear();
    for (const auto& member : m_members) {
        m_roster.append(member->rosterEntry);
        m_successions.append(member->succession);
    }
}

void RoomHost::route(HostLink* sender, HostedPlayer* from, PlayerId to, quint32 seq, const QByteArray& payload) {
    WireWriter header;
    header.i32(from->id);
    header.i32(to);
    header.u32(seq);
    // One frame for every addressee: QByteArray shares it, nothing is copied per member.
    // A member's message is acknowledged to it once every receiver has taken it; the
    // local player takes it as soon as it is queued.
    auto* relay = new Relay{encodeFrame(FrameType::Deliver, header.data() + payload), from, seq, 1, !from->local};
    if (relay->queued) {
        from->unacknowledged.push_back(relay);
    }
    const qint64 highWater = m_config.relayHighWaterBytes;
    // A sender is read only while what it sent can wait at its receivers: one that
    // sends faster than a receiver takes is held back, and the receiver keeps up.
    const auto deliver = [&](HostedPlayer& member) {
        if (member.local) {
            Q_EMIT deliveredLocally(from->id, to, seq, payload);
            m_localBacklog += payload.size();
            if (sender != nullptr && m_localBacklog > highWater) {
                hold(sender, nullptr);
            }
        } else {
            pushEvent(member, relay, false);
            if (sender != nullptr && member.link != nullptr && backlog(member.link) > highWater) {
                hold(sender, member.link);
            }
        }
    };
    if (to == kEveryone) {
        for (const auto& member : m_members) {
            if (member.get() != from) {
                deliver(*member);
            }
        }
    } else if (HostedPlayer* receiver = findMember(to); receiver != nullptr && receiver != from) {
        deliver(*receiver);
    }
    // An addressee that has just left is not an error: the sender could not know yet.
    // Nothing goes back to the sender; a message to nobody is acknowledged at once.
    relayTaken(relay); // the count started at one, so it could not settle early
    const auto limit = static_cast<std::size_t>(m_config.maxUnacknowledgedSends);
    if (const std::size_t count = from->unacknowledged.size(); count > limit && (count - limit) % 1024 == 1) {
        // Some receiver keeps the oldest of them: a member that takes nothing goes,
        // rather than the host keeping the sender's bookkeeping without end. A member
        // the host holds back is not read, its acknowledgements included, so it is not
        // to blame; it is looked at again after every further 1,024.
        const Relay* oldest = from->unacknowledged.front();
        for (const auto& member : m_members) {
            if ((member->link == nullptr || !member->link->paused) &&
                std::find(member->outbox.cbegin(), member->outbox.cend(), oldest) != member->outbox.cend()) {
                m_overflowedPlayers.append(member->id);
            }
        }
    }
    dropOverflowed();
}

void RoomHost::pushToAll(const QByteArray& frame) {
    auto* relay = new Relay{frame, nullptr, 0, 1, false};
    for (const auto& member : m_members) {
        if (!member->local) {
            pushEvent(*member, relay, true);
        }
    }
    relayTaken(relay);
}

void RoomHost::pushEvent(HostedPlayer& player, Relay* relay, bool notice) {
    player.outbox.push_back(relay);
    ++relay->remaining;
    player.outboxBytes += relay->frame.size() + kOutboxEventOverhead;
    if (player.outboxBytes > m_config.maxBufferedBytesPerMember) {
        m_overflowedPlayers.append(player.id);
    }
    if (player.link != nullptr) {
        if (notice) {
            notify(player.link, relay->frame);
        } else {
            write(player.link, relay->frame);
        }
    }
}

void RoomHost::eventsTaken(HostedPlayer& player, quint32 seq) {
    while (!player.outbox.empty() && player.firstEventSeq <= seq) {
        Relay* relay = player.outbox.front();
        player.outbox.pop_front();
        ++player.firstEventSeq;
        player.outboxBytes -= relay->frame.size() + kOutboxEventOverhead;
        relayTaken(relay);
    }
}

void RoomHost::relayTaken(Relay* relay) {
    if (--relay->remaining > 0) {
        return;
    }
    if (!relay->queued) {
        delete relay;
        return;
    }
    HostedPlayer& sender = *relay->sender;
    const quint32 before = sender.acknowledgedSeq;
    while (!sender.unacknowledged.empty() && sender.unacknowledged.front()->remaining == 0) {
        Relay* taken = sender.unacknowledged.front();
        sender.unacknowledged.pop_front();
        sender.acknowledgedSeq = taken->seq;
        delete taken;
    }
    if (sender.acknowledgedSeq != before) {
        queueAck(sender);
    }
}

void RoomHost::queueAck(HostedPlayer& player) {
    if (player.ackQueued || player.link == nullptr) {
        return;
    }
    player.ackQueued = true;
    m_ackDue.append(player.id);
    postFlush();
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
        m_localHeld = true;
        // The local player may have taken its queue down meanwhile, before it could
        // see anybody held: then there is nobody to hold.
        if (m_localBacklog.load() <= m_config.relayLowWaterBytes) {
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
    m_localHeld = false;
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
    postFlush();
}

void RoomHost::postFlush() {
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
    m_lastNoticeFlush = m_clock.elapsed();
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

void RoomHost::writeDueAcks() {
    // One Ack per sender and turn, however many of its messages were taken meanwhile.
    for (const PlayerId id : std::exchange(m_ackDue, {})) {
        if (HostedPlayer* player = findMember(id)) {
            player->ackQueued = false;
            if (player->link != nullptr) {
                write(player->link, seqFrame(FrameType::Ack, player->acknowledgedSeq));
            }
        }
    }
}

void RoomHost::flushWrites() {
    writeDueAcks();
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
    while (!m_overflowedPlayers.isEmpty()) {
        HostedPlayer* player = findMember(m_overflowedPlayers.takeFirst());
        if (player == nullptr) {
            continue;
        }
        qCDebug(lcSession) << "player" << player->id << "left too much unacknowledged";
        if (player->link != nullptr) {
            dropLink(player->link, "member acknowledged too little");
        } else {
            removeMember(player->id);
        }
    }
}

void RoomHost::reject(HostLink* link, quint32 reason, const QString& text) {
    flushLink(link);
    link->socket->write(encodeFrame(FrameType::Reject, refusal(reason, text)));
    dropLink(link, "refused");
}

void RoomHost::dropLink(HostLink* link, const char* why, bool resumable) {
    if (link->state == HostLink::State::Closed) {
        return;
    }
    qCDebug(lcSession) << "dropping a connection:" << why;
    // What was queued before the drop still goes, as a closing socket sends what it holds.
    flushLink(link);
    const PlayerId player = link->player;
    HostedPlayer* hosted = link->hosted;
    link->state = HostLink::State::Closed;
    link->player = 0;
    link->hosted = nullptr;
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
    if (hosted != nullptr) {
        hosted->link = nullptr;
        hosted->ackQueued = false;
        if (resumable && m_config.resumeGrace.count() > 0) {
            hosted->awayUntil = m_clock.elapsed() + m_config.resumeGrace.count();
            qCDebug(lcSession) << "player" << player << "is away";
        } else {
            removeMember(player);
        }
    }
}

void RoomHost::onHeartbeatTick() {
    m_beatDue = !m_beatDue;
    const QByteArray heartbeat = encodeFrame(FrameType::Heartbeat, {});
    const QList<HostLink*> links = m_links;
    for (HostLink* link : links) {
        if (link->state != HostLink::State::Admitted && link->state != HostLink::State::Playing) {
            continue;
        }
        // A member held back is not read, so its silence means nothing; a member that
        // takes nothing of what waits for it is as gone as a silent one.
        if (!link->paused && link->lastHeard.elapsed() > m_config.heartbeatTimeout.count()) {
            dropLink(link, "heartbeat timed out", true);
        } else if (link->socket->bytesToWrite() > 0 &&
                   link->socket->msSinceProgress() > m_config.heartbeatTimeout.count()) {
            dropLink(link, "member took nothing", true);
        } else if (m_beatDue) {
            write(link, heartbeat);
        }
    }
    // Away players that did not come back in time leave now.
    const qint64 now = m_clock.elapsed();
    QList<PlayerId> expired;
    for (const auto& member : m_members) {
        if (!member->local && member->link == nullptr && member->awayUntil <= now) {
            expired.append(member->id);
        }
    }
    for (const PlayerId id : expired) {
        removeMember(id);
    }
    dropOverflowed();
}

} // namespace session
