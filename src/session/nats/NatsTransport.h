#pragma once

#include "session/RoomTransport.h"
#include "session/SessionConfig.h"

#include <QStringList>

namespace session {

// Rooms that live on a NATS cluster with JetStream rather than on any copy: listed
// from the cluster's room registry, each carried by a stream of its own
// (NatsRoomLink). docs/protocol.md describes what is on the cluster.
class NatsTransport : public RoomTransport {
public:
    explicit NatsTransport(const SessionConfig& config) : m_config(config) {}

    // The servers to talk to (nats://host:port each); the client finds the rest of
    // the cluster from them.
    void setServers(QStringList servers) { m_servers = std::move(servers); }

    RoomListing* listRooms(const RoomDescription& query, int timeoutMs, std::chrono::milliseconds& limit,
                           QObject* parent) override;
    RoomLink* newLink(OpenMode mode, QObject* parent) override;

private:
    SessionConfig m_config;
    QStringList m_servers;
};

} // namespace session
