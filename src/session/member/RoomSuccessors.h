#pragma once

#include "session/SessionTypes.h"
#include "session/wire/Succession.h"

#include <QList>

namespace session {

class WireReader;

// What a member knows of who may host its room next: every player with its endpoint
// and signing key, in joining order, from the roster and the joins and leaves since, and
// the highest id the room has given. One player whose fields did not come makes the
// record incomplete, and a room with an incomplete record is not taken over.
class RoomSuccessors {
public:
    // The succession fields behind PlayerCreated's roster, one per entry.
    void readRoster(WireReader& in, const QList<PlayerEntry>& roster);
    // The succession fields behind a Joined.
    void readJoined(WireReader& in, PlayerId id, const QString& name);
    void left(PlayerId id);

    bool complete() const { return m_complete; }
    const QList<RoomPlayer>& players() const { return m_players; }
    // The player whose copy hosts the room (0: none of them, or not known).
    PlayerId hostPlayer() const;
    // The host's copy is gone: its player leaves the record; returns its id.
    PlayerId dropHost();
    // `id`'s copy hosts the room now: a later move leaves it out.
    void nowHosting(PlayerId id);
    // The room as the record has it, without the old host's player.
    RoomSnapshot snapshot(const QByteArray& instanceId, const QByteArray& roomSecret, PlayerId self) const;

private:
    QList<RoomPlayer> m_players;
    bool m_complete = false;
    PlayerId m_highestId = 0;
};

} // namespace session
