#include "session/host/HostLiveness.h"

#include "session/SessionLog.h"
#include "session/host/HostLink.h"
#include "session/host/RoomHost.h"

#include <QTimer>
#include <algorithm>

namespace session {

void HostLiveness::start() {
    m_heartbeat = new QTimer(&m_host);
    // Silence is looked for twice per heartbeat, so it is noticed soon after the time-out.
    m_heartbeat->start(m_host.m_config.heartbeatInterval / 2);
    QObject::connect(m_heartbeat, &QTimer::timeout, &m_host, [this] { onTick(); });
}

void HostLiveness::stop() {
    if (m_heartbeat != nullptr) {
        m_heartbeat->stop();
    }
}

void HostLiveness::connectionLost(HostedPlayer& player, PlayerId id, LinkEnd end) {
    const SessionConfig& config = m_host.m_config;
    const auto grace =
        end == LinkEnd::Closed ? std::min(config.closedResumeGrace, config.resumeGrace) : config.resumeGrace;
    if (end != LinkEnd::Leave && grace.count() > 0) {
        player.awayUntil = m_host.m_clock.elapsed() + grace.count();
        qCDebug(lcSession) << "player" << id << "is away for" << grace.count() << "ms";
    } else {
        m_host.removeMember(id);
    }
}

void HostLiveness::onTick() {
    m_beatDue = !m_beatDue;
    const QByteArray heartbeat = encodeFrame(FrameType::Heartbeat, {});
    const QList<HostLink*> links = m_host.m_links;
    for (HostLink* link : links) {
        if (link->state != HostLink::State::Admitted && link->state != HostLink::State::Playing) {
            continue;
        }
        // A member held back is not read, so its silence means nothing; a member that
        // takes nothing of what waits for it is as gone as a silent one.
        if (!link->paused && link->lastHeard.elapsed() > m_host.m_config.heartbeatTimeout.count()) {
            m_host.dropLink(link, "heartbeat timed out", LinkEnd::Silent);
        } else if (link->socket->bytesToWrite() > 0 &&
                   link->socket->msSinceProgress() > m_host.m_config.heartbeatTimeout.count()) {
            m_host.dropLink(link, "member took nothing", LinkEnd::Silent);
        } else if (m_beatDue) {
            m_host.m_relay.write(link, heartbeat);
        }
    }
    // Away players that did not come back in time leave now.
    const qint64 now = m_host.m_clock.elapsed();
    QList<PlayerId> expired;
    for (const auto& member : m_host.m_members) {
        if (!member->local && member->link == nullptr && member->awayUntil <= now) {
            expired.append(member->id);
        }
    }
    for (const PlayerId id : expired) {
        m_host.removeMember(id);
    }
    m_host.m_relay.dropOverflowed();
}

} // namespace session
