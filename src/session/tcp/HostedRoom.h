#pragma once

#include "session/RoomTransport.h"
#include "session/host/RoomHost.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
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
    // A line of the local player's that the old host had not acknowledged.
    struct Resend {
        PlayerId to = 0;
        quint32 seq = 0;
        QByteArray payload;
    };
    // Hosts a room whose host went, from what this copy knew of it as a member, on its
    // standby listener, and sends `resends` again for whoever missed them. `started`
    // runs once the new host listens, before it relays anything.
    //
    // One room has one host. Should none of the members the room had come here in
    // time, this copy asks at their endpoints whether one of them hosts the room: if
    // so, the others have gone on without this copy (it was cut off from them), and the
    // room ends here, what was sent since coming back undelivered. If not, they are
    // gone or still on their way, and it asks again after the same time, as long as
    // none has come.
    //
    // So does a copy that hosted the room from the start and finds that it was stopped
    // (or hung) long enough for its members to take it for gone: they may have moved to
    // a successor, and then the room ends here too. Where nobody answers as the room's
    // host, it goes on.
    Status takeOver(const RoomHost::Settings& settings, const RoomSnapshot& snapshot, RoomListener* standby,
                    const QList<Resend>& resends, const std::function<void()>& started);

    void createPlayer(const QString& name, const QString& secondName) override;
    bool answersAtOnce() const override { return true; }
    void destroyPlayer() override;
    bool reportsWithoutPlayer() const override { return true; }
    Status send(PlayerId to, const QByteArray& payload) override;
    Status sendFilePart(PlayerId to, const QByteArray& part) override;
    bool carriesFiles() const override { return true; }
    void taken(qint64 bytes) override;
    void setHistoryObeysSysclear(bool obeys) override;
    void leave() override;
    quint16 hostingPort() const override { return m_port; }
    PortMappingState portMapping() const override;
    RoomKeyInfo roomKey() const override;

private:
    // Starts relaying with `host` on its thread, and the port mapping.
    void attach(RoomHost* host);
    // Takes what the host has handed to this copy's player since the last call.
    void takeHostEvents();
    // Stops the host and releases the port mapping; the link stays.
    void stopHosting();
    // After a takeover: a member of the room is here; or none came in time.
    void confirm();
    void lookForTheRoomElsewhere();
    // Looks at the clock: a tick that comes far too late means this copy stood still.
    void onWatchTick();
    void endRoomHostedElsewhere();

    TcpTransport& m_transport;
    QPointer<RoomHost> m_host;
    quint16 m_port = 0;
    std::shared_ptr<HostInbox> m_inbox;
    std::vector<HostEvent> m_spareEvents;
    QByteArray m_spareLines;
    // Asks the router to forward the room's port; gone with the room.
    std::unique_ptr<PortMapping> m_mapping;
    // After a takeover, until a member of the room is here: the lines sent meanwhile,
    // and how long the members have to find this copy.
    bool m_unconfirmed = false;
    QList<std::pair<PlayerId, QByteArray>> m_held;
    QTimer m_loneTimer;
    // Where the room might be hosted instead: the members' endpoints, and what a host
    // of the room proves.
    RoomHost::Settings m_settings;
    QString m_keyNotice;
    QByteArray m_roomSecret;
    QList<Endpoint> m_elsewhere;
    int m_asking = 0;
    QTimer m_watch;
    QElapsedTimer m_lastTick;
};

} // namespace session
