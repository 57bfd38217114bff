#include "session/host/HostRelay.h"

#include "session/SessionLog.h"
#include "session/host/HostLink.h"
#include "session/host/RoomHost.h"
#include "session/secure/LineSignature.h"
#include "session/wire/WireBuffer.h"

#include <QTimer>
#include <algorithm>

namespace session {

namespace {

// How long notices of arrivals and departures may wait for other traffic to the same
// member. Nobody sees 60 ms on a member list, but when many join or leave at once the
// notices leave together instead of one send per member per event-loop turn: each
// flush is a write to every member (and, soon after, an acknowledgement from each),
// and in a room of hundreds those are most of what a burst of joins costs the host
// (the joining members' handshakes wait behind them).
constexpr auto kNoticeDelay = std::chrono::milliseconds(60);
// Once nobody is on the way in, the notices gathered so far leave after a quiet moment
// unless another arrival is under way by then: the end of a burst does not wait for
// the notice delay, and a lull in the middle of one costs no flush. Never sooner than
// kNoticeSpacing after the notices before them, however members trickle in.
constexpr auto kQuietNoticeDelay = std::chrono::milliseconds(2);
constexpr auto kNoticeSpacing = std::chrono::milliseconds(10);

// What the host's bookkeeping of one waiting event costs beyond its frame; counted
// against the member's cap, so that many small events cannot outgrow it.
constexpr qint64 kOutboxEventOverhead = 64;

// A member's per-turn queue keeps its room for this many frames (32 KiB); one that
// held more (a resume's backlog) is let go. A busy room's turn brings each member a few
// hundred lines, and a queue grown anew every turn was copied over and over.
constexpr qsizetype kKeptQueueFrames = 1024;

// What a broadcast touches of each receiver (its player, its link, the ends of their
// queues) lies scattered over the heap, and the records sealed since its last line
// have pushed all of it out of the cache: in a room of a hundred or more, waiting for
// those reads one receiver after the other was most of a line's routing. So the next
// receivers' are asked for ahead, each as soon as the pointer to it is at hand.
// Inlined by force: as a call of its own, GCC finds it without effects and drops it.
[[gnu::always_inline]] inline void prefetchReceivers(const std::vector<std::unique_ptr<HostedPlayer>>& members,
                                                     std::size_t at) {
    constexpr std::size_t kPlayerAhead = 6, kLinkAhead = 4, kQueueAhead = 2;
    if (at + kPlayerAhead < members.size()) {
        const char* player = reinterpret_cast<const char*>(members[at + kPlayerAhead].get());
        __builtin_prefetch(player);
        __builtin_prefetch(player + 64);
    }
    if (at + kLinkAhead < members.size()) {
        if (const HostLink* link = members[at + kLinkAhead]->link) {
            __builtin_prefetch(link);
            __builtin_prefetch(reinterpret_cast<const char*>(link) + 64);
        }
    }
    if (at + kQueueAhead < members.size()) {
        const HostedPlayer& player = *members[at + kQueueAhead];
        if (!player.outbox.empty()) {
            __builtin_prefetch(&player.outbox.back() + 1, 1);
        }
        if (const HostLink* link = player.link) {
            __builtin_prefetch(link->outgoing.data() + link->outgoing.size(), 1);
            __builtin_prefetch(link->socket);
        }
    }
}

} // namespace

QByteArray HostRelay::ackFrame(quint32 seq) {
    WireWriter out;
    out.u32(seq);
    return encodeFrame(FrameType::Ack, out.data());
}

void HostRelay::start() {
    m_noticeTimer = new QTimer(&m_host);
    m_noticeTimer->setSingleShot(true);
    QObject::connect(m_noticeTimer, &QTimer::timeout, &m_host, [this] { flushNotices(); });
    m_quietTimer = new QTimer(&m_host);
    m_quietTimer->setSingleShot(true);
    QObject::connect(m_quietTimer, &QTimer::timeout, &m_host, [this] {
        if (!m_noticed.isEmpty() && !m_host.m_admission.arrivalsUnderWay()) {
            flushNotices();
        }
    });
}

void HostRelay::arrivalsOver() {
    if (m_noticed.isEmpty()) {
        return;
    }
    const std::chrono::milliseconds sinceLast(m_lastNoticeFlush < 0 ? kNoticeDelay.count()
                                                                    : m_host.m_clock.elapsed() - m_lastNoticeFlush);
    if (sinceLast >= kNoticeDelay) {
        flushNotices(); // a lone arrival: nothing to gather it with
    } else if (!m_quietTimer->isActive()) {
        m_quietTimer->start(std::max(kQuietNoticeDelay, kNoticeSpacing - sinceLast));
    }
}

void HostRelay::localPlayerGone() {
    m_localBacklog = 0;
    releaseLocal();
}

void HostRelay::playerGone(PlayerId id) {
    m_ackDue.removeAll(id);
}

void HostRelay::route(HostLink* sender, HostedPlayer* from, PlayerId to, quint32 seq, const QByteArray& payload) {
    // `payload` is the line after its author's signature.
    WireWriter header;
    header.i32(from->id);
    header.i32(to);
    header.u32(seq);
    // One frame for every addressee: QByteArray shares it, nothing is copied per member.
    // A member's message is acknowledged to it once every receiver has taken it; the
    // local player takes it as soon as it is queued.
    auto* relay = new Relay{
        encodeFrame(FrameType::Deliver, header.data(), payload), from, seq, 1, !from->local, &m_host.m_keptBytes};
    m_host.m_keptBytes += relay->frame.size();
    if (to == kEveryone && m_host.m_config.serveHistory) {
        // The history reads the line where it lies in the frame, past its signature.
        m_host.m_history.addPublic(from->id, from->name, seq, relay->frame,
                                   kFrameHeaderBytes + header.data().size() + secure::kLineSignatureBytes);
    }
    if (relay->queued) {
        from->unacknowledged.push_back(relay);
    }
    const qint64 highWater = m_host.m_config.relayHighWaterBytes;
    // A sender is read only while what it sent can wait at its receivers: one that
    // sends faster than a receiver takes is held back, and the receiver keeps up.
    const auto deliver = [&](HostedPlayer& member) {
        if (member.local) {
            // The line's signature is for the members; this copy knows its sender
            // by the connection it came on.
            const QByteArrayView line = QByteArrayView(payload).sliced(secure::kLineSignatureBytes);
            Q_EMIT m_host.deliveredLocally(from->id, to, seq, line);
            if (to != 0) { // its receipts confirm only lines addressed to it
                m_host.takenLocally(from->id, seq);
            }
            m_localBacklog += line.size(); // as the local player will take it
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
        const auto& members = m_host.m_members;
        for (std::size_t i = 0; i < members.size(); ++i) {
            prefetchReceivers(members, i);
            if (members[i].get() != from) {
                deliver(*members[i]);
            }
        }
    } else if (HostedPlayer* receiver = m_host.findMember(to); receiver != nullptr && receiver != from) {
        deliver(*receiver);
    }
    // An addressee that has just left is not an error: the sender could not know yet.
    // Nothing goes back to the sender; a message to nobody is acknowledged at once.
    relayTaken(relay); // the count started at one, so it could not settle early
    // A sender with too many lines not yet taken by everybody waits for them: the
    // receivers are not to blame for how fast it sends.
    if (sender != nullptr && !sender->heldForAcks &&
        from->unacknowledged.size() > static_cast<std::size_t>(m_host.m_config.maxUnacknowledgedSends)) {
        sender->heldForAcks = true;
        stopReading(sender);
    }
    // Above the room's budget with nobody to let go yet (every member with events
    // waiting took some a moment ago): the sender waits until somebody takes them or
    // is found not to.
    if (sender != nullptr && !keepWithinBudget() && !sender->heldForBudget) {
        sender->heldForBudget = true;
        m_budgetHeld.append(QPointer<HostLink>(sender));
        stopReading(sender);
    }
    dropOverflowed();
}

void HostRelay::pushToAll(const QByteArray& frame) {
    auto* relay = new Relay{frame, nullptr, 0, 1, false, &m_host.m_keptBytes};
    m_host.m_keptBytes += frame.size();
    for (const auto& member : m_host.m_members) {
        if (!member->local) {
            pushEvent(*member, relay, true);
        }
    }
    relayTaken(relay);
}

void HostRelay::pushEvent(HostedPlayer& player, Relay* relay, bool notice) {
    if (player.outbox.empty()) {
        player.takenAt = m_host.m_clock.elapsed();
    }
    player.outbox.push_back(relay);
    ++relay->remaining;
    player.outboxBytes += relay->frame.size() + kOutboxEventOverhead;
    m_host.m_keptBytes += kOutboxEventOverhead;
    if (player.outboxBytes > m_host.m_config.maxBufferedBytesPerMember) {
        m_overflowedPlayers.append(player.id);
    }
    if (player.link != nullptr) {
        if (notice) {
            notify(player.link, HostLink::Outgoing{{}, relay});
        } else {
            write(player.link, HostLink::Outgoing{{}, relay});
        }
    }
}

void HostRelay::eventsTaken(HostedPlayer& player, quint32 seq) {
    if (!player.outbox.empty() && player.firstEventSeq <= seq) {
        player.takenAt = m_host.m_clock.elapsed();
    }
    while (!player.outbox.empty() && player.firstEventSeq <= seq) {
        Relay* relay = player.outbox.front();
        player.outbox.pop_front();
        ++player.firstEventSeq;
        player.outboxBytes -= relay->frame.size() + kOutboxEventOverhead;
        m_host.m_keptBytes -= kOutboxEventOverhead;
        relayTaken(relay);
    }
}

void HostRelay::dropOutbox(HostedPlayer& player) {
    m_host.m_keptBytes -= kOutboxEventOverhead * static_cast<qint64>(player.outbox.size());
    player.outboxBytes = 0;
    for (Relay* relay : std::exchange(player.outbox, {})) {
        relayTaken(relay);
    }
}

bool HostRelay::keepWithinBudget() {
    const SessionConfig& config = m_host.m_config;
    while (m_host.m_keptBytes > config.maxRoomBufferedBytes) {
        // Not the members that keep taking what comes, nor those with little waiting:
        // the one that has taken nothing for a while and has the most waiting goes. A
        // sender this host holds back is not read, so its acknowledgements wait unread
        // and its silence means nothing.
        const qint64 now = m_host.m_clock.elapsed();
        HostedPlayer* worst = nullptr;
        for (const auto& member : m_host.m_members) {
            const bool unread = member->link != nullptr && member->link->paused;
            if (!member->local && !unread && !member->outbox.empty() &&
                now - member->takenAt >= config.ackSilence.count() &&
                (worst == nullptr || member->outbox.size() > worst->outbox.size())) {
                worst = member.get();
            }
        }
        if (worst == nullptr) {
            return false;
        }
        qCDebug(lcSession) << "player" << worst->id << "acknowledges nothing while the room is full";
        if (worst->link != nullptr) {
            m_host.dropLink(worst->link, "member acknowledged nothing while the room was full");
        } else {
            m_host.removeMember(worst->id);
        }
    }
    return true;
}

void HostRelay::relayTaken(Relay* relay) {
    if (--relay->remaining > 0) {
        return;
    }
    if (!relay->queued) {
        delete relay;
        return;
    }
    // Every receiver has it: its bytes go now, though its place in its sender's order
    // waits for the sender's older messages (one waiting at a member that takes nothing
    // must not keep every later one in memory).
    if (relay->kept != nullptr) {
        *relay->kept -= relay->frame.size();
    }
    relay->frame = QByteArray();
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
    if (HostLink* link = sender.link;
        link != nullptr && link->heldForAcks &&
        sender.unacknowledged.size() <= static_cast<std::size_t>(m_host.m_config.resumeUnacknowledgedSends)) {
        link->heldForAcks = false;
        letGo(link);
    }
}

void HostRelay::queueAck(HostedPlayer& player) {
    if (player.ackQueued || player.link == nullptr) {
        return;
    }
    player.ackQueued = true;
    m_ackDue.append(player.id);
    postFlush();
}

qint64 HostRelay::backlog(const HostLink* link) {
    return link->outgoingBytes + link->socket->bytesToWrite();
}

void HostRelay::hold(HostLink* sender, HostLink* receiver) {
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
        if (m_localBacklog.load() <= m_host.m_config.relayLowWaterBytes) {
            return;
        }
        sender->heldLocally = true;
        m_localHolding.append(QPointer<HostLink>(sender));
    } else {
        ++sender->heldBy;
        receiver->holding.append(QPointer<HostLink>(sender));
    }
    stopReading(sender);
}

void HostRelay::stopReading(HostLink* sender) {
    if (!sender->paused) {
        sender->paused = true;
        sender->socket->setReadEnabled(false);
    }
}

void HostRelay::release(HostLink* receiver) {
    const QList<QPointer<HostLink>> senders = std::exchange(receiver->holding, {});
    for (const QPointer<HostLink>& sender : senders) {
        if (!sender.isNull()) {
            --sender->heldBy;
            letGo(sender);
        }
    }
}

void HostRelay::releaseLocal() {
    m_localHeld = false;
    const QList<QPointer<HostLink>> senders = std::exchange(m_localHolding, {});
    for (const QPointer<HostLink>& sender : senders) {
        if (!sender.isNull()) {
            sender->heldLocally = false;
            letGo(sender);
        }
    }
}

void HostRelay::letGo(HostLink* sender) {
    if (sender->heldBy > 0 || sender->heldLocally || sender->heldForAcks || sender->heldForBudget ||
        sender->heldForJoin || !sender->paused || sender->state == HostLink::State::Closed) {
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
                m_host.handleDecoded(sender, false);
            }
        },
        Qt::QueuedConnection);
}

void HostRelay::write(HostLink* link, const QByteArray& frame) {
    write(link, HostLink::Outgoing{frame});
}

void HostRelay::write(HostLink* link, HostLink::Outgoing frame) {
    if (!enqueue(link, std::move(frame)) || link->flushQueued) {
        return;
    }
    link->flushQueued = true;
    m_unflushed.append(link);
    postFlush();
}

void HostRelay::postFlush() {
    // Whatever else this turn queues for the member leaves with it, in one write,
    // when the event loop comes round again.
    if (!m_flushPosted) {
        m_flushPosted = true;
        QMetaObject::invokeMethod(
            &m_host, [this] { flushWrites(); }, Qt::QueuedConnection);
    }
}

void HostRelay::notify(HostLink* link, HostLink::Outgoing frame) {
    if (m_noticeTimer == nullptr) {
        write(link, std::move(frame));
        return;
    }
    if (!enqueue(link, std::move(frame)) || link->flushQueued || link->noticeQueued) {
        return;
    }
    link->noticeQueued = true;
    m_noticed.append(QPointer<HostLink>(link));
    if (!m_noticeTimer->isActive()) {
        m_noticeTimer->start(kNoticeDelay);
    }
}

void HostRelay::flushNotices() {
    // Whatever waits leaves now: neither timer has anything left to send, and the next
    // notices are spaced from these.
    m_noticeTimer->stop();
    m_quietTimer->stop();
    m_lastNoticeFlush = m_host.m_clock.elapsed();
    const QList<QPointer<HostLink>> links = std::exchange(m_noticed, {});
    for (const QPointer<HostLink>& link : links) {
        if (!link.isNull()) {
            link->noticeQueued = false;
            flushLink(link);
        }
    }
    dropOverflowed();
}

void HostRelay::reply(HostLink* link, const QByteArray& frame) {
    if (enqueue(link, frame)) {
        link->replyPending = true;
    }
}

bool HostRelay::enqueue(HostLink* link, const QByteArray& frame) {
    return enqueue(link, HostLink::Outgoing{frame});
}

bool HostRelay::enqueue(HostLink* link, HostLink::Outgoing frame) {
    if (link->state == HostLink::State::Closed) {
        return false;
    }
    // A relay's frame is borrowed, not copied: a broadcast costs one frame however
    // many members it reaches.
    if (frame.relay != nullptr) {
        ++frame.relay->remaining;
        link->outgoingBytes += frame.relay->frame.size();
    } else {
        link->outgoingBytes += frame.frame.size();
    }
    link->outgoing.push_back(std::move(frame));
    if (link->outgoingBytes + link->socket->bytesToWrite() > m_host.m_config.maxBufferedBytesPerMember) {
        // Dropped after the current loop over the members, never inside it.
        m_overflowed.append(QPointer<HostLink>(link));
    }
    return true;
}

void HostRelay::writeDueAcks() {
    // One Ack per sender and turn, however many of its messages were taken meanwhile.
    for (const PlayerId id : std::exchange(m_ackDue, {})) {
        if (HostedPlayer* player = m_host.findMember(id)) {
            player->ackQueued = false;
            if (player->link != nullptr) {
                write(player->link, ackFrame(player->acknowledgedSeq));
            }
        }
    }
}

void HostRelay::flushWrites() {
    writeDueAcks();
    m_flushPosted = false;
    const QList<HostLink*> links = std::exchange(m_unflushed, {});
    for (HostLink* link : links) {
        link->flushQueued = false;
        flushLink(link);
    }
}

void HostRelay::flushLink(HostLink* link) {
    if (link->flushQueued) {
        link->flushQueued = false;
        m_unflushed.removeOne(link);
    }
    if (link->outgoing.empty()) {
        writeFileParts(link);
        return;
    }
    // The list goes back to the link emptied, so that a busy member's queue keeps
    // its room from turn to turn instead of growing it anew each time.
    std::vector<HostLink::Outgoing> frames = std::exchange(link->outgoing, {});
    link->outgoingBytes = 0;
    link->send(frames);
    // Sealed: the relays' frames are the link's no longer.
    for (const HostLink::Outgoing& frame : frames) {
        if (frame.relay != nullptr) {
            relayTaken(frame.relay);
        }
    }
    if (link->outgoing.empty() && frames.capacity() <= static_cast<std::size_t>(kKeptQueueFrames)) {
        frames.clear();
        link->outgoing.swap(frames);
    }
    if (!link->holding.isEmpty() && backlog(link) <= m_host.m_config.relayLowWaterBytes) {
        release(link);
    }
    writeFileParts(link);
}

void HostRelay::dropOverflowed() {
    while (!m_overflowed.isEmpty()) {
        const QPointer<HostLink> link = m_overflowed.takeFirst();
        if (!link.isNull() && link->state != HostLink::State::Closed) {
            m_host.dropLink(link, "member stopped reading");
        }
    }
    while (!m_overflowedPlayers.isEmpty()) {
        HostedPlayer* player = m_host.findMember(m_overflowedPlayers.takeFirst());
        if (player == nullptr) {
            continue;
        }
        qCDebug(lcSession) << "player" << player->id << "left too much unacknowledged";
        if (player->link != nullptr) {
            m_host.dropLink(player->link, "member acknowledged too little");
        } else {
            m_host.removeMember(player->id);
        }
    }
    if ((m_host.m_keptBytes > m_host.m_config.maxRoomBufferedBytes || !m_budgetHeld.isEmpty()) && keepWithinBudget()) {
        for (const QPointer<HostLink>& sender : std::exchange(m_budgetHeld, {})) {
            if (!sender.isNull()) {
                sender->heldForBudget = false;
                letGo(sender);
            }
        }
    }
}

void HostRelay::handleSend(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto to = in.i32();
    const auto seq = in.u32();
    if (!in.ok() || in.remaining() < secure::kLineSignatureBytes) {
        m_host.dropLink(link, "truncated send frame");
        return;
    }
    if (in.remaining() - secure::kLineSignatureBytes > m_host.m_config.maxPayloadBytes()) {
        // Relayed, it would exceed every receiver's frame limit; an honest member
        // never sends it.
        m_host.dropLink(link, "oversized send frame");
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
        m_host.dropLink(link, "send out of sequence");
        return;
    }
    player->handledSeq = *seq;
    // The sender is the connection's player, whatever the frame might claim. Its
    // signature and payload go on as they came: the receivers check them.
    route(link, player, *to, *seq, in.rest());
}

void HostRelay::handleAck(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto seq = in.u32();
    if (!in.ok()) {
        m_host.dropLink(link, "truncated ack frame");
        return;
    }
    HostedPlayer* player = link->hosted;
    if (player == nullptr) {
        return;
    }
    if (*seq >= player->nextEventSeq()) {
        m_host.dropLink(link, "acknowledged an event never sent");
        return;
    }
    eventsTaken(*player, *seq);
}

void HostRelay::localTaken(qint64 bytes) {
    // Nothing to do on the host's thread unless the queue held somebody back and is
    // down to the low-water mark now; then one call is posted for all such takes.
    if (m_localBacklog.fetch_sub(bytes) - bytes > m_host.m_config.relayLowWaterBytes || !m_localHeld.load() ||
        m_localReleasePosted.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        &m_host,
        [this] {
            m_localReleasePosted = false;
            if (m_localBacklog.load() <= m_host.m_config.relayLowWaterBytes) {
                releaseLocal();
            }
        },
        Qt::QueuedConnection);
}

} // namespace session
