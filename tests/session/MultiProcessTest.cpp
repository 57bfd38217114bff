#include "PeerProcess.h"
#include "SessionTestSupport.h"
#include "session/SessionErrors.h"

#include <gtest/gtest.h>

using namespace sessiontest;

TEST(MultiProcess, AKilledMemberProcessLeavesForEverybody) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    host.createPlayer(QStringLiteral("host"));
    ASSERT_TRUE(alice.join(QStringLiteral("room")).ok());
    alice.createPlayer(QStringLiteral("alice"));

    PeerProcess peer(peerProgram(), peerArguments(QStringLiteral("join"), config, QStringLiteral("遠い人")));
    ASSERT_EQ(peer.waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 3"));
    peer.type(QStringLiteral("send 0 こんにちは"));
    ASSERT_TRUE(waitForLog(alice, 2));
    ASSERT_TRUE(alice.say(3, QStringLiteral("psst")).ok());
    EXPECT_EQ(peer.waitForLine(QStringLiteral("MSG")), QStringLiteral("MSG 2 3 psst"));

    peer.killHard();
    ASSERT_TRUE(waitForLog(alice, 3));
    ASSERT_TRUE(waitForLog(host, 4));
    EXPECT_EQ(alice.log, (QStringList{QStringLiteral("join 3 遠い人"), QStringLiteral("pub 3>0 こんにちは"),
                                      QStringLiteral("leave 3")}));
    EXPECT_EQ(host.log.last(), QStringLiteral("leave 3"));
}

TEST(MultiProcess, WhenTheHostProcessIsKilledMembersSeeEverybodyLeaveAndSendsFail) {
    const SessionConfig config = loopbackConfig();
    PeerProcess hostProcess(peerProgram(), peerArguments(QStringLiteral("host"), config, QStringLiteral("host")));
    ASSERT_EQ(hostProcess.waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 1"));
    TestCopy alice(config), bob(config);
    ASSERT_TRUE(alice.join(QStringLiteral("room")).ok());
    alice.createPlayer(QStringLiteral("alice"));
    ASSERT_TRUE(bob.join(QStringLiteral("room")).ok());
    bob.createPlayer(QStringLiteral("bob"));
    ASSERT_TRUE(waitForLog(alice, 1));
    hostProcess.type(QStringLiteral("send 0 bye"));
    ASSERT_TRUE(waitForLog(bob, 1));

    hostProcess.killHard();
    ASSERT_TRUE(waitForLog(alice, 4));
    ASSERT_TRUE(waitForLog(bob, 3));
    EXPECT_EQ(alice.log, (QStringList{QStringLiteral("join 3 bob"), QStringLiteral("pub 1>0 bye"),
                                      QStringLiteral("leave 1"), QStringLiteral("leave 3")}));
    EXPECT_EQ(bob.log,
              (QStringList{QStringLiteral("pub 1>0 bye"), QStringLiteral("leave 1"), QStringLiteral("leave 2")}));
    for (TestCopy* copy : {&alice, &bob}) {
        const Status sent = copy->say(kEveryone, QStringLiteral("hello?"));
        ASSERT_FALSE(sent.ok());
        EXPECT_EQ(sent.error().code, kErrorConnectionLost);
        EXPECT_EQ(copy->service->listPlayers()->count(), 1);
    }
}
