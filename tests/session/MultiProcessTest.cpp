#include "SessionTestSupport.h"

#include <gtest/gtest.h>

using namespace sessiontest;

// Processes killed outright: no goodbye, the kernel closes their sockets.
TEST(MultiProcess, KilledMemberAndHostProcessesLeaveForEverybodyAndSendsThenFail) {
    const SessionConfig config = loopbackConfig();
    const auto host = startPeer(u"host"_s, config, u"host"_s);
    ASSERT_EQ(host->waitForLine(u"PLAYER"_s), u"PLAYER 1"_s);
    TestCopy alice(config), bob(config);
    ASSERT_EQ(alice.joinAs(u"alice"_s), 2);
    ASSERT_EQ(bob.joinAs(u"bob"_s), 3);
    const auto far = startPeer(u"join"_s, config, u"遠い人"_s);
    ASSERT_EQ(far->waitForLine(u"PLAYER"_s), u"PLAYER 4"_s);

    far->type(u"send 0 こんにちは"_s);
    ASSERT_TRUE(logShows(alice, u"pub 4>0 こんにちは"_s));
    ASSERT_TRUE(alice.say(4, u"psst"_s).ok());
    EXPECT_EQ(far->waitForLine(u"MSG"_s), u"MSG 2 4 psst"_s);
    far->killHard();
    ASSERT_TRUE(logShows(bob, u"leave 4"_s));
    EXPECT_TRUE(host->shows(u"SYS 5 4 "_s));

    host->type(u"send 0 bye"_s);
    ASSERT_TRUE(logShows(bob, u"pub 1>0 bye"_s));
    host->killHard();
    ASSERT_TRUE(waitForLog(alice, 7));
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
