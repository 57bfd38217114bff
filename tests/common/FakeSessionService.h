#pragma once

#include "common/TestSupport.h"
#include "session/SessionErrors.h"
#include "session/SessionService.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace testsupport {

// An in-memory session service. All instances share one pretend network: rooms hosted
// by one are listed and joined by the others and vanish when their host closes. The
// members are a fixed list, messages for the local player wait in `queue`, everything
// sent is recorded in `sent`, and every call can be made to fail.
class FakeSessionService : public session::SessionService {
public:
    using Error = std::optional<session::Error>;
    struct HostedRoom {
        const FakeSessionService* host;
        session::RoomDescription description;
    };
    struct Sent {
        session::PlayerId from, to;
        qint32 kind;
        QString text;
    };

    QList<session::Connection> connections{{session::Connection::Kind::Lan, QStringLiteral("LAN 接続")},
                                           {session::Connection::Kind::Internet, QStringLiteral("インターネット接続")}};
    QList<session::PlayerEntry> players;
    QStringList takenNames; // handle names the room refuses
    Error listConnectionsError, listRoomsError, createPlayerError, destroyPlayerError, listError, sendError;
    std::function<void()> whileListing; // runs inside every listing
    quint16 port = 0;                   // the room's port while hosting
    quint16 hostingPort() const override { return port; }
    session::PortMappingState mapping; // the router's answer, announced by portMappingChanged
    session::PortMappingState portMapping() const override { return mapping; }

    bool initialized = false;
    std::optional<QString> promptedAddress;
    qint32 eventHandle = 0;
    QList<session::ReceivedMessage> queue;
    QList<Sent> sent;
    int receiveCalls = 0, listPlayersCalls = 0;

    static QList<HostedRoom>& network() {
        static QList<HostedRoom> rooms;
        return rooms;
    }
    ~FakeSessionService() override { close(); }

    // Queues a message for the local player and raises its event.
    void deliver(session::PlayerId from, const session::Message& message, session::PlayerId to = session::kEveryone) {
        queue.append(session::ReceivedMessage{from, to, message});
        raiseEvent(eventHandle);
    }
    void deliverChat(session::PlayerId from, qint32 kind, const QString& text,
                     session::PlayerId to = session::kEveryone) {
        session::Message message;
        message.writeInt32(kind);
        message.writeString(text);
        deliver(from, message, to);
    }
    // A line of the room's history, as a joining member is given it.
    void deliverHistory(session::PlayerId from, const QString& name, const QString& text) {
        session::Message message;
        message.writeInt32(0);
        message.writeString(text);
        queue.append(session::ReceivedMessage{from, session::kEveryone, message, false, true, name});
        raiseEvent(eventHandle);
    }
    void deliverSystem(qint32 type, session::PlayerId player) {
        session::Message message;
        for (const qint32 value : {type, session::kPlayerTypePlayer, player})
            message.writeInt32(value);
        deliver(session::kSystemSender, message);
    }

    session::Result<session::OneBasedList<session::Connection>> listConnections() override {
        if (listConnectionsError)
            return failed(listConnectionsError);
        return session::OneBasedList<session::Connection>(connections);
    }
    session::Status initialize(const session::Connection& connection) override {
        if (initialized)
            return session::failure(session::kErrorAlreadyInitialized, QStringLiteral("already initialised"));
        if (connection.kind == session::Connection::Kind::Internet) {
            promptedAddress = addressPrompt() ? addressPrompt()() : std::nullopt;
            if (!promptedAddress)
                return session::failure(2, QStringLiteral("no address"));
        }
        initialized = true;
        return {};
    }
    session::Result<session::OneBasedList<session::RoomDescription>> listRooms(const session::RoomDescription& query,
                                                                               int) override {
        if (whileListing)
            whileListing();
        if (listRoomsError)
            return failed(listRoomsError);
        QList<session::RoomDescription> found;
        for (HostedRoom room : network())
            if (room.description.applicationId == query.applicationId &&
                (room.description.password.isEmpty() || room.description.password == query.password)) {
                room.description.password.clear();
                found.append(room.description);
            }
        return session::OneBasedList<session::RoomDescription>(found);
    }
    session::Status openRoom(const session::RoomDescription& room, session::OpenMode mode) override {
        if (mode == session::OpenMode::CreateAndHost) {
            network().append(HostedRoom{this, room});
            return {};
        }
        for (const HostedRoom& hosted : network())
            if (hosted.description.name == room.name && hosted.description.password == room.password)
                return {};
        return session::failure(3, QStringLiteral("cannot join"));
    }
    session::Result<session::PlayerId> createLocalPlayer(const QString& name, const QString&, qint32 handle,
                                                         qint32) override {
        if (createPlayerError)
            return failed(createPlayerError);
        if (takenNames.contains(name))
            return session::failure(session::kErrorInvalidName, QStringLiteral("the handle name is not allowed"));
        eventHandle = handle;
        return m_nextPlayer++;
    }
    session::Status destroyPlayer(session::PlayerId) override {
        if (destroyPlayerError)
            return failed(destroyPlayerError);
        return {};
    }
    session::Result<session::OneBasedList<session::PlayerEntry>> listPlayers() override {
        ++listPlayersCalls;
        if (listError)
            return failed(listError);
        return session::OneBasedList<session::PlayerEntry>(players);
    }
    session::Result<QString> playerName(session::PlayerId id) override {
        for (const session::PlayerEntry& player : std::as_const(players))
            if (player.id == id)
                return player.name;
        return session::failure(session::kErrorInvalidPlayer, QStringLiteral("invalid player"));
    }
    session::Result<int> waitingMessageCount(session::PlayerId) override { return static_cast<int>(queue.size()); }
    session::Result<session::ReceivedMessage> receive() override {
        ++receiveCalls;
        if (queue.isEmpty())
            return session::failure(0x887700c8u, QStringLiteral("no message"));
        return queue.takeFirst();
    }
    session::Status send(session::PlayerId from, session::PlayerId to, const session::Message& message) override {
        if (sendError)
            return failed(sendError);
        session::Message copy(message.payload());
        const qint32 kind = copy.readInt32().valueOr(-1);
        sent.append(Sent{from, to, kind, copy.readString().valueOr(QString())});
        return {};
    }
    // A room that carries files records every part sent.
    bool files = false;
    QList<std::pair<session::PlayerId, QByteArray>> sentParts;
    bool carriesFiles() const override { return files; }
    session::Status sendFilePart(session::PlayerId to, const QByteArray& part) override {
        if (!files)
            return SessionService::sendFilePart(to, part);
        sentParts.append({to, part});
        return {};
    }
    void close() override {
        network().removeIf([this](const HostedRoom& room) { return room.host == this; });
        dropEventReceivers();
    }

private:
    static platform::Failure<session::Error> failed(const Error& error) { return {*error}; }
    session::PlayerId m_nextPlayer = 1;
};

} // namespace testsupport
