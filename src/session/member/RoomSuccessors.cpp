#include "session/member/RoomSuccessors.h"

#include "session/wire/WireBuffer.h"

namespace session {

void RoomSuccessors::readRoster(WireReader& in, const QList<PlayerEntry>& roster) {
    m_players.clear();
    m_highestId = 0;
    for (const PlayerEntry& entry : roster) {
        m_highestId = std::max(m_highestId, entry.id);
    }
    m_complete = true;
    for (qsizetype i = 0; i < roster.size() && m_complete; ++i) {
        const auto player = readSuccession(in, roster.at(i).id, roster.at(i).name);
        m_complete = player.has_value();
        if (player) {
            m_players.append(*player);
        }
    }
}

void RoomSuccessors::readJoined(WireReader& in, PlayerId id, const QString& name) {
    m_highestId = std::max(m_highestId, id);
    if (const auto player = readSuccession(in, id, name)) {
        m_players.append(*player);
    } else {
        m_complete = false;
    }
}

void RoomSuccessors::left(PlayerId id) {
    m_players.removeIf([id](const RoomPlayer& p) { return p.id == id; });
}

PlayerId RoomSuccessors::hostPlayer() const {
    for (const RoomPlayer& player : m_players) {
        if (player.endpoint.isHost()) {
            return player.id;
        }
    }
    return 0;
}

PlayerId RoomSuccessors::dropHost() {
    const PlayerId oldHost = hostPlayer();
    m_players.removeIf([](const RoomPlayer& p) { return p.endpoint.isHost(); });
    return oldHost;
}

void RoomSuccessors::nowHosting(PlayerId id) {
    for (RoomPlayer& player : m_players) {
        if (player.id == id) {
            player.endpoint = Endpoint{};
        }
    }
}

RoomSnapshot RoomSuccessors::snapshot(const QByteArray& instanceId, const QByteArray& roomSecret, PlayerId self) const {
    RoomSnapshot snapshot{instanceId, roomSecret, m_players, self, m_highestId + 1};
    // The old host's player goes with its copy; every copy shows its leave itself.
    snapshot.players.removeIf([](const RoomPlayer& p) { return p.endpoint.isHost(); });
    return snapshot;
}

} // namespace session
