#pragma once

#include "session/RoomTransport.h"
#include "session/SessionConfig.h"
#include "session/wire/DiscoveryDatagram.h"

#include <QList>
#include <QPointer>

class QThread;

namespace session {

// Rooms hosted by a copy over TCP and found by UDP broadcast (the LAN connection) or
// by asking one host (the Internet connection). Its links host a room here
// (HostedRoomLink) or join one elsewhere (JoinedRoomLink, which hosts it here in turn
// when the room's host went and this copy is next).
class TcpTransport : public RoomTransport {
public:
    explicit TcpTransport(const SessionConfig& config) : m_config(config) {}
    // Waits a moment for the rooms that are still saying goodbye on their threads.
    ~TcpTransport() override;

    // The connection listings and new rooms go through: for the Internet, the host
    // asked (port 0: every port of the room range).
    void setConnection(Connection::Kind kind, HostAndPort internetHost = {});

    RoomListing* listRooms(const RoomDescription& query, int timeoutMs, std::chrono::milliseconds& limit,
                           QObject* parent) override;
    RoomLink* newLink(OpenMode mode, QObject* parent) override;

    const SessionConfig& config() const { return m_config; }
    bool onLan() const { return m_kind == Connection::Kind::Lan; }
    // Whether a room hosted here asks the router to forward its port.
    bool mapsPorts() const;
    // Keeps `thread` (a hosted room's) until it ends; see the destructor.
    void adoptHostThread(QThread* thread);

private:
    SessionConfig m_config;
    Connection::Kind m_kind = Connection::Kind::Lan;
    HostAndPort m_internetHost;
    QList<QPointer<QThread>> m_hostThreads;
};

} // namespace session
