#pragma once

#include "common/ChildProcess.h"
#include "common/LoopbackSession.h"
#include "common/TestSupport.h"
#include "session/NetworkSessionService.h"
#include "session/SessionErrors.h"

#include <QCoreApplication>
#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

namespace sessiontest {

using namespace session;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using testsupport::freeTcpPort;
using testsupport::loopbackConfig;

inline QString appId() {
    return QString::fromUtf16(kApplicationId);
}
inline RoomDescription describe(const QString& name, const QString& password = {}, qint32 attribute = 0) {
    RoomDescription room;
    room.applicationId = appId();
    room.name = name;
    room.password = password;
    room.numericAttribute = attribute;
    return room;
}

// One copy of the program as the chat window uses the service: one event, one
// receive; every message becomes a line of `log` ("join 2 name", "leave 2", "unreadable 2>0",
// "pub 2>0 text", "priv 2>3 text", "undelivered 2>0 text").
struct TestCopy {
    explicit TestCopy(const SessionConfig& config) : service(std::make_unique<NetworkSessionService>(config)) {
        handle = service->registerEventReceiver(&context, [this](qint32) { onEvent(); });
        QObject::connect(service.get(), &SessionService::filePartReceived, &context,
                         [this](PlayerId from, const QByteArray& part) {
                             fileParts.append({from, part});
                         });
        EXPECT_TRUE(service->initialize(service->listConnections().value().item(1).value()).ok());
    }

    void onEvent() {
        ++events;
        const Result<int> waiting = service->waitingMessageCount(id);
        if (!waiting.ok() || *waiting == 0) {
            ++emptyEvents;
            return;
        }
        Result<ReceivedMessage> received = service->receive();
        ASSERT_TRUE(received.ok());
        Message message = received->message;
        const Result<qint32> read = message.readInt32();
        if (!read.ok()) {
            return log.append(u"unreadable %1>%2"_s.arg(received->from).arg(received->to));
        }
        const qint32 type = *read;
        if (received->from != kSystemSender) {
            const QString kind = received->undelivered ? u"undelivered"_s
                                 : received->history   ? u"hist"_s
                                 : type == 0           ? u"pub"_s
                                                       : u"priv"_s;
            return log.append(
                u"%1 %2>%3 %4"_s.arg(kind).arg(received->from).arg(received->to).arg(message.readString().value()));
        }
        EXPECT_EQ(message.readInt32().value(), kPlayerTypePlayer);
        const PlayerId player = message.readInt32().value();
        log.append(type == kSystemPlayerJoined
                       ? u"join %1 %2"_s.arg(player).arg(service->playerName(player).valueOr({}))
                       : u"leave %1"_s.arg(player));
    }

    Status host(const QString& room, const QString& password = {}) {
        return service->openRoom(describe(room, password, 4), OpenMode::CreateAndHost);
    }
    // Lists with `password`, joins the room called `room` with the same password.
    Status join(const QString& room, const QString& password = {}) {
        const auto rooms = service->listRooms(describe({}, password), 0);
        const OneBasedList<RoomDescription> listed = rooms.valueOr({});
        for (RoomDescription found : listed.items()) {
            if (found.name == room) {
                found.password = password;
                return service->openRoom(found, OpenMode::Join);
            }
        }
        return rooms.ok() ? failure(1, u"room not listed"_s) : platform::Failure<Error>{rooms.error()};
    }
    PlayerId createPlayer(const QString& name) {
        const Result<PlayerId> created = service->createLocalPlayer(name, u"Player"_s, handle, 0);
        EXPECT_TRUE(created.ok()) << (created.ok() ? QString() : created.error().description).toStdString();
        return id = created.valueOr(0);
    }
    // Hosts, or joins, the room "room" as the player `name`: its id, 0 when either step
    // failed. A host process just started may not answer yet: joinWhenListed waits.
    PlayerId hostAs(const QString& name, const QString& password = {}) {
        return host(u"room"_s, password).ok() ? createPlayer(name) : 0;
    }
    PlayerId joinAs(const QString& name, const QString& password = {}) {
        return join(u"room"_s, password).ok() ? createPlayer(name) : 0;
    }
    PlayerId joinWhenListed(const QString& name) {
        return testsupport::waitUntil([&] { return join(u"room"_s).ok(); }, 10s) ? createPlayer(name) : 0;
    }

    Status say(PlayerId to, const QString& text) {
        Message message;
        message.writeInt32(to == kEveryone ? 0 : 1);
        message.writeString(text);
        return service->send(id, to, message);
    }

    std::unique_ptr<NetworkSessionService> service;
    QObject context;
    qint32 handle = 0;
    PlayerId id = 0;
    QStringList log;
    QList<std::pair<PlayerId, QByteArray>> fileParts;
    int events = 0;
    int emptyEvents = 0;
};

inline bool waitForLog(const TestCopy& copy, int lines, std::chrono::milliseconds timeout = 5s) {
    return testsupport::waitUntil([&] { return copy.log.size() >= lines; }, timeout);
}

inline bool logShows(const TestCopy& copy, const QString& line) {
    return testsupport::waitUntil([&] { return copy.log.contains(line); });
}

// The failure code of a call that must fail (0 when it succeeded).
template <typename T>
quint32 errorCode(const Result<T>& result) {
    return result.ok() ? 0u : result.error().code;
}

// A copy of the headless client (found beside the test executable) that hosts or
// joins the room "room" on `config`'s ports as `name`, for the tests that kill
// processes or read the host's memory: it prints the chat log and says what is typed.
inline std::unique_ptr<testsupport::ChildProcess> startRoomTool(const QString& command, const SessionConfig& config,
                                                                const QString& name) {
    return std::make_unique<testsupport::ChildProcess>(
        QCoreApplication::applicationDirPath() + u"/mirelune-room"_s,
        QStringList{command, u"room"_s, u"--name"_s, name, u"--loopback-only"_s, u"--discovery-port"_s,
                    QString::number(config.discoveryPort), u"--host-port"_s, QString::number(config.firstHostPort),
                    u"--grace-ms"_s, QString::number(config.resumeGrace.count())});
}

} // namespace sessiontest
