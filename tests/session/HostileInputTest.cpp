// The handshake's and the room's own rules against peers that break them. Byte
// streams from strangers (malformed hellos, random bytes, other protocols, huge
// lengths, frames cut off) are the load tests' part, against a host process.
#include "RawPeer.h"

#include <gtest/gtest.h>

using namespace sessiontest;

TEST(HostileInput, TheHostAdmitsOnlyTheRightProofAndAllowedNamesAndRelaysOnlyHonestLines) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s, u"secret"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s, u"secret"_s), 2);
    ASSERT_TRUE(waitForLog(host, 1));

    RawPeer intruder(host.service->hostingPort());
    EXPECT_EQ(intruder.joinAs(u"intruder"_s, u"guess"_s), 0);
    EXPECT_TRUE(intruder.closedByHost());
    // Names the service itself never sends: too long, or with a control character.
    for (const QString& name : {QString(256, u'x'), u"tab\there"_s}) {
        RawPeer refused(host.service->hostingPort());
        EXPECT_EQ(refused.joinAs(name, u"secret"_s), 0) << name.size();
    }
    // The right proof with the player behind it joins in one go.
    RawPeer peer(host.service->hostingPort());
    const QString longest(255, u'名');
    ASSERT_EQ(peer.joinAs(longest, u"secret"_s), 3);

    // A Deliver frame sent to the host claims another sender and is not relayed, a
    // frame of an unknown type is ignored; only the honest line arrives.
    peer.send(encodeFrame(static_cast<FrameType>(0x7e), QByteArrayLiteral("future stuff")));
    WireWriter forged;
    forged.i32(1);
    forged.i32(0);
    forged.bytes(chatPayload(u"forged"_s));
    peer.send(encodeFrame(FrameType::Deliver, forged.data()) + sendFrame(u"honest"_s));
    ASSERT_TRUE(logShows(alice, u"pub 3>0 honest"_s));
    ASSERT_TRUE(alice.say(kEveryone, u"still here"_s).ok());
    ASSERT_TRUE(logShows(host, u"pub 2>0 still here"_s));
    const QStringList visit{u"join 3 "_s + longest, u"pub 3>0 honest"_s};
    EXPECT_EQ(host.log, QStringList{u"join 2 alice"_s} + visit + QStringList{u"pub 2>0 still here"_s});
    EXPECT_EQ(alice.log, visit);
    EXPECT_EQ(peer.socket.state(), QAbstractSocket::ConnectedState);
}

TEST(HostileInput, AMemberThatStopsReadingIsDroppedWithoutHoldingUpTheOthers) {
    SessionConfig config = loopbackConfig();
    config.maxBufferedBytesPerMember = 256 * 1024;
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s), 2);

    RawPeer sleeper(host.service->hostingPort());
    const PlayerId sleeperId = sleeper.joinAs(u"sleeper"_s);
    sleeper.socket.setReadBufferSize(1); // reads (almost) nothing from now on
    ASSERT_TRUE(waitForLog(host, 2));
    ASSERT_TRUE(waitForLog(alice, 1));

    // Alice takes every line before the next is sent; the sleeper's backlog grows
    // past the kernel's buffers and the host's cap.
    const QString big(16 * 1024, u'あ');
    const QString left = u"leave %1"_s.arg(sleeperId);
    const qsizetype before = alice.log.size();
    int sent = 0;
    for (; sent < 2000 && !alice.log.contains(left); ++sent) {
        ASSERT_TRUE(host.say(kEveryone, big).ok());
        ASSERT_TRUE(testsupport::waitUntil([&] { return alice.log.size() > before + sent; }));
    }
    EXPECT_TRUE(logShows(host, left));
    EXPECT_EQ(alice.log.size(), before + sent + 1);
    EXPECT_EQ(alice.log.last(), left);
}

TEST(HostileInput, SilentConnectionsAreClosedAfterTheHandshakeOrHeartbeatTimeout) {
    SessionConfig config = loopbackConfig();
    config.handshakeTimeout = 300ms;
    config.heartbeatInterval = 100ms;
    config.heartbeatTimeout = 400ms;
    TestCopy host(config);
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    RawPeer silent(host.service->hostingPort()); // never says hello
    RawPeer quiet(host.service->hostingPort());  // never answers the heartbeats
    const PlayerId id = quiet.joinAs(u"quiet"_s);
    ASSERT_TRUE(waitForLog(host, 1));
    EXPECT_TRUE(silent.closedByHost());
    EXPECT_TRUE(quiet.closedByHost());
    ASSERT_TRUE(waitForLog(host, 2));
    EXPECT_EQ(host.log.last(), u"leave %1"_s.arg(id));

    // And the room still admits a real member afterwards.
    TestCopy alice(config);
    EXPECT_NE(alice.joinAs(u"alice"_s), 0);
}

TEST(FakeHost, AMemberRefusesAHostThatCannotProveThePassword) {
    FakeHost impostor(u"guess"_s);
    TestCopy member(loopbackConfig());
    EXPECT_EQ(errorCode(impostor.join(member, u"secret"_s)), kErrorAccessDenied);
}

TEST(FakeHost, MessagesBehindThePlayersCreationWaitForItAndASilentHostIsLeft) {
    SessionConfig config = loopbackConfig();
    config.heartbeatInterval = 100ms;
    config.heartbeatTimeout = 400ms;
    FakeHost host(u"secret"_s);
    TestCopy member(config);
    ASSERT_TRUE(host.join(member, u"secret"_s).ok());
    ASSERT_EQ(member.createPlayer(u"me"_s), 5);
    ASSERT_TRUE(waitForLog(member, 1));
    EXPECT_EQ(member.log, QStringList{u"pub 1>0 welcome"_s});
    EXPECT_EQ(member.emptyEvents, 0);

    // The host stays connected but never sends a heartbeat.
    EXPECT_TRUE(logShows(member, u"leave 1"_s));
    EXPECT_EQ(errorCode(member.say(kEveryone, u"anyone?"_s)), kErrorConnectionLost);
}
