// What a listener on the path of a room connection sees.
#include "SessionTestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

// Passes every connection on to `port` and keeps a copy of every byte, both ways.
struct CapturingForwarder {
    explicit CapturingForwarder(quint16 port) {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, port] {
            QTcpSocket* in = server.nextPendingConnection();
            auto* out = new QTcpSocket(in);
            out->connectToHost(QHostAddress::LocalHost, port);
            const auto pipe = [this](QTcpSocket* from, QTcpSocket* to) {
                QObject::connect(from, &QTcpSocket::readyRead, to, [this, from, to] {
                    const QByteArray bytes = from->readAll();
                    capture += bytes;
                    to->write(bytes);
                });
            };
            pipe(in, out);
            pipe(out, in);
        });
    }
    QTcpServer server;
    QByteArray capture;
};

} // namespace

TEST(EncryptedRoom, ACaptureOfAChatHoldsNoneOfItsNamesOrTexts) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), member(config);
    ASSERT_TRUE(host.host(u"秘密の部屋"_s).ok());
    ASSERT_EQ(host.createPlayer(u"ホスト役"_s), 1);
    CapturingForwarder forwarder(host.service->hostingPort());
    RoomDescription room = describe(u"秘密の部屋"_s);
    room.hostAddress = u"127.0.0.1"_s;
    room.hostPort = forwarder.server.serverPort();
    ASSERT_TRUE(member.service->openRoom(room, OpenMode::Join).ok());
    ASSERT_EQ(member.createPlayer(u"hanako"_s), 2);
    const QString open = u"待ち合わせは駅の北口で"_s, whispered = u"合言葉は sunflower"_s, script = u"@S2;@clear;"_s;
    ASSERT_TRUE(member.say(kEveryone, open).ok());
    ASSERT_TRUE(member.say(kEveryone, script).ok());
    ASSERT_TRUE(host.say(2, whispered).ok());
    ASSERT_TRUE(logShows(host, u"pub 2>0 "_s + script));
    ASSERT_TRUE(logShows(member, u"priv 1>2 "_s + whispered));
    for (const QString& secret : {u"秘密の部屋"_s, u"ホスト役"_s, u"hanako"_s, open, u"sunflower"_s, script})
        EXPECT_FALSE(forwarder.capture.contains(secret.toUtf8())) << secret.toStdString();
    EXPECT_GT(forwarder.capture.size(), 500);
}
