#include "session/host/RoomHost.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/host/HostLink.h"
#include "session/net/RoomListener.h"
#include "session/secure/LineSignature.h"
#include "session/wire/NameRules.h"
#include "session/wire/PasswordProof.h"
#include "session/wire/WireBuffer.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTimer>
#include <algorithm>
#include <atomic>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace session {

namespace {

// How long a shut-down host waits for its goodbyes to leave before it closes hard.
constexpr auto kGoodbyeGrace = std::chrono::milliseconds(2000);
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

} // namespace

RoomHost::RoomHost(const SessionConfig& config, Settings settings, QObject* parent)
    : QObject(parent),
      m_config(config),
      m_settings(std::move(settings)),
      m_instanceId(proof::randomNonce()),
      m_roomSecret(proof::randomSecret()) {
    m_clock.start();
    if (!m_settings.identity) {
        m_settings.identity = secure::creatorAuthority(m_settings.roomName);
    }
    m_roomProof = m_settings.identity->chain().encodeProof();
    m_history.setLimit(m_config.historyChars);
}

RoomHost::RoomHost(const SessionConfig& config, Settings settings, const RoomSnapshot& snapshot, QObject* parent)
    : QObject(parent),
      m_config(config),
      m_settings(std::move(settings)),
      m_instanceId(snapshot.instanceId),
      m_roomSecret(snapshot.roomSecret),
      m_localSeq(snapshot.localSeq),
      m_nextId(snapshot.nextId),
      m_localPlayer(snapshot.localPlayer),
      m_history(snapshot.history) {
    m_clock.start();
    if (!m_settings.identity) {
        // A copy given no chain (none at its join, or one too long to go on) proves
        // the room with a key of its own: the room's members do not take it as the host.
        const std::optional<secure::HostingChain> chain = secure::readProof(snapshot.hostingProof);
        m_settings.identity =
            chain ? std::make_shared<const secure::HostingAuthority>(m_settings.roomName, *chain, secure::deviceKeys())
                  : secure::creatorAuthority(m_settings.roomName);
    }
    m_roomProof = m_settings.identity->chain().encodeProof();
    m_history.setLimit(m_config.historyChars);
    for (const RoomPlayer& player : snapshot.players) {
        auto hosted = std::make_unique<HostedPlayer>();
        hosted->id = player.id;
        hosted->name = player.name;
        hosted->nameKey = handleNameKey(player.name);
        hosted->rosterEntry = rosterEntry(player.id, player.name);
        hosted->local = player.id == snapshot.localPlayer;
        hosted->signingKey = player.signingKey;
        // The others are away until they resume here, within the grace period.
        hosted->takenOver = !hosted->local;
        hosted->awayUntil = hosted->local ? 0 : m_clock.elapsed() + m_config.resumeGrace.count();
        WireWriter succession;
        // The local player's copy is the host now: members find it where they find the room.
        writeSuccession(succession, hosted->local ? RoomPlayer{player.id, player.name, player.signingKey, {}} : player);
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

    if (const Status bound = m_discovery.bind(requireDiscovery); !bound) {
        return bound;
    }
    m_relay.start();
    m_receiptTimer = new QTimer(this);
    connect(m_receiptTimer, &QTimer::timeout, this, &RoomHost::writeLocalReceipts);
    m_receiptTimer->start(m_config.receiptInterval);
    m_liveness.start();
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
    m_discovery.close();
    m_liveness.stop();
    // Messages every receiver has taken are acknowledged before the goodbye: their
    // senders must not take them for lost.
    m_relay.writeDueAcks();
    m_members.clear();
    m_byId.clear();
    m_roster.clear();
    m_successions.clear();
    m_localPlayer = 0;
    const QByteArray goodbye = encodeFrame(FrameType::Goodbye, {});
    int open = 0;
    for (HostLink* link : std::as_const(m_links)) {
        link->handshakeTimer.stop();
        m_relay.flushLink(link);
        link->state = HostLink::State::Closed;
        link->hosted = nullptr;
        link->socket->disconnect(this);
        if (link->socket->state() == HostSocket::State::Connected) {
            link->send(goodbye);
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
    m_localPlayer = addMember(name, nullptr, Endpoint{}, secure::toBytes(secure::deviceKeys().signing.publicKey))->id;
    const PlayerId id = m_localPlayer;
    m_relay.dropOverflowed();
    return id;
}

void RoomHost::removeLocalPlayer() {
    if (m_localPlayer != 0) {
        const PlayerId id = m_localPlayer;
        m_localPlayer = 0;
        m_relay.localPlayerGone();
        removeMember(id);
        m_relay.dropOverflowed();
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
        ++m_localSeq;
        m_relay.route(nullptr, local, to, m_localSeq, signedLocally(to, m_localSeq, payload));
    }
}

void RoomHost::sendFilePartFromLocal(PlayerId to, const QByteArray& part) {
    m_relay.relayFilePart(m_localPlayer, to, part);
}

void RoomHost::filePartToLocal(PlayerId from, const QByteArray& part) {
    // The local player's program takes parts on its own thread; a sender that ignores
    // the transfer's window does not fill this copy's memory with them.
    if (m_localFileBytes.fetch_add(part.size()) + part.size() > kMaxLocalFileBytes) {
        m_localFileBytes -= part.size();
        qCDebug(lcSession) << "a file part for the local player dropped: too many wait";
        return;
    }
    Q_EMIT filePartLocally(from, part);
}

void RoomHost::localFilePartTaken(qint64 bytes) {
    m_localFileBytes -= bytes;
}

void RoomHost::resendFromLocal(PlayerId to, quint32 seq, const QByteArray& payload) {
    if (HostedPlayer* local = findMember(m_localPlayer)) {
        m_localSeq = std::max(m_localSeq, seq);
        m_relay.route(nullptr, local, to, seq, signedLocally(to, seq, payload));
    }
}

void RoomHost::relayReceipt(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto sender = in.i32();
    const auto rest = in.bytes(4 + secure::kLineSignatureBytes);
    HostedPlayer* to = sender ? findMember(*sender) : nullptr;
    if (!in.ok() || link->state != HostLink::State::Playing) {
        dropLink(link, "malformed receipt");
        return;
    }
    // The host's own player needs none; one for a sender away or gone is dropped (the
    // receiver sends it again with its heartbeat).
    if (to == nullptr || to->local || to->link == nullptr || to == link->hosted) {
        return;
    }
    WireWriter out;
    out.i32(link->player);
    out.bytes(*rest);
    m_relay.write(to->link, encodeFrame(FrameType::Receipt, out.data()));
}

void RoomHost::takenLocally(PlayerId from, quint32 seq) {
    m_localTaken[from] = LocalTaken{seq, m_clock.elapsed(), true};
}

void RoomHost::writeLocalReceipts() {
    // Every tenth interval (2 s), the receipts of the last while go again, for a sender
    // that was away when they first went.
    const bool recentToo = ++m_receiptTicks % 10 == 0;
    const qint64 now = m_clock.elapsed();
    for (auto it = m_localTaken.begin(); it != m_localTaken.end();) {
        HostedPlayer* sender = findMember(it.key());
        if (sender == nullptr || (!it->due && now - it->at > m_config.receiptTimeout.count())) {
            it = m_localTaken.erase(it);
            continue;
        }
        if ((it->due || recentToo) && sender->link != nullptr) {
            WireWriter out;
            out.i32(m_localPlayer);
            out.u32(it->seq);
            out.bytes(secure::deviceKeys().signing.sign(
                secure::receiptSignedBytes(m_settings.identity->chain().roomKey, m_localPlayer, it.key(), it->seq)));
            m_relay.write(sender->link, encodeFrame(FrameType::Receipt, out.data()));
            it->due = false;
        }
        ++it;
    }
}

QByteArray RoomHost::signedLocally(PlayerId to, quint32 seq, const QByteArray& payload) const {
    return secure::signLine(secure::deviceKeys().signing, m_settings.identity->chain().roomKey, m_localPlayer, to, seq,
                            payload) +
           payload;
}

void RoomHost::localTaken(qint64 bytes) {
    m_relay.localTaken(bytes);
}

void RoomHost::sendHistory(HostLink* link) {
    // Not an event: it is not counted, kept in the outbox, nor sent again on a resume.
    if (m_config.serveHistory && !m_history.isEmpty()) {
        m_relay.reply(link, encodeFrame(FrameType::History, m_history.encode()));
    }
}

bool RoomHost::hasMember(const QString& name) const {
    // Taken as well by a name that only looks the same.
    const QString key = handleNameKey(name);
    return std::any_of(m_members.cbegin(), m_members.cend(), [&key](const auto& m) { return m->nameKey == key; });
}

void RoomHost::onIncoming(qintptr descriptor) {
    const QByteArray source = HostSocket::sourceKey(static_cast<int>(descriptor));
    if (!m_shuttingDown && !m_admission.handshakeSlotFree(source)) {
        // Connections that say nothing hold no place against a newcomer from their
        // address (a member resuming, perhaps, behind the same address as a stranger).
        if (HostLink* silent = m_admission.oldestSilent(source)) {
            dropLink(silent, "silent, and another connection came from its address");
        }
    }
    if (m_shuttingDown || !m_admission.handshakeSlotFree(source)) {
        qCDebug(lcSession) << "refusing a connection: too many handshakes in progress";
        HostSocket::refuse(static_cast<int>(descriptor));
        return;
    }
    auto* socket = new HostSocket(static_cast<int>(descriptor));
    // AES-256-GCM where the member offers it and this machine has it: the faster of the two.
    secure::SecureChannel channel(
        secure::deviceNoiseKey(),
        [id = m_settings.applicationId](QByteArrayView bytes) { return acceptedPrologue(bytes, id); },
        prologueOffersAesGcm);
    channel.setHandshakePayload(m_roomProof);
    auto* link = new HostLink(socket, m_config.maxFrameBytes, std::move(channel), this);
    link->source = source;
    link->peer = HostSocket::peerAddress(static_cast<int>(descriptor));
    m_links.append(link);
    link->handshakeTimer.setSingleShot(true);
    connect(&link->handshakeTimer, &QTimer::timeout, this, [this, link] { dropLink(link, "handshake timed out"); });
    link->handshakeTimer.start(m_config.handshakeTimeout);
    socket->setDrainMark(m_config.relayLowWaterBytes);
    socket->setSecondDrainMark(HostRelay::kFileDrainBytes);
    connect(socket, &HostSocket::drained, this, [this, link] {
        if (!link->holding.isEmpty() && m_relay.backlog(link) <= m_config.relayLowWaterBytes) {
            m_relay.release(link);
        }
        if (!link->fileParts.empty() && link->outgoing.empty()) {
            m_relay.writeFileParts(link);
        }
    });
    connect(socket, &HostSocket::readyRead, this, [this, link] { onLinkReadyRead(link); });
    connect(socket, &HostSocket::disconnected, this, [this, link] { onLinkDisconnected(link); });
}

void RoomHost::sendDelegation(HostLink* link) {
    const auto offer = secure::readMemberOffer(link->channel.peerPayload());
    if (!offer) {
        return; // a member that does not host rooms after their host
    }
    if (const auto chain = m_settings.identity->delegate(link->channel.remoteStatic(), *offer)) {
        m_relay.reply(link, encodeFrame(FrameType::Delegation, chain->encodeLinks()));
    }
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
    link->heard = true;
    if (!link->receive(chunk)) {
        dropLink(link, "a handshake or record that does not read");
        return;
    }
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
        m_relay.flushLink(link);
    }
    m_relay.dropOverflowed();
}

void RoomHost::onLinkDisconnected(HostLink* link) {
    // Frames that arrived just before the close still count: a member's last
    // messages go out before its leave notice, held back or not.
    if (link->state != HostLink::State::Closed && link->receive(link->socket->readAll())) {
        handleDecoded(link, true);
    }
    // A connection that broke may come back: the player waits for it.
    dropLink(link, "connection closed", LinkEnd::Closed);
    m_relay.dropOverflowed();
}

void RoomHost::handleFrame(HostLink* link, const Frame& frame) {
    const auto type = static_cast<FrameType>(frame.type);
    switch (link->state) {
    case HostLink::State::AwaitingHello:
        if (type == FrameType::Hello) {
            m_admission.handleHello(link, frame);
        } else if (type == FrameType::ListQuery && link->channel.isOpen()) {
            m_discovery.handleListQuery(link, frame);
        } else {
            // Whatever speaks first and is not our protocol is not worth a reply.
            dropLink(link, "unexpected first frame");
        }
        return;
    case HostLink::State::AwaitingAuth:
        if (type == FrameType::Auth) {
            m_admission.handleAuth(link, frame);
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
        m_admission.handleCreatePlayer(link, frame);
        break;
    case FrameType::Resume:
        m_admission.handleResume(link, frame);
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
        m_relay.handleSend(link, frame);
        break;
    case FrameType::Ack:
        m_relay.handleAck(link, frame);
        break;
    case FrameType::Receipt:
        relayReceipt(link, frame);
        break;
    case FrameType::FilePart:
        m_relay.handleFilePart(link, frame);
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

QByteArray RoomHost::rosterEntry(PlayerId id, const QString& name) {
    WireWriter entry;
    entry.i32(id);
    entry.string(name);
    return entry.take();
}

HostedPlayer* RoomHost::addMember(const QString& name, HostLink* link, const Endpoint& endpoint,
                                  const QByteArray& signingKey) {
    auto player = std::make_unique<HostedPlayer>();
    player->id = m_nextId++;
    player->name = name;
    player->nameKey = handleNameKey(name);
    player->rosterEntry = rosterEntry(player->id, name);
    player->local = link == nullptr;
    player->link = link;
    player->signingKey = signingKey;
    player->signingKey.resize(kSecretBytes, '\0');
    // A member with a signing key resumes by it: it is given no secret (all zero).
    if (link != nullptr) {
        player->resumeSecret =
            player->signingKey == QByteArray(kSecretBytes, '\0') ? randomSecret() : QByteArray(kSecretBytes, '\0');
    }
    WireWriter succession;
    writeSuccession(succession, RoomPlayer{player->id, name, player->signingKey, endpoint});
    player->succession = succession.take();
    m_roster.append(player->rosterEntry);
    m_successions.append(player->succession);
    // Joined carries a roster entry and the player's succession fields.
    m_relay.pushToAll(encodeFrame(FrameType::Joined, player->rosterEntry + player->succession));
    m_history.addNotice();
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
    m_relay.playerGone(id);
    m_history.addNotice();
    if (!gone->source.isEmpty() && m_clock.elapsed() - gone->joinedAt < m_config.churnWindow.count()) {
        m_admission.churned(gone->source);
    }
    if (gone->link != nullptr) {
        gone->link->hosted = nullptr;
        gone->link->player = 0;
    }
    // What waits for it need not wait any more; its own messages need nobody's
    // acknowledgement (its destructor lets go of them).
    const bool heldMuch = gone->outboxBytes >= kReturnMemoryAfterBytes;
    m_relay.dropOutbox(*gone);
    if (heldMuch) {
        returnFreedMemorySoon();
    }
    rebuildRoster();
    WireWriter left;
    left.i32(id);
    m_relay.pushToAll(encodeFrame(FrameType::Left, left.data()));
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

void RoomHost::dropLink(HostLink* link, const char* why, LinkEnd end) {
    if (link->state == HostLink::State::Closed) {
        return;
    }
    qCDebug(lcSession) << "dropping a connection:" << why;
    // What was queued before the drop still goes, as a closing socket sends what it holds.
    m_relay.flushLink(link);
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
    m_relay.release(link);
    m_relay.dropFileParts(link);
    if (hosted != nullptr) {
        hosted->link = nullptr;
        hosted->ackQueued = false;
        m_liveness.connectionLost(*hosted, player, end);
    }
}

} // namespace session
