#include "FakeSessionService.h"

#include <QApplication>
#include <QCursor>

using namespace Qt::StringLiterals;

namespace {

platform::Failure<session::Error> failed(const session::Error& error) {
    return platform::Failure<session::Error>{error};
}

} // namespace

QList<FakeSessionService::HostedRoom>& FakeSessionService::network() {
    static QList<HostedRoom> rooms;
    return rooms;
}

session::Result<session::OneBasedList<session::Connection>> FakeSessionService::listConnections() {
    if (failListConnections) {
        return session::failure(1, u"no connections today"_s);
    }
    return session::OneBasedList<session::Connection>(connections);
}

session::Status FakeSessionService::initialize(const session::Connection& connection) {
    if (initialized) {
        return session::failure(session::kErrorAlreadyInitialized, u"already initialised"_s);
    }
    if (initializeError) {
        return failed(*initializeError);
    }
    if (connection.kind == session::Connection::Kind::Internet) {
        promptedAddress = addressPrompt() ? addressPrompt()() : std::nullopt;
        if (!promptedAddress) {
            return session::failure(2, u"no address"_s);
        }
    }
    initialized = true;
    return {};
}

session::Result<session::OneBasedList<session::RoomDescription>>
FakeSessionService::listRooms(const session::RoomDescription& query, int) {
    listedWithPasswords.append(query.password);
    const QCursor* cursor = QApplication::overrideCursor();
    cursorWhileListing.append(cursor != nullptr ? cursor->shape() : Qt::ArrowCursor);
    if (listRoomsError) {
        return failed(*listRoomsError);
    }
    QList<session::RoomDescription> found;
    for (const HostedRoom& room : network()) {
        if (room.description.applicationId == query.applicationId &&
            (room.description.password.isEmpty() || room.description.password == query.password)) {
            session::RoomDescription listed = room.description;
            listed.password.clear();
            found.append(listed);
        }
    }
    return session::OneBasedList<session::RoomDescription>(found);
}

session::Status FakeSessionService::openRoom(const session::RoomDescription& room, session::OpenMode mode) {
    if (mode == session::OpenMode::CreateAndHost) {
        network().append(HostedRoom{this, room});
        return {};
    }
    for (const HostedRoom& hosted : network()) {
        if (hosted.description.name == room.name && hosted.description.password == room.password) {
            return {};
        }
    }
    return session::failure(3, u"cannot join"_s);
}

session::Result<session::PlayerId> FakeSessionService::createLocalPlayer(const QString& name, const QString& secondName,
                                                                         qint32, qint32) {
    playerNames.append(name);
    secondNames.append(secondName);
    if (createPlayerError) {
        return failed(*createPlayerError);
    }
    return m_nextPlayer++;
}

session::Status FakeSessionService::destroyPlayer(session::PlayerId) {
    ++destroyCalls;
    if (destroyPlayerError) {
        return failed(*destroyPlayerError);
    }
    return {};
}

session::Result<session::OneBasedList<session::PlayerEntry>> FakeSessionService::listPlayers() {
    return session::OneBasedList<session::PlayerEntry>();
}

session::Result<QString> FakeSessionService::playerName(session::PlayerId) {
    return QString();
}

session::Result<int> FakeSessionService::waitingMessageCount(session::PlayerId) {
    return 0;
}

session::Result<session::ReceivedMessage> FakeSessionService::receive() {
    return session::failure(4, u"nothing waits"_s);
}

session::Status FakeSessionService::send(session::PlayerId, session::PlayerId, const session::Message&) {
    return {};
}

void FakeSessionService::close() {
    ++closeCalls;
    network().removeIf([this](const HostedRoom& room) { return room.host == this; });
    dropEventReceivers();
}

FakeSessionService::~FakeSessionService() {
    network().removeIf([this](const HostedRoom& room) { return room.host == this; });
}
