#pragma once

#include "session/SessionService.h"

#include <QList>
#include <QString>
#include <optional>

// An in-memory session service. Every instance shares one pretend network, so rooms
// hosted by one fake are listed and joined by the others, and vanish when their host
// closes.
class FakeSessionService : public session::SessionService {
    Q_OBJECT

public:
    struct HostedRoom {
        const FakeSessionService* host = nullptr;
        session::RoomDescription description;
    };

    // Knobs, set before the wizard uses the service.
    QList<session::Connection> connections{{session::Connection::Kind::Lan, QStringLiteral("LAN 接続")},
                                           {session::Connection::Kind::Internet, QStringLiteral("インターネット接続")}};
    bool failListConnections = false;
    std::optional<session::Error> initializeError;
    std::optional<session::Error> listRoomsError;
    std::optional<session::Error> createPlayerError;
    std::optional<session::Error> destroyPlayerError;

    // What happened.
    QList<QString> listedWithPasswords;
    QList<Qt::CursorShape> cursorWhileListing;
    std::optional<QString> promptedAddress;
    QList<QString> playerNames;
    QList<QString> secondNames;
    int destroyCalls = 0;
    int closeCalls = 0;
    bool initialized = false;

    static QList<HostedRoom>& network();

    session::Result<session::OneBasedList<session::Connection>> listConnections() override;
    session::Status initialize(const session::Connection& connection) override;
    session::Result<session::OneBasedList<session::RoomDescription>> listRooms(const session::RoomDescription& query,
                                                                               int timeoutMs) override;
    session::Status openRoom(const session::RoomDescription& room, session::OpenMode mode) override;
    session::Result<session::PlayerId> createLocalPlayer(const QString& name, const QString& secondName,
                                                         qint32 eventHandle, qint32 flags) override;
    session::Status destroyPlayer(session::PlayerId id) override;
    session::Result<session::OneBasedList<session::PlayerEntry>> listPlayers() override;
    session::Result<QString> playerName(session::PlayerId id) override;
    session::Result<int> waitingMessageCount(session::PlayerId localPlayer) override;
    session::Result<session::ReceivedMessage> receive() override;
    session::Status send(session::PlayerId from, session::PlayerId to, const session::Message& message) override;
    void close() override;
    ~FakeSessionService() override;

private:
    session::PlayerId m_nextPlayer = 100;
};
