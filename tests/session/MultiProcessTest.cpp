#include "SessionTestSupport.h"

#include <gtest/gtest.h>

using namespace sessiontest;

// A host and a member in processes of their own, two members and a brief visitor in
// this one. Lines arrive once, in order, only where they are addressed, between the
// sender's join and leave; processes killed outright (no goodbye, the kernel closes
// their sockets) leave for everybody, and sends then fail.
TEST(MultiProcess, LinesGoWhereAddressedAndKilledProcessesLeaveForEverybody) {
    SessionConfig config = loopbackConfig();
    config.resumeGrace = 0ms; // a killed process is gone at once
    const auto host = startRoomTool(u"host"_s, config, u"host"_s);
    TestCopy alice(config), bob(config);
    ASSERT_EQ(alice.joinWhenListed(u"alice"_s), 2);
    ASSERT_EQ(bob.joinAs(u"bob"_s), 3);
    const auto far = startRoomTool(u"join"_s, config, u"遠い人"_s);
    ASSERT_TRUE(logShows(alice, u"join 4 遠い人"_s));

    far->type(u"こんにちは"_s);
    ASSERT_TRUE(logShows(alice, u"pub 4>0 こんにちは"_s));
    host->type(u"/w alice 内緒"_s);
    ASSERT_TRUE(logShows(alice, u"priv 1>2 内緒"_s));
    {
        TestCopy carol(config); // leaves right after sending
        ASSERT_EQ(carol.joinAs(u"carol"_s), 5);
        ASSERT_TRUE(carol.say(kEveryone, u"hello"_s).ok());
        ASSERT_TRUE(carol.say(kEveryone, u"bye"_s).ok());
        carol.service->close();
        carol.service->close();
    }
    ASSERT_TRUE(logShows(bob, u"leave 5"_s));
    QStringList names; // in joining order
    const OneBasedList<PlayerEntry> players = bob.service->listPlayers().valueOr({});
    for (const PlayerEntry& player : players.items())
        names.append(player.name);
    EXPECT_EQ(names, (QStringList{u"host"_s, u"alice"_s, u"bob"_s, u"遠い人"_s}));
    far->killHard();
    ASSERT_TRUE(logShows(alice, u"leave 4"_s));

    // Alice stops handling events for a moment, so the notices wait in her queue.
    alice.service->unregisterEventReceiver(alice.handle);
    host->type(u"bye"_s);
    ASSERT_TRUE(logShows(bob, u"pub 1>0 bye"_s));
    host->killHard();
    ASSERT_TRUE(testsupport::waitUntil([&] { return alice.service->waitingMessageCount(alice.id).valueOr(0) == 3; }));
    // Names stay readable until the leave notice has been read.
    EXPECT_EQ(alice.service->playerName(1).valueOr({}), u"host"_s);
    for (int i = 0; i < 3; ++i)
        alice.onEvent();
    EXPECT_FALSE(alice.service->playerName(1).ok());
    ASSERT_TRUE(waitForLog(bob, 10));
    const QStringList visits{u"join 4 遠い人"_s, u"pub 4>0 こんにちは"_s, u"join 5 carol"_s,
                             u"pub 5>0 hello"_s, u"pub 5>0 bye"_s,        u"leave 5"_s,
                             u"leave 4"_s,       u"pub 1>0 bye"_s,        u"leave 1"_s};
    QStringList aliceExpected = QStringList{u"join 3 bob"_s} + visits + QStringList{u"leave 3"_s};
    aliceExpected.insert(3, u"priv 1>2 内緒"_s);
    EXPECT_EQ(alice.log, aliceExpected);
    EXPECT_EQ(bob.log, visits + QStringList{u"leave 2"_s});
    for (TestCopy* copy : {&alice, &bob}) {
        EXPECT_EQ(errorCode(copy->say(kEveryone, u"hello?"_s)), kErrorConnectionLost);
        EXPECT_EQ(copy->service->listPlayers()->count(), 1);
    }
}
