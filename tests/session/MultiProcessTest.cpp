#include "SessionTestSupport.h"

#include <gtest/gtest.h>

using namespace sessiontest;

// Processes killed outright: no goodbye, the kernel closes their sockets.
TEST(MultiProcess, KilledMemberAndHostProcessesLeaveForEverybodyAndSendsThenFail) {
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
    ASSERT_TRUE(alice.say(4, u"psst"_s).ok());
    EXPECT_TRUE(far->shows(u"alice> (psst)"_s));
    far->killHard();
    ASSERT_TRUE(logShows(bob, u"leave 4"_s));
    ASSERT_TRUE(logShows(alice, u"leave 4"_s));
    EXPECT_TRUE(host->shows(u"遠い人 さんが退出しました"_s));

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
    ASSERT_TRUE(waitForLog(bob, 6));
    EXPECT_EQ(alice.log, (QStringList{u"join 3 bob"_s, u"join 4 遠い人"_s, u"pub 4>0 こんにちは"_s, u"leave 4"_s,
                                      u"pub 1>0 bye"_s, u"leave 1"_s, u"leave 3"_s}));
    EXPECT_EQ(bob.log, (QStringList{u"join 4 遠い人"_s, u"pub 4>0 こんにちは"_s, u"leave 4"_s, u"pub 1>0 bye"_s,
                                    u"leave 1"_s, u"leave 2"_s}));
    for (TestCopy* copy : {&alice, &bob}) {
        EXPECT_EQ(errorCode(copy->say(kEveryone, u"hello?"_s)), kErrorConnectionLost);
        EXPECT_EQ(copy->service->listPlayers()->count(), 1);
    }
}
