#pragma once

#include "session/SessionTypes.h"
#include "session/host/HostLink.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <atomic>

class QTimer;

namespace session {

class RoomHost;
struct Frame;
struct HostedPlayer;
struct Relay;

// Carries messages through the room: routes a message to its receivers, keeps every
// event in each receiver's outbox until it is acknowledged, acknowledges to a sender
// what every receiver has taken, and applies back-pressure (a sender is not read while
// a receiver holds too much of it). What a turn queues for a member leaves in one write.
class HostRelay {
public:
    explicit HostRelay(RoomHost& host) : m_host(host) {}

    // Starts the notice timer; before it, notices leave like any other frame.
    void start();

    void handleSend(HostLink* link, const Frame& frame);
    // File parts (HostRelayFiles.cpp): relayed to one player, never kept for it, and
    // written to a member only behind its other frames, while its socket is nearly
    // empty. `from` is the sender's player.
    void handleFilePart(HostLink* link, const Frame& frame);
    void relayFilePart(PlayerId from, PlayerId to, const QByteArray& part);
    void writeFileParts(HostLink* link);
    // The member's connection is gone: its parts with it.
    void dropFileParts(HostLink* link);
    // What a member's socket may hold before its next file part is written.
    static constexpr qint64 kFileDrainBytes = 64 * 1024;
    void handleAck(HostLink* link, const Frame& frame);

    // Relays a message with its sender's seq; `sender` is the member's link, nullptr
    // for the local player. `signedPayload` is the line's signature (64 bytes) and its
    // payload, as Send and Deliver carry them.
    void route(HostLink* sender, HostedPlayer* from, PlayerId to, quint32 seq, const QByteArray& signedPayload);
    // Sends an event to every member but the local player.
    void pushToAll(const QByteArray& frame);
    // The member has taken every event up to `seq`.
    void eventsTaken(HostedPlayer& player, quint32 seq);
    // A receiver took `relay` (or left): acknowledges to its sender what every receiver
    // has taken, and frees what nobody needs any more.
    void relayTaken(Relay* relay);
    void writeDueAcks();

    // Queues a frame for a member; it leaves with the others of this turn. A member
    // whose unsent bytes pass the cap is dropped.
    void write(HostLink* link, const QByteArray& frame);
    void write(HostLink* link, HostLink::Outgoing frame);
    // Queues the answer to a frame the member sent; it leaves as soon as everything
    // that arrived with that frame is handled.
    void reply(HostLink* link, const QByteArray& frame);
    bool enqueue(HostLink* link, const QByteArray& frame);
    // A relay's frame, the link counted among its holders until the frame leaves.
    bool enqueue(HostLink* link, HostLink::Outgoing frame);
    void flushLink(HostLink* link);
    // Nobody is on the way in any more: the waiting notices leave now when none left
    // within the notice delay, else after a quiet moment if no arrival is under way
    // by then.
    void arrivalsOver();
    void flushNotices();
    // Drops the members whose queues passed their caps since the last call, and keeps
    // the room within its memory budget.
    void dropOverflowed();
    // The member left: what waits for it need not wait any more.
    void dropOutbox(HostedPlayer& player);

    // Bytes queued for a member that it has not taken yet.
    static qint64 backlog(const HostLink* link);
    // Lets go of every sender `receiver` holds.
    void release(HostLink* receiver);
    // Holds: the sender is not read until every reason to hold it is gone (letGo).
    void stopReading(HostLink* sender);
    void letGo(HostLink* sender);
    // See RoomHost::localTaken(); safe from any thread.
    void localTaken(qint64 bytes);
    // The local player is gone: nothing waits for its queue any more.
    void localPlayerGone();
    // The player left the room: no Ack is due to it any more.
    void playerGone(PlayerId id);

    static QByteArray ackFrame(quint32 seq);

private:
    // Keeps an event for a member until it acknowledges it, and sends it when it is
    // connected (a notice waits for the notice timer).
    void pushEvent(HostedPlayer& player, Relay* relay, bool notice);
    void queueAck(HostedPlayer& player);
    void postFlush();
    // Stops reading `sender` until `receiver` (nullptr: the local player) has taken
    // its backlog down to the low-water mark.
    void hold(HostLink* sender, HostLink* receiver);
    void releaseLocal();
    // While the room's events keep more than its budget: lets go of the members that
    // do not acknowledge, those with the most events waiting first; true when the room
    // is within its budget again.
    bool keepWithinBudget();
    // Queues a notice of an arrival or a departure: it leaves with the member's next
    // traffic, or a moment later.
    void notify(HostLink* link, HostLink::Outgoing frame);
    // Sends what the turn queued for every member (see SocketSend.h).
    void flushWrites();

    RoomHost& m_host;
    QTimer* m_noticeTimer = nullptr;
    QTimer* m_quietTimer = nullptr;
    qint64 m_lastNoticeFlush = -1; // host clock time of the last flushNotices()
    QList<QPointer<HostLink>> m_overflowed;
    // Members with queued frames, and whether their flush is already posted. A link
    // leaves this list (flushed) before it is dropped.
    QList<HostLink*> m_unflushed;
    bool m_flushPosted = false;
    // Members with notices waiting for the notice timer.
    QList<QPointer<HostLink>> m_noticed;
    // Players whose events passed the cap: they leave once the current loop is done.
    QList<PlayerId> m_overflowedPlayers;
    // Senders held while the room is above its budget and nobody is to blame yet.
    QList<QPointer<HostLink>> m_budgetHeld;
    // Players owed an Ack, sent with the turn's other frames.
    QList<PlayerId> m_ackDue;
    // Payload bytes in the local player's queue, and the senders that queue holds.
    // The local player takes from its queue on its own thread: the count and whether
    // anybody is held are shared with it.
    std::atomic<qint64> m_localBacklog = 0;
    std::atomic<bool> m_localHeld = false;
    std::atomic<bool> m_localReleasePosted = false;
    QList<QPointer<HostLink>> m_localHolding;
    // File parts waiting in every member's queue.
    qint64 m_fileBytes = 0;
};

} // namespace session
