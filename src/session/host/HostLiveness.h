#pragma once

#include "session/SessionTypes.h"

class QTimer;

namespace session {

class RoomHost;
struct HostedPlayer;

// How a player's connection ended: with a leave (Goodbye, a bad frame, a cap), closed
// or reset by the member's side without a word, or silent (nothing heard, nothing taken).
enum class LinkEnd { Leave, Closed, Silent };

// Keeps the room's members alive and lets go of those that are gone: heartbeats to
// every admitted connection, a connection that stays silent or takes nothing for the
// heartbeat time-out is dropped, and a player whose connection broke is away for the
// grace period before its leave is announced.
class HostLiveness {
public:
    explicit HostLiveness(RoomHost& host) : m_host(host) {}

    void start();
    void stop();
    // The connection of `player` (whose id is `id`) is gone. A silent one leaves the
    // player away for the grace period, a closed one for the short grace: a copy still
    // running is back at once, a killed one is seen to leave soon. A leave is at once.
    void connectionLost(HostedPlayer& player, PlayerId id, LinkEnd end);

private:
    void onTick();

    RoomHost& m_host;
    QTimer* m_heartbeat = nullptr;
    bool m_beatDue = false; // heartbeats go on every other tick
};

} // namespace session
