// A member whose link breaks keeps its player: it comes back within the grace period
// with nothing missed and nothing twice, or its lines come back to it as undelivered.
#include "RawPeer.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

SessionConfig quickConfig(std::chrono::milliseconds grace) {
    SessionConfig config = loopbackConfig();
    config.heartbeatInterval = 100ms;
    config.heartbeatTimeout = 400ms;
    config.resumeGrace = grace;
    return config;
}

// A member's link breaks at its own end, and whatever it had not handed to the kernel is lost.
void breakLink(TestCopy& copy) {
    for (QTcpSocket* socket : copy.service->findChildren<QTcpSocket*>())
        socket->abort();
}

} // namespace

TEST(Resume, WhenTheGraceRunsOutTheLeaveShowsAndUnsentLinesComeBack) {
    const SessionConfig config = quickConfig(800ms);
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s), 2);
    // A member that never comes back: its leave shows once its grace is over, not before.
    std::optional<RawPeer> gone(std::in_place, host.service->hostingPort());
    ASSERT_EQ(gone->joinAs(u"gone"_s), 3);
    ASSERT_TRUE(logShows(alice, u"join 3 gone"_s));
    gone.reset();
    QElapsedTimer away;
    away.start();
    ASSERT_TRUE(logShows(alice, u"leave 3"_s));
    EXPECT_GE(away.elapsed(), config.resumeGrace.count() - 200);
    EXPECT_TRUE(logShows(host, u"leave 3"_s));

    // Alice's link breaks as the room ends, and something silent takes its port: her
    // lines cannot go out, and come back to her once she gives up.
    const quint16 port = host.service->hostingPort();
    const qsizetype before = alice.log.size();
    breakLink(alice);
    ASSERT_TRUE(alice.say(kEveryone, u"lost one"_s).ok());
    ASSERT_TRUE(alice.say(1, u"lost two"_s).ok());
    host.service->close();
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::Any, port));
    ASSERT_TRUE(waitForLog(alice, before + 3));
    EXPECT_EQ(alice.log.mid(before),
              (QStringList{u"leave 1"_s, u"undelivered 2>0 lost one"_s, u"undelivered 2>1 lost two"_s}));
    EXPECT_EQ(errorCode(alice.say(kEveryone, u"anyone?"_s)), kErrorConnectionLost);
}

TEST(Resume, NobodyTakesAPlayerWithoutItsSecret) {
    const SessionConfig config = quickConfig(20s);
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s), 2);
    // A stranger who knows the password (there is none) but not the secret: alice's
    // player, the host's own, one that never was.
    for (const auto& [id, reason] : {std::pair{2, RefuseReason::Password}, std::pair{1, RefuseReason::NoSuchPlayer},
                                     std::pair{9, RefuseReason::NoSuchPlayer}}) {
        RawPeer stranger(host.service->hostingPort());
        WireWriter resume;
        resume.i32(id);
        resume.bytes(QByteArray(kSecretBytes, 'x'));
        resume.u32(0);
        const auto refused = stranger.authenticate(encodeFrame(FrameType::Resume, resume.data()));
        ASSERT_TRUE(refused && refused->type == static_cast<quint8>(FrameType::Reject)) << id;
        EXPECT_EQ(WireReader(refused->body).u32(), static_cast<quint32>(reason)) << id;
        EXPECT_TRUE(stranger.closedByHost());
    }
    ASSERT_TRUE(alice.say(kEveryone, u"still me"_s).ok());
    ASSERT_TRUE(logShows(host, u"pub 2>0 still me"_s));
    EXPECT_EQ(host.log, (QStringList{u"join 2 alice"_s, u"pub 2>0 still me"_s}));
}
