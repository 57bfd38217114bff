// Several copies of the chat core in one process, each with its own real session
// service, in a room on loopback.
#include "FakeSessionService.h"
#include "chat/ChatController.h"
#include "common/TestSupport.h"
#include "session/NetworkSessionService.h"

#include <QTcpServer>
#include <QUdpSocket>
#include <gtest/gtest.h>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

quint16 freeUdpPort() {
    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    return socket.localPort();
}

quint16 freeTcpPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

session::SessionConfig loopbackConfig() {
    session::SessionConfig config;
    config.discoveryPort = freeUdpPort();
    config.firstHostPort = freeTcpPort();
    config.lastHostPort = config.firstHostPort;
    config.loopbackDiscoveryOnly = true;
    config.listQuietPeriod = std::chrono::milliseconds(100);
    return config;
}

const QString kRoom = u"雑談部屋"_s;

struct Copy {
    explicit Copy(const session::SessionConfig& config) : service(config) {}

    // Hosts the room (joinExisting false) or joins it, and creates the player.
    bool enter(const QString& name, bool joinExisting) {
        const auto connections = service.listConnections();
        if (!connections || !service.initialize(connections->item(1).value())) {
            return false;
        }
        session::RoomDescription room;
        room.applicationId = QString::fromUtf16(session::kApplicationId);
        room.name = kRoom;
        if (joinExisting) {
            const auto rooms = service.listRooms(room, 0);
            if (!rooms || rooms->count() != 1) {
                return false;
            }
            room = rooms->items().first();
        }
        if (!service.openRoom(room, joinExisting ? session::OpenMode::Join : session::OpenMode::CreateAndHost)) {
            return false;
        }
        const auto id = service.createLocalPlayer(name, QString(), controller.registerForEvents(), 0);
        if (!id) {
            return false;
        }
        controller.setLocalPlayer(*id, name);
        controller.UpdateRoster();
        return true;
    }

    QStringList rosterNames() const {
        QStringList names;
        for (const session::PlayerEntry& entry : controller.roster().entries()) {
            names.append(entry.name);
        }
        return names;
    }

    int indexOf(const QString& name) const { return static_cast<int>(rosterNames().indexOf(name)); }
    const QString& log() const { return controller.log().text(); }

    session::NetworkSessionService service;
    chattest::RecordingSounds sounds;
    chattest::RecordingView view;
    chat::ChatController controller{service, sounds, view};
};

bool logEndsWith(const Copy& copy, const QString& tail) {
    return testsupport::waitUntil([&] { return copy.log().endsWith(tail); });
}

TEST(RoomOverLoopback, CopiesChatWithScriptsJoinsAndLeaves) {
    const session::SessionConfig config = loopbackConfig();
    Copy alice(config);
    Copy bob(config);
    ASSERT_TRUE(alice.enter(u"Alice"_s, false));
    ASSERT_TRUE(bob.enter(u"Bob"_s, true));
    ASSERT_TRUE(logEndsWith(alice, u"Bob さんが参加しました\r\n"_s));
    EXPECT_EQ(bob.rosterNames(), (QStringList{u"Alice"_s, u"Bob"_s}));

    alice.controller.cmdSend_Click(u"こんにちは\n二行目"_s);
    ASSERT_TRUE(logEndsWith(bob, u"Alice> こんにちは\r\n二行目\r\n"_s));
    bob.controller.lstRoster_Click(bob.indexOf(u"Alice"_s));
    bob.controller.cmdWhisper_Click(u"@S2;psst"_s);
    ASSERT_TRUE(logEndsWith(alice, u"Bob> (psst)\r\n"_s));
    EXPECT_TRUE(bob.log().endsWith(u"Bob to Alice> psst\r\n"_s));
    EXPECT_EQ(alice.sounds.played, (QStringList{u"join"_s, u"message"_s, u"sound 2"_s}));
    EXPECT_EQ(bob.sounds.played, (QStringList{u"message"_s, u"sound 2"_s}));

    auto carol = std::make_unique<Copy>(config);
    ASSERT_TRUE(carol->enter(u"Carol"_s, true));
    const QStringList everybody{u"Alice"_s, u"Bob"_s, u"Carol"_s};
    ASSERT_TRUE(logEndsWith(bob, u"Carol さんが参加しました\r\n"_s));
    ASSERT_TRUE(logEndsWith(alice, u"Carol さんが参加しました\r\n"_s));
    EXPECT_EQ(alice.rosterNames(), everybody);
    EXPECT_EQ(carol->rosterNames(), everybody);

    // Carol's "@del;" takes her last line everywhere, then Bob's "@clear;" his.
    carol->controller.cmdSend_Click(u"c1"_s);
    ASSERT_TRUE(logEndsWith(bob, u"Carol> c1\r\n"_s));
    carol->controller.cmdSend_Click(u"@del;"_s);
    for (const Copy* copy : {&alice, &bob, carol.get()}) {
        ASSERT_TRUE(testsupport::waitUntil([&] { return !copy->log().contains(u"> c1"_s); }));
    }
    bob.controller.cmdSend_Click(u"@clear;"_s);
    for (const Copy* copy : {&alice, &bob, carol.get()}) {
        ASSERT_TRUE(logEndsWith(*copy, u"Bob さんはログを消去しました\r\n"_s));
        EXPECT_FALSE(copy->log().contains(u"Bob> "_s));
    }

    // Carol's copy goes; the others write the notice and rebuild the roster.
    alice.controller.lstRoster_Click(alice.indexOf(u"Carol"_s));
    ASSERT_TRUE(alice.controller.whisperEnabled());
    carol.reset();
    ASSERT_TRUE(logEndsWith(alice, u"Carol さんが退出しました\r\n"_s));
    ASSERT_TRUE(logEndsWith(bob, u"Carol さんが退出しました\r\n"_s));
    EXPECT_EQ(bob.rosterNames(), (QStringList{u"Alice"_s, u"Bob"_s}));
    EXPECT_FALSE(alice.controller.whisperEnabled());
    EXPECT_EQ(alice.sounds.played.last(), u"leave"_s);
    EXPECT_TRUE(alice.view.boxes.isEmpty());
    EXPECT_TRUE(bob.view.boxes.isEmpty());
}

} // namespace
