#pragma once

#include "session/SessionConfig.h"
#include "session/SessionService.h"

#include <chrono>
#include <functional>
#include <memory>

namespace session {

class RoomLink;

// The session service: the local player's queue, the player list and the events, over
// a room transport (RoomTransport.h). The LAN and Internet connections carry rooms over
// TCP (tcp/): rooms are hosted by the copy that creates them, found by UDP broadcast
// or by asking a host, members connect to the host, and the host relays. See
// docs/protocol.md for the wire.
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
    Status sendFilePart(PlayerId to, const QByteArray& part) override;
    bool carriesFiles() const override;
    void setHistoryObeysSysclear(bool obeys) override;
    void close() override;

    // The TCP port this copy's room listens on while hosting, 0 otherwise.
    quint16 hostingPort() const override;
    PortMappingState portMapping() const override;
    QString roomFingerprint() const override;
    QString takeKeyNotice() override;
    QString rememberedFingerprint(const QString& roomName) const override;
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
    // The key the opened `link` knows: remembered per room name at a join, after the
    // caller's check; a failure when the caller declined it.
    Status checkRoomKey(RoomLink* link, OpenMode mode, const QString& listedName);
    // Takes `link`'s reports from now on: the room it has opened, or goes on in.
    void follow(RoomLink* link);
    void onPlayerJoined(PlayerId id, const QString& name);
    void onPlayerLeft(PlayerId id);
    void onRecordsMissed(quint64 count);
    void onDelivered(PlayerId from, PlayerId to, quint32 seq, const QByteArray& payload);
    void onUndelivered(PlayerId to, const QByteArray& payload);
    void onHistory(const QList<HistoryLine>& lines);
    void onHandedOver(RoomLink* next);
    // The room is gone for this copy (its link says so, or it stopped answering).
    void onRoomEnded();

    std::unique_ptr<Impl> d;
};

} // namespace session
