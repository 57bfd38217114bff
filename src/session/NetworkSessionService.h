#pragma once

#include "session/SessionConfig.h"
#include "session/SessionService.h"

#include <chrono>
#include <functional>
#include <memory>

namespace session {

class RoomHost;

// The session service over Qt Network: rooms are hosted by the copy that creates
// them (TCP for room traffic, UDP broadcast for LAN discovery), members connect to
// the host, and the host relays. See docs/protocol.md for the wire.
//
// Every call runs on the thread that owns the object. listRooms(), openRoom() in
// join mode and createLocalPlayer() while joined wait for the network in a local
// event loop; a second waiting call made meanwhile (re-entrancy) fails at once.
// Closing or even destroying the service from inside such a wait is allowed: the
// waiting call then returns an error without touching the service again.
class NetworkSessionService : public SessionService {
    Q_OBJECT

public:
    explicit NetworkSessionService(SessionConfig config = {}, QObject* parent = nullptr);
    ~NetworkSessionService() override;

    Result<OneBasedList<Connection>> listConnections() override;
    Status initialize(const Connection& connection) override;
    Result<OneBasedList<RoomDescription>> listRooms(const RoomDescription& query, int timeoutMs) override;
    Status openRoom(const RoomDescription& room, OpenMode mode) override;
    Result<PlayerId> createLocalPlayer(const QString& name, const QString& secondName, qint32 eventHandle,
                                       qint32 flags) override;
    Status destroyPlayer(PlayerId id) override;
    Result<OneBasedList<PlayerEntry>> listPlayers() override;
    Result<QString> playerName(PlayerId id) override;
    Result<int> waitingMessageCount(PlayerId localPlayer) override;
    Result<ReceivedMessage> receive() override;
    Status send(PlayerId from, PlayerId to, const Message& message) override;
    void close() override;

    // The TCP port this copy's room listens on while hosting, 0 otherwise.
    quint16 hostingPort() const override;
    PortMappingState portMapping() const override;
    // True once the room has ended for this copy as a member: its host went and no
    // member could take it over (or it could not come back within the grace period).
    bool roomEnded() const;

private:
    struct Impl;

    // Runs a local event loop until done() or the time-out; false on time-out or when
    // the service was closed meanwhile.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Raises the event for one queued message, or keeps it until a waiting call ends.
    void notify();
    void onPlayerLeft(PlayerId id);
    void onDelivered(PlayerId from, PlayerId to, quint32 seq, const QByteArray& payload);
    // Starts relaying with `host` (on a thread of its own unless configured otherwise).
    void attachHost(RoomHost* host);
    // Takes what the host has handed to this copy's player since the last call.
    void takeHostEvents();
    // Migration: the room's host is gone; try the candidates in turn, or host the room.
    void onHostGone(PlayerId oldHost);
    void tryNextCandidate();
    bool takeOver();
    void giveBackLinesToOldHost();
    void onHostLost();

    std::unique_ptr<Impl> d;
};

} // namespace session
