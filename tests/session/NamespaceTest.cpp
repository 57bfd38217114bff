#include "PeerProcess.h"
#include "SessionTestSupport.h"
#include "common/TestNetwork.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace sessiontest;

using testsupport::TestNetwork;

TEST(Namespaces, ARoomHostedOnOneHostIsListedAndJoinedFromTheOthersByBroadcast) {
    if (!TestNetwork::available()) {
        GTEST_SKIP() << "needs root and iproute2 to build network namespaces";
    }
    TestNetwork network;
    if (!network.ok()) {
        GTEST_SKIP() << "network namespaces are not available here";
    }
    const QString ipProgram = QStandardPaths::findExecutable(QStringLiteral("ip"));
    const QStringList room{QStringLiteral("--room"), QStringLiteral("網の部屋"), QStringLiteral("--password"),
                           QStringLiteral("Aikotoba")};

    PeerProcess host(
        ipProgram,
        network.on(QStringLiteral("a"), peerProgram(),
                   QStringList{QStringLiteral("host"), QStringLiteral("--name"), QStringLiteral("a")} + room));
    ASSERT_EQ(host.waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 1"));
    PeerProcess b(
        ipProgram,
        network.on(QStringLiteral("b"), peerProgram(),
                   QStringList{QStringLiteral("join"), QStringLiteral("--name"), QStringLiteral("b")} + room));
    ASSERT_EQ(b.waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 2"));
    PeerProcess c(
        ipProgram,
        network.on(QStringLiteral("c"), peerProgram(),
                   QStringList{QStringLiteral("join"), QStringLiteral("--name"), QStringLiteral("c")} + room));
    ASSERT_EQ(c.waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 3"));

    b.type(QStringLiteral("send 0 b から皆へ"));
    c.type(QStringLiteral("send 2 c から b へ"));
    EXPECT_EQ(host.waitForLine(QStringLiteral("MSG")), QStringLiteral("MSG 2 0 b から皆へ"));
    EXPECT_EQ(c.waitForLine(QStringLiteral("MSG")), QStringLiteral("MSG 2 0 b から皆へ"));
    EXPECT_EQ(b.waitForLine(QStringLiteral("MSG")), QStringLiteral("MSG 3 2 c から b へ"));
    EXPECT_EQ(host.waitForLine(QStringLiteral("SYS 3 3")), QStringLiteral("SYS 3 3 c"));

    c.killHard();
    EXPECT_EQ(b.waitForLine(QStringLiteral("SYS 5")), QStringLiteral("SYS 5 3 "));
}
