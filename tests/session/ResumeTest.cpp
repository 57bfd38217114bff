#include "SessionTestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

using namespace sessiontest;

// Alice's link breaks as the room ends, and something silent takes its port: her lines
// cannot go out, and come back to her once she gives up at the end of the grace period.
TEST(Resume, WhenTheGraceRunsOutAtASilentPortUnsentLinesComeBack) {
    SessionConfig config = loopbackConfig();
    config.heartbeatInterval = 100ms;
    config.heartbeatTimeout = 400ms;
    config.resumeGrace = 800ms;
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s), 2);
    const quint16 port = host.service->hostingPort();
    const qsizetype before = alice.log.size();
    for (QTcpSocket* socket : alice.service->findChildren<QTcpSocket*>())
        socket->abort(); // what she had not handed to the kernel is lost
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
