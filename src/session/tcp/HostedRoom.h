#pragma once

#include "session/RoomTransport.h"
#include "session/host/RoomHost.h"

#include <QPointer>
#include <functional>
#include <memory>
#include <vector>

namespace session {

class HostInbox;
class PortMapping;
class RoomListener;
class TcpTransport;
struct HostEvent;

// A room this copy hosts over TCP. The RoomHost relays on a thread of its own, so
// members never wait for this copy's own player (its window, sounds or output); what
// it hands to that player comes over to the link's thread in batches.
class HostedRoomLink : public RoomLink {
    Q_OBJECT

public:
    HostedRoomLink(TcpTransport& transport, QObject* parent);
    ~HostedRoomLink() override;

    void open(const RoomDescription& room, OpenMode mode) override;
    // Hosts a room whose host went, from what this copy knew of it as a member, on its
    // standby listener. `first` runs with the new host before it relays anything (to
    // send again what the old host had not acknowledged).
    Status takeOver(const RoomHost::Settings& settings, const RoomSnapshot& snapshot, RoomListener* standby,
                    const std::function<void(RoomHost&)>& first);

    void createPlayer(const QString& name, const QString& secondName) override;
    bool answersAtOnce() const override { return true; }
    void destroyPlayer() override;
    bool reportsWithoutPlayer() const override { return true; }
    Status send(PlayerId to, const QByteArray& payload) override;
    void taken(qint64 bytes) override;
    void leave() override;
    quint16 hostingPort() const override { return m_port; }
    PortMappingState portMapping() const override;

private:
    // Starts relaying with `host` on its thread, and the port mapping.
    void attach(RoomHost* host);
    // Takes what the host has handed to this copy's player since the last call.
    void takeHostEvents();

    TcpTransport& m_transport;
    QPointer<RoomHost> m_host;
    quint16 m_port = 0;
    std::shared_ptr<HostInbox> m_inbox;
    std::vector<HostEvent> m_spareEvents;
    // Asks the router to forward the room's port; gone with the room.
    std::unique_ptr<PortMapping> m_mapping;
};

} // namespace session
