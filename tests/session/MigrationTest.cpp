#include "SessionTestSupport.h"
#include "session/host/RoomHost.h"
#include "session/member/RoomMember.h"
#include "session/net/RoomListener.h"
#include "session/wire/Succession.h"

namespace sessiontest {
namespace {

// Every copy works the order out alone; they must agree on it, skip whoever cannot be
// reached the same way, and never pick the old host.
TEST(HostMigration, ElectionTriesTheEarliestJoinedReachableMemberFirst) {
    const QHostAddress lan(u"10.0.0.2"_s);
    const QList<RoomPlayer> players = {{1, u"host"_s, {}, {}},
                                       {2, u"a"_s, {}, {lan, 5000}},
                                       {3, u"natted"_s, {}, {lan, 0}},
                                       {4, u"b"_s, {}, {lan, 5001}},
                                       {5, u"c"_s, {}, {lan, 5002}}};
    using S = Election::Step;
    struct Case {
        PlayerId oldHost, self;
        QList<std::pair<S, PlayerId>> steps; // what next() says, and for Try the candidate
    };
    const Case cases[] = {
        {0, 2, {{S::BecomeHost, 2}}},
        {0, 4, {{S::Try, 2}, {S::BecomeHost, 4}}},
        {0, 3, {{S::Try, 2}, {S::Try, 4}, {S::Try, 5}, {S::GiveUp, 0}}},
        {2, 5, {{S::Try, 4}, {S::BecomeHost, 5}}}, // the old host named, as after a first move
    };
    EXPECT_EQ(Election(players.mid(0, 2), 0, 2).next(), S::GiveUp); // nobody left to host for
    for (const Case& c : cases) {
        Election election(players, c.oldHost, c.self);
        for (const auto& [step, id] : c.steps) {
            ASSERT_EQ(election.next(), step) << "self " << c.self << " expecting " << id;
            if (step != S::GiveUp) {
                EXPECT_EQ(election.candidate().id, id);
            }
        }
    }
}

// A member learns at join what it takes to host the room: a copy that does so keeps the
// room's identity, is listed and joined like the old host, and proves the room secret,
// which a stranger knowing the address and the password cannot.
TEST(HostMigration, ASuccessorKeepsTheRoomAndAStrangerCannotPoseAsOne) {
    const SessionConfig config = loopbackConfig();
    TestCopy a(config);
    ASSERT_NE(a.hostAs(u"a"_s, u"pw"_s), 0);
    auto* standby = new RoomListener;
    ASSERT_TRUE(standby->listenInRange(config));
    RoomMember b(config);
    PlayerId bId = 0;
    QObject::connect(&b, &RoomMember::opened, &b, [&] { b.createPlayer(u"b"_s, {}, standby->serverPort()); });
    QObject::connect(&b, &RoomMember::playerCreated, &b, [&](PlayerId id, const auto&) { bId = id; });
    b.open(u"127.0.0.1"_s, a.service->hostingPort(), appId(), u"pw"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return bId != 0; }));
    ASSERT_TRUE(b.canMigrate());
    ASSERT_EQ(b.roomPlayers().size(), 2);
    EXPECT_EQ(b.hostPlayer(), a.id);

    a.service->close();
    const RoomHost::Settings settings{appId(), u"room"_s, u"pw"_s, kMigratingRoomAttribute};
    auto* successor = new RoomHost(config, settings, b.snapshot(bId));
    ASSERT_TRUE(successor->start(true, standby).ok());
    RoomHost stranger(config, settings);
    ASSERT_TRUE(stranger.start(false).ok());
    const auto reach = [&](quint16 port) {
        RoomMember member(config);
        std::optional<quint32> result;
        QObject::connect(&member, &RoomMember::opened, &member, [&] { result = 0; });
        QObject::connect(&member, &RoomMember::openFailed, &member, [&](const Error& e) { result = e.code; });
        member.open(u"127.0.0.1"_s, port, appId(), u"pw"_s, b.roomSecret());
        testsupport::waitUntil([&] { return result.has_value(); });
        return std::pair{result.value_or(1), member.instanceId()};
    };
    EXPECT_EQ(reach(stranger.port()).first, kErrorAccessDenied);
    EXPECT_EQ(reach(successor->port()), std::pair(0u, b.instanceId()));

    TestCopy d(config);
    ASSERT_TRUE(d.join(u"room"_s, u"pw"_s).ok());
    EXPECT_EQ(d.createPlayer(u"d"_s), 3);
    EXPECT_EQ(d.service->listPlayers()->count(), 2); // b and d: the old host's player is gone
    successor->shutDown();
}

} // namespace
} // namespace sessiontest
