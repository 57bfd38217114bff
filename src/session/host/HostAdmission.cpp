#include "session/host/HostAdmission.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/host/HostLink.h"
#include "session/host/RoomHost.h"
#include "session/secure/LineSignature.h"
#include "session/wire/NameRules.h"
#include "session/wire/PasswordProof.h"
#include "session/wire/WireBuffer.h"

#include <QTimer>
#include <algorithm>
#include <cmath>

namespace session {

namespace {

QByteArray refusal(quint32 reason, const QString& text) {
    WireWriter out;
    out.u32(reason);
    out.string(text);
    return out.take();
}

// Wrong resume secrets are counted apart from wrong passwords, under this key: a right
// password proof must not forget them, or whoever knows the password could guess
// secrets without end, one connection at a time.
QByteArray secretFailuresKey(const QByteArray& source) {
    return source + '\x01';
}

} // namespace

HostAdmission::HostAdmission(RoomHost& host) : m_host(host) {}

bool HostAdmission::handshakeSlotFree(const QByteArray& source) const {
    int total = 0;
    int fromSource = 0;
    for (const HostLink* link : m_host.m_links) {
        if (link->state == HostLink::State::AwaitingHello || link->state == HostLink::State::AwaitingAuth) {
            ++total;
            if (link->source == source) {
                ++fromSource;
            }
        }
    }
    return total < m_host.m_config.maxPendingHandshakes && fromSource < m_host.m_config.maxHandshakesPerAddress;
}

HostLink* HostAdmission::oldestSilent(const QByteArray& source) const {
    const auto fromSource = std::count_if(m_host.m_links.cbegin(), m_host.m_links.cend(), [&](const HostLink* link) {
        return link->source == source &&
               (link->state == HostLink::State::AwaitingHello || link->state == HostLink::State::AwaitingAuth);
    });
    if (fromSource < m_host.m_config.maxHandshakesPerAddress) {
        return nullptr; // the address is not what is full
    }
    for (HostLink* link : m_host.m_links) { // oldest first
        if (link->state == HostLink::State::AwaitingHello && !link->heard && link->source == source &&
            !HostSocket::hasInput(link->socket->descriptor())) {
            return link;
        }
    }
    return nullptr;
}

bool HostAdmission::proofsBackedOff(const QByteArray& source) const {
    const auto it = m_proofFailures.constFind(source);
    return it != m_proofFailures.cend() && m_host.m_clock.elapsed() < it->until;
}

void HostAdmission::wrongProof(const QByteArray& source) {
    if (m_proofFailures.size() >= m_host.m_config.maxRememberedAddresses && !m_proofFailures.contains(source)) {
        const qint64 now = m_host.m_clock.elapsed();
        m_proofFailures.removeIf([now](const auto& entry) { return entry.value().until <= now; });
        if (m_proofFailures.size() >= m_host.m_config.maxRememberedAddresses) {
            m_proofFailures.erase(m_proofFailures.begin());
        }
    }
    ProofFailures& failures = m_proofFailures[source];
    ++failures.count;
    if (failures.count >= m_host.m_config.freeWrongProofs) {
        const int doublings = std::min(failures.count - m_host.m_config.freeWrongProofs, 16);
        const qint64 wait = std::min<qint64>(m_host.m_config.proofBackoffStart.count() << doublings,
                                             m_host.m_config.proofBackoffMax.count());
        failures.until = m_host.m_clock.elapsed() + wait;
    }
}

qint64 HostAdmission::nextJoinIn(const QByteArray& source) {
    const SessionConfig& config = m_host.m_config;
    const qint64 now = m_host.m_clock.elapsed();
    const double rate = std::max(config.joinsPerAddressPerSecond, 1) / 1000.0; // per millisecond
    const double burst = std::max(config.joinBurstPerAddress, 1);
    const auto refill = [&](JoinTurns& turns) {
        turns.left = std::min(burst, turns.left + static_cast<double>(now - turns.at) * rate);
        turns.at = now;
    };
    if (m_joinTurns.size() >= config.maxRememberedAddresses && !m_joinTurns.contains(source)) {
        // Addresses whose turns are all back are as good as new.
        m_joinTurns.removeIf([&](auto entry) {
            refill(entry.value());
            return entry.value().left >= burst;
        });
        if (m_joinTurns.size() >= config.maxRememberedAddresses) {
            m_joinTurns.erase(m_joinTurns.begin());
        }
    }
    const auto it = m_joinTurns.find(source);
    if (it == m_joinTurns.end()) {
        m_joinTurns.insert(source, JoinTurns{burst, now});
        return 0;
    }
    refill(*it);
    return it->left >= 1 ? 0 : static_cast<qint64>(std::ceil((1 - it->left) / rate));
}

void HostAdmission::churned(const QByteArray& source) {
    // From now on it has its players at the steady rate only.
    if (const auto it = m_joinTurns.find(source); it != m_joinTurns.end()) {
        it->left = std::min(it->left, 0.0);
    }
}

void HostAdmission::handleHello(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto magic = in.bytes(4);
    const auto version = in.u16();
    const auto applicationId = in.string(kMaxNameChars * 3);
    const auto nonce = in.bytes(proof::kNonceBytes);
    if (!in.ok() || magic != QByteArray(kRoomMagic)) {
        m_host.dropLink(link, "bad hello");
        return;
    }
    if (*version < kProtocolVersion) {
        reject(link, static_cast<quint32>(RefuseReason::Version), QStringLiteral("unsupported protocol version"));
        return;
    }
    if (*applicationId != m_host.m_settings.applicationId) {
        reject(link, static_cast<quint32>(RefuseReason::Application), QStringLiteral("another application's room"));
        return;
    }
    if (!link->channel.isOpen()) { // a Hello in clear that the prologue check let through
        reject(link, static_cast<quint32>(RefuseReason::Version), QStringLiteral("unsupported protocol version"));
        return;
    }
    link->memberNonce = *nonce;
    link->hostNonce = proof::randomNonce();
    const bool password = !m_host.m_settings.password.isEmpty();
    if (password) {
        // The host speaks first in the password's CPace, bound to this connection; what
        // it proves it saw (ADa) is the room's instance id.
        link->cpace = secure::CPaceParty::start(
            secure::CPaceParty::Role::Initiator, secure::passwordBytes(m_host.m_settings.password),
            link->channel.cpaceChannelIdentity(), link->channel.cpaceSid(), m_host.m_instanceId);
        if (!link->cpace) {
            m_host.dropLink(link, "no randomness for the password exchange");
            return;
        }
    }
    link->state = HostLink::State::AwaitingAuth;
    WireWriter out;
    out.u16(kProtocolVersion);
    out.u8(password ? 1 : 0);
    out.bytes(link->hostNonce);
    out.bytes(m_host.m_instanceId);
    if (password) {
        out.bytes(link->cpace->share());
    }
    m_host.m_relay.reply(link, encodeFrame(FrameType::Challenge, out.data()));
}

void HostAdmission::handleAuth(HostLink* link, const Frame& frame) {
    // An open room's Auth carries nothing (trailing bytes are a later version's).
    const bool password = link->cpace.has_value();
    if (password) {
        WireReader in(frame.body);
        const auto share = in.bytes(secure::kCPaceElementBytes);
        const auto tag = in.bytes(secure::kCPaceTagBytes);
        if (!in.ok()) {
            m_host.dropLink(link, "truncated auth frame");
            return;
        }
        // An address that keeps guessing gets its guesses refused unchecked for a while.
        if (proofsBackedOff(link->source)) {
            reject(link, static_cast<quint32>(RefuseReason::Password), QStringLiteral("too many wrong passwords"));
            return;
        }
        // One guess per connection: a share that does not decode counts as a wrong one.
        if (!link->cpace->receive(*share, link->memberNonce) || !link->cpace->checkConfirmation(*tag)) {
            wrongProof(link->source);
            reject(link, static_cast<quint32>(RefuseReason::Password), QStringLiteral("wrong password"));
            return;
        }
        // The member sends nothing more before it has read Accept: the keys change behind it.
        if (link->decoder.pendingBytes() > 0 || link->channel.waitingBytes() > 0) {
            m_host.dropLink(link, "frames behind a password room's auth");
            return;
        }
        m_proofFailures.remove(link->source);
    }
    int admitted = 0;
    for (const HostLink* other : std::as_const(m_host.m_links)) {
        if (other->state == HostLink::State::Admitted || other->state == HostLink::State::Playing) {
            ++admitted;
        }
    }
    if (admitted + (m_host.m_localPlayer != 0 ? 1 : 0) >= m_host.m_config.maxMembers) {
        reject(link, static_cast<quint32>(RefuseReason::Full), QStringLiteral("the room is full"));
        return;
    }
    link->handshakeTimer.stop();
    link->state = HostLink::State::Admitted;
    WireWriter out;
    if (password) {
        out.bytes(link->cpace->ownConfirmation());
    }
    out.bytes(m_host.m_instanceId);
    out.string(m_host.m_settings.roomName);
    out.i32(m_host.m_settings.numericAttribute);
    if (m_host.m_settings.numericAttribute == kMigratingRoomAttribute) {
        // Only a member of the room can check this; one that looks for the room's new
        // host tells it nothing before it has.
        out.bytes(proof::successorHost(m_host.m_roomSecret, link->hostNonce, link->memberNonce));
    }
    if (!password) {
        m_host.m_relay.reply(link, encodeFrame(FrameType::Accept, out.data()));
        return;
    }
    // Accept is the last frame under the handshake's keys: it leaves now, alone, and
    // both directions switch right behind it.
    m_host.m_relay.flushLink(link);
    link->send(encodeFrame(FrameType::Accept, out.data()));
    const bool rekeyed = link->channel.rekey(link->cpace->iskBytes());
    link->cpace.reset();
    if (!rekeyed) {
        m_host.dropLink(link, "re-key failed");
    }
}

bool HostAdmission::arrivalsUnderWay() const {
    return std::any_of(m_host.m_links.cbegin(), m_host.m_links.cend(),
                       [](const HostLink* l) { return l->state < HostLink::State::Playing; });
}

void HostAdmission::handleCreatePlayer(HostLink* link, const Frame& frame, bool turnCame) {
    WireReader in(frame.body);
    const auto name = in.string(kMaxNameChars * 3);
    if (!in.ok()) {
        m_host.dropLink(link, "truncated create-player frame");
        return;
    }
    // The second name is not ours to check; behind it, the member's standby port.
    in.string(static_cast<quint32>(frame.body.size()));
    const quint16 standbyPort = in.u16().value_or(0);
    auto refuse = [&](RefuseReason reason, const QString& text) {
        m_host.m_relay.reply(link, encodeFrame(FrameType::PlayerRefused, refusal(static_cast<quint32>(reason), text)));
    };
    if (link->state == HostLink::State::Playing) {
        refuse(RefuseReason::Protocol, QStringLiteral("this connection already has a player"));
        return;
    }
    // Joining and leaving in a loop would flood every copy with notices. (A CreatePlayer
    // that waited for its address's turn was checked for this when it came.)
    if (!turnCame) {
        if (link->createdPlayer || (link->lastCreateAttempt.isValid() &&
                                    link->lastCreateAttempt.elapsed() < m_host.m_config.createPlayerInterval.count())) {
            m_host.dropLink(link, "player created again or too fast");
            return;
        }
        link->lastCreateAttempt.start();
    }
    if (!isAllowedHandleName(*name) || m_host.hasMember(*name)) {
        refuse(RefuseReason::InvalidName, QStringLiteral("the handle name is not allowed"));
        return;
    }
    if (m_host.memberCount() >= m_host.m_config.maxMembers) {
        refuse(RefuseReason::Full, QStringLiteral("the room is full"));
        return;
    }
    // An address has its players at a bounded rate: a join beyond waits for its turn,
    // and nothing more of the connection is read until then.
    if (const qint64 wait = nextJoinIn(link->source); wait > 0) {
        link->heldForJoin = true;
        link->waitingCreate = frame;
        m_host.m_relay.stopReading(link);
        QTimer::singleShot(wait, link, [this, link] {
            link->heldForJoin = false;
            const std::optional<Frame> create = std::exchange(link->waitingCreate, std::nullopt);
            if (create && link->state == HostLink::State::Admitted) {
                handleCreatePlayer(link, *create, true);
            }
            m_host.m_relay.flushLink(link);
            m_host.m_relay.letGo(link);
            m_host.m_relay.dropOverflowed();
        });
        return;
    }
    // The roster goes out before the new player is announced, so the member learns
    // about everybody exactly once: from the roster, or from a later Joined.
    const auto offer = secure::readMemberOffer(link->channel.peerPayload());
    HostedPlayer* player = m_host.addMember(*name, link, Endpoint{link->peer, standbyPort},
                                            offer ? secure::toBytes(*offer) : QByteArray());
    const PlayerId id = player->id;
    player->source = link->source;
    player->joinedAt = m_host.m_clock.elapsed();
    m_joinTurns[link->source].left -= 1;
    WireWriter head;
    head.i32(id);
    head.bytes(player->resumeSecret);
    head.bytes(m_host.m_roomSecret);
    head.u32(static_cast<quint32>(m_host.m_members.size()));
    QByteArray body;
    body.reserve(head.data().size() + m_host.m_roster.size() + m_host.m_successions.size());
    body.append(head.data()).append(m_host.m_roster).append(m_host.m_successions);
    m_host.m_relay.reply(link, encodeFrame(FrameType::PlayerCreated, body));
    m_host.sendDelegation(link);
    m_host.sendHistory(link);
    link->player = id;
    link->hosted = player;
    link->createdPlayer = true;
    link->state = HostLink::State::Playing;
    // The notices of a burst of arrivals wait to leave together; once nobody else is
    // on the way in, they leave soon (see HostRelay::arrivalsOver). Each flush is a
    // write to every member: a burst of joins must not cost one per arrival.
    if (!arrivalsUnderWay()) {
        m_host.m_relay.arrivalsOver();
    }
    Q_EMIT m_host.playerJoined(id, *name);
}

void HostAdmission::handleResume(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto id = in.i32();
    const auto secret = in.bytes(kSecretBytes);
    const auto taken = in.u32();
    // Behind them, a member that offered its signing key signs the connection: nobody
    // holds a secret of it that could be passed on.
    const QByteArray signature = in.rest().left(secure::kLineSignatureBytes);
    if (!in.ok() || link->state != HostLink::State::Admitted || link->createdPlayer) {
        m_host.dropLink(link, "unexpected resume");
        return;
    }
    link->createdPlayer = true;
    HostedPlayer* player = m_host.findMember(*id);
    const QByteArray secretSource = secretFailuresKey(link->source);
    if (proofsBackedOff(link->source) || proofsBackedOff(secretSource)) {
        reject(link, static_cast<quint32>(RefuseReason::Password), QStringLiteral("too many wrong passwords"));
        return;
    }
    // A stranger who knows the room's password still cannot take someone's player:
    // the proof counts like a password proof, wrong ones included. A player with a
    // signing key proves with it; a keyless client with the secret this host gave it
    // (a player taken over with the room has none here, so a keyless one cannot return).
    bool secretRight = false;
    if (player != nullptr) {
        secure::PublicBytes<secure::kSignPublicBytes> key{};
        if (secure::fromBytes(player->signingKey, key) && key != secure::PublicBytes<secure::kSignPublicBytes>{}) {
            secretRight = secure::verifySignature(
                key, secure::resumeSignedBytes(secure::toBytes(link->channel.handshakeHash()), player->id), signature);
        } else {
            secretRight = !player->takenOver && !player->resumeSecret.isEmpty() &&
                          player->resumeSecret != QByteArray(kSecretBytes, '\0') &&
                          proof::equal(*secret, player->resumeSecret);
        }
    }
    if (player != nullptr && !player->local && !secretRight) {
        wrongProof(secretSource);
        reject(link, static_cast<quint32>(RefuseReason::Password), QStringLiteral("wrong resume secret"));
        return;
    }
    if (player == nullptr || player->local) {
        reject(link, static_cast<quint32>(RefuseReason::NoSuchPlayer), QStringLiteral("no such player in the room"));
        return;
    }
    m_proofFailures.remove(secretSource);
    if (player->takenOver) {
        // Its events are counted on from what it took from the old host; what waits
        // for it here is what comes next.
        player->takenOver = false;
        player->seqUnknown = true;
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
        m_host.dropLink(old, "replaced by a resumed connection");
    }
    player->awayUntil = 0;
    m_host.m_relay.eventsTaken(*player, *taken);
    link->player = player->id;
    link->hosted = player;
    link->state = HostLink::State::Playing;
    player->link = link;
    // What it missed follows in order, then the acknowledgement it may have missed.
    WireWriter out;
    out.u32(player->handledSeq);
    out.u32(player->firstEventSeq);
    m_host.m_relay.reply(link, encodeFrame(FrameType::Resumed, out.data()));
    for (const Relay* event : player->outbox) {
        m_host.m_relay.enqueue(link, event->frame);
    }
    m_host.m_relay.enqueue(link, HostRelay::ackFrame(player->acknowledgedSeq));
    qCDebug(lcSession) << "player" << player->id << "resumed";
    Q_EMIT m_host.playerResumed(player->id);
}

void HostAdmission::reject(HostLink* link, quint32 reason, const QString& text) {
    m_host.m_relay.flushLink(link);
    link->send(encodeFrame(FrameType::Reject, refusal(reason, text)));
    m_host.dropLink(link, "refused");
}

} // namespace session
