#pragma once

#include "common/LoopbackSession.h"
#include "common/TestSupport.h"
#include "session/NetworkSessionService.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

namespace sessiontest {

using namespace session;
using namespace std::chrono_literals;
using testsupport::freeTcpPort;
using testsupport::loopbackConfig;

inline QString appId() {
    return QString::fromUtf16(kApplicationId);
}

// One copy of the program as the chat window uses the service: one event, one
// receive; every message becomes a line of `log`.
struct TestCopy {
    explicit TestCopy(const SessionConfig& config) : service(std::make_unique<NetworkSessionService>(config)) {
        handle = service->registerEventReceiver(&context, [this](qint32) { onEvent(); });
        const Status initialized = service->initialize(service->listConnections().value().item(1).value());
        EXPECT_TRUE(initialized.ok());
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
        if (received->from == kSystemSender) {
            const qint32 type = message.readInt32().value();
            EXPECT_EQ(message.readInt32().value(), kPlayerTypePlayer);
            const PlayerId player = message.readInt32().value();
            if (type == kSystemPlayerJoined) {
                log.append(QStringLiteral("join %1 %2").arg(player).arg(service->playerName(player).valueOr({})));
            } else {
                log.append(QStringLiteral("leave %1").arg(player));
            }
        } else {
            const qint32 kind = message.readInt32().value();
            log.append(QStringLiteral("%1 %2>%3 %4")
                           .arg(kind == 0 ? QStringLiteral("pub") : QStringLiteral("priv"))
                           .arg(received->from)
                           .arg(received->to)
                           .arg(message.readString().value()));
        }
    }

    Status host(const QString& room, const QString& password = {}) {
        RoomDescription description;
        description.applicationId = appId();
        description.name = room;
        description.password = password;
        description.numericAttribute = 4;
        return service->openRoom(description, OpenMode::CreateAndHost);
    }

    // Lists with `password`, joins the room called `room` with the same password.
    Status join(const QString& room, const QString& password = {}) {
        RoomDescription query;
        query.applicationId = appId();
        query.password = password;
        const auto rooms = service->listRooms(query, 0);
        if (!rooms) {
            return platform::Failure<Error>{rooms.error()};
        }
        for (RoomDescription found : rooms->items()) {
            if (found.name == room) {
                found.password = password;
                return service->openRoom(found, OpenMode::Join);
            }
        }
        return failure(1, QStringLiteral("room not listed"));
    }

    PlayerId createPlayer(const QString& name) {
        const Result<PlayerId> created = service->createLocalPlayer(name, QStringLiteral("Player"), handle, 0);
        EXPECT_TRUE(created.ok()) << (created.ok() ? QString() : created.error().description).toStdString();
        id = created.valueOr(0);
        return id;
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
    int events = 0;
    int emptyEvents = 0;
};

inline bool waitForLog(const TestCopy& copy, int lines, std::chrono::milliseconds timeout = 5s) {
    return testsupport::waitUntil([&] { return copy.log.size() >= lines; }, timeout);
}

} // namespace sessiontest
