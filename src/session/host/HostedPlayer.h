#pragma once

#include "session/SessionTypes.h"

#include <QByteArray>
#include <QString>
#include <deque>

namespace session {

class HostLink;
struct HostedPlayer;

// An event the host keeps until every member it went to has acknowledged it: a
// Deliver (a member's message, or the local player's), a Joined or a Left. Its frame
// is shared by every receiver. A member's message also waits in its sender's
// `unacknowledged`, in order, until it is acknowledged to the sender.
struct Relay {
    QByteArray frame;
    HostedPlayer* sender = nullptr; // while `queued`
    quint32 seq = 0;
    int remaining = 0;      // outboxes and unsent link queues it waits in (one more while it is being relayed)
    bool queued = false;    // in its sender's `unacknowledged`
    qint64* kept = nullptr; // the room's count of the bytes its events keep, while it lives

    ~Relay() {
        if (kept != nullptr) {
            *kept -= frame.size();
        }
    }
};

// Everything the host keeps of one player for the room's life. It outlives the
// player's connection: a member whose link broke is "away" for the grace period,
// its events kept, until it resumes or its leave is announced.
struct HostedPlayer {
    HostedPlayer() = default;
    HostedPlayer(const HostedPlayer&) = delete;
    HostedPlayer& operator=(const HostedPlayer&) = delete;
    // Lets go of its events and messages, without acknowledging anything to anybody.
    ~HostedPlayer();

    PlayerId id = 0;
    // What every line relayed to it reads and writes, together at the front: the rest is cold.
    bool local = false;       // the hosting copy's own player
    HostLink* link = nullptr; // nullptr for the local player and while away
    // Events for it not yet acknowledged (its outbox), oldest first, and the first one's seq.
    std::deque<Relay*> outbox;
    quint32 firstEventSeq = 1;
    qint64 outboxBytes = 0;
    // The host clock's time it last took events, or its first one came since: a member
    // with events waiting that has taken nothing for long is not acknowledging.
    qint64 takenAt = 0;
    QString name;
    QString nameKey;        // handleNameKey(name): what another name must not match
    QByteArray rosterEntry; // id and name as the roster and Joined carry them
    // A keyless client's proof at Resume, at the host that gave it; a player that
    // offered a signing key proves with that key instead (taken over with the room,
    // it has only its key here). Until it is back, its seqs and event count are its member's.
    QByteArray resumeSecret;
    QByteArray signingKey; // 32 bytes, all zero: it offered none
    bool takenOver = false;
    bool seqUnknown = false; // resumed after the move: its first Send sets handledSeq
    QByteArray succession;   // its succession fields (Succession.h)
    // Its own messages: the highest seq handled (relayed or dropped), the highest
    // acknowledged to it, and those relayed but not yet taken by every receiver.
    quint32 handledSeq = 0;
    quint32 acknowledgedSeq = 0;
    std::deque<Relay*> unacknowledged;
    bool ackQueued = false;
    qint64 awayUntil = 0; // the host clock's time its grace ends; 0 while connected
    QByteArray source;    // the address it joined from, as per-address limits count it
    qint64 joinedAt = 0;  // the host clock's time it joined

    quint32 nextEventSeq() const { return firstEventSeq + static_cast<quint32>(outbox.size()); }
};

} // namespace session
