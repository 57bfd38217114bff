#include "session/tcp/TcpTransport.h"

#include "session/discovery/RoomDiscovery.h"
#include "session/tcp/HostedRoom.h"
#include "session/tcp/JoinedRoom.h"

#include <QDeadlineTimer>
#include <QThread>

namespace session {

TcpTransport::~TcpTransport() {
    // A closed room's goodbyes take at most a moment; a host thread that does not end
    // by then is left running rather than destroyed under its host.
    for (const QPointer<QThread>& thread : std::as_const(m_hostThreads)) {
        if (thread && thread->wait(QDeadlineTimer(3000)) && thread) {
            delete thread.data();
        }
    }
}

void TcpTransport::setConnection(Connection::Kind kind, HostAndPort internetHost) {
    m_kind = kind;
    m_internetHost = std::move(internetHost);
}

RoomListing* TcpTransport::listRooms(const RoomDescription& query, int timeoutMs, std::chrono::milliseconds& limit,
                                     QObject* parent) {
    auto* discovery = new RoomDiscovery(m_config, parent);
    if (m_kind == Connection::Kind::Internet) {
        limit = m_config.connectTimeout;
        discovery->startInternet(m_internetHost.host, m_internetHost.port, query);
    } else {
        limit = timeoutMs > 0 ? std::chrono::milliseconds(timeoutMs) : m_config.listTimeout;
        discovery->startLan(query, limit);
    }
    return discovery;
}

RoomLink* TcpTransport::newLink(OpenMode mode, QObject* parent) {
    switch (mode) {
    case OpenMode::CreateAndHost:
        return new HostedRoomLink(*this, parent);
    case OpenMode::Join:
        return new JoinedRoomLink(*this, parent);
    }
    return nullptr;
}

bool TcpTransport::mapsPorts() const {
    using Use = SessionConfig::PortMappingUse;
    return m_config.portMapping == Use::Always ||
           (m_config.portMapping == Use::OnInternet && m_kind == Connection::Kind::Internet);
}

void TcpTransport::adoptHostThread(QThread* thread) {
    m_hostThreads.removeIf([](const QPointer<QThread>& t) { return t.isNull(); });
    m_hostThreads.append(thread);
}

} // namespace session
