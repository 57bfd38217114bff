#include "RawPeer.h"

#include <QTcpServer>
#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

QByteArray chatPayload(const QString& text) {
    Message message;
    message.writeInt32(0);
    message.writeString(text);
    return message.payload();
}

} // namespace

// Byte streams from strangers (random bytes, other protocols, huge lengths, frames cut
// off) are the load tests' part, against a host process; these are the handshake's
// own rules.
TEST(HostileInput, AMalformedHandshakeClosesOnlyThatConnection) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    host.createPlayer(QStringLiteral("host"));
    ASSERT_TRUE(alice.join(QStringLiteral("room")).ok());
    alice.createPlayer(QStringLiteral("alice"));
    const quint16 port = host.service->hostingPort();

    WireWriter badMagic;
    badMagic.bytes(QByteArrayLiteral("XXXX"));
    badMagic.u16(1);
    struct Case {
        const char* name;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"a zero length", QByteArray::fromHex("00000000")},
        {"a first frame that is not a hello", encodeFrame(FrameType::Send, QByteArray::fromHex("00000000"))},
        {"a hello with the wrong magic", encodeFrame(FrameType::Hello, badMagic.data())},
        {"a hello cut short inside its body", encodeFrame(FrameType::Hello, QByteArrayLiteral("MLRN\x00"))},
    };
    for (const Case& c : cases) {
        RawPeer peer(port);
        peer.send(c.bytes);
        EXPECT_TRUE(peer.closedByHost()) << c.name;
    }

    // After all that, the room still works for the members that behave.
    ASSERT_TRUE(alice.say(kEveryone, QStringLiteral("still here")).ok());
    ASSERT_TRUE(testsupport::waitUntil([&] { return host.log.contains(QStringLiteral("pub 2>0 still here")); }));
}

TEST(HostileInput, TheSenderIsTheConnectionsPlayerAndUnknownFramesAreIgnored) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    host.createPlayer(QStringLiteral("host"));
    RawPeer peer(host.service->hostingPort());
    const PlayerId id = peer.joinAs(QStringLiteral("peer"));
    ASSERT_TRUE(waitForLog(host, 1));

    peer.send(encodeFrame(static_cast<FrameType>(0x7e), QByteArrayLiteral("future stuff")));
    // A Deliver frame sent to the host claims another sender; the host does not relay it.
    WireWriter forged;
    forged.i32(1);
    forged.i32(0);
    forged.bytes(chatPayload(QStringLiteral("forged")));
    peer.send(encodeFrame(FrameType::Deliver, forged.data()));
    WireWriter honest;
    honest.i32(kEveryone);
    honest.bytes(chatPayload(QStringLiteral("honest")));
    peer.send(encodeFrame(FrameType::Send, honest.data()));

    ASSERT_TRUE(waitForLog(host, 2));
    testsupport::spinFor(50ms);
    EXPECT_EQ(host.log,
              (QStringList{QStringLiteral("join %1 peer").arg(id), QStringLiteral("pub %1>0 honest").arg(id)}));
    EXPECT_EQ(peer.socket.state(), QAbstractSocket::ConnectedState);
}

TEST(HostileInput, APlayerSentBehindAWrongProofIsNeverCreated) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config);
    ASSERT_TRUE(host.host(QStringLiteral("room"), QStringLiteral("secret")).ok());
    host.createPlayer(QStringLiteral("host"));
    ASSERT_TRUE(alice.join(QStringLiteral("room"), QStringLiteral("secret")).ok());
    alice.createPlayer(QStringLiteral("alice"));
    ASSERT_TRUE(waitForLog(host, 1));

    RawPeer intruder(host.service->hostingPort());
    EXPECT_EQ(intruder.joinAs(QStringLiteral("intruder"), QStringLiteral("guess")), 0);
    EXPECT_TRUE(intruder.closedByHost());
    // The right proof with the player behind it joins in one go.
    RawPeer guest(host.service->hostingPort());
    const PlayerId id = guest.joinAs(QStringLiteral("guest"), QStringLiteral("secret"));
    ASSERT_NE(id, 0);
    ASSERT_TRUE(waitForLog(alice, 1));
    EXPECT_EQ(alice.log, QStringList{QStringLiteral("join %1 guest").arg(id)});
    EXPECT_EQ(host.log.last(), QStringLiteral("join %1 guest").arg(id));
}

TEST(HostileInput, AMemberThatStopsReadingIsDroppedAndLeaves) {
    SessionConfig config = loopbackConfig();
    config.maxBufferedBytesPerMember = 256 * 1024;
    TestCopy host(config), alice(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    host.createPlayer(QStringLiteral("host"));
    ASSERT_TRUE(alice.join(QStringLiteral("room")).ok());
    alice.createPlayer(QStringLiteral("alice"));

    RawPeer sleeper(host.service->hostingPort());
    sleeper.socket.setReadBufferSize(1); // reads (almost) nothing from now on
    const PlayerId sleeperId = sleeper.joinAs(QStringLiteral("sleeper"));
    sleeper.socket.setReadBufferSize(1);
    ASSERT_TRUE(waitForLog(host, 2));

    const QString big(16 * 1024, u'あ');
    bool left = false;
    for (int i = 0; i < 2000 && !left; ++i) {
        ASSERT_TRUE(host.say(kEveryone, big).ok());
        if (i % 20 == 0) {
            testsupport::spinFor(1ms);
            left = alice.log.contains(QStringLiteral("leave %1").arg(sleeperId));
        }
    }
    EXPECT_TRUE(testsupport::waitUntil([&] { return host.log.contains(QStringLiteral("leave %1").arg(sleeperId)); }));
    EXPECT_TRUE(testsupport::waitUntil([&] { return alice.log.contains(QStringLiteral("leave %1").arg(sleeperId)); }));
}

TEST(HostileInput, AConnectionThatSaysNothingIsClosedAfterTheHandshakeTimeout) {
    SessionConfig config = loopbackConfig();
    config.handshakeTimeout = 300ms;
    TestCopy host(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    RawPeer silent(host.service->hostingPort());
    EXPECT_TRUE(silent.closedByHost());

    // And the room still admits a real member afterwards.
    TestCopy alice(config);
    EXPECT_TRUE(alice.join(QStringLiteral("room")).ok());
}

TEST(HostileInput, AMemberThatGoesSilentIsDroppedAfterTheHeartbeatTimeout) {
    SessionConfig config = loopbackConfig();
    config.heartbeatInterval = 100ms;
    config.heartbeatTimeout = 400ms;
    TestCopy host(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    host.createPlayer(QStringLiteral("host"));
    RawPeer quiet(host.service->hostingPort()); // never answers the heartbeats
    const PlayerId id = quiet.joinAs(QStringLiteral("quiet"));
    ASSERT_TRUE(waitForLog(host, 1));
    EXPECT_TRUE(quiet.closedByHost());
    ASSERT_TRUE(waitForLog(host, 2));
    EXPECT_EQ(host.log.last(), QStringLiteral("leave %1").arg(id));
}

TEST(HostileInput, MessagesArrivingWithThePlayersCreationRaiseEventsOnlyAfterItReturns) {
    // A scripted host that sends a message in the same write as the new player's id.
    QTcpServer fakeHost;
    ASSERT_TRUE(fakeHost.listen(QHostAddress::LocalHost, 0));
    QTcpSocket* link = nullptr;
    FrameDecoder decoder(1024 * 1024);
    QByteArray memberNonce;
    const QByteArray hostNonce = proof::randomNonce();
    QObject::connect(&fakeHost, &QTcpServer::newConnection, &fakeHost, [&] {
        link = fakeHost.nextPendingConnection();
        QObject::connect(link, &QTcpSocket::readyRead, link, [&] {
            decoder.feed(link->readAll());
            while (const auto frame = decoder.next()) {
                WireWriter out;
                if (frame->type == static_cast<quint8>(FrameType::Hello)) {
                    memberNonce = frame->body.right(proof::kNonceBytes);
                    out.u16(kProtocolVersion);
                    out.u8(0);
                    out.bytes(hostNonce);
                    link->write(encodeFrame(FrameType::Challenge, out.data()));
                } else if (frame->type == static_cast<quint8>(FrameType::Auth)) {
                    out.bytes(proof::joinHost({}, hostNonce, memberNonce));
                    out.bytes(QByteArray(16, 'i'));
                    out.string(QStringLiteral("room"));
                    out.i32(4);
                    link->write(encodeFrame(FrameType::Accept, out.data()));
                } else if (frame->type == static_cast<quint8>(FrameType::CreatePlayer)) {
                    out.i32(5);
                    out.u32(2);
                    out.i32(1);
                    out.string(QStringLiteral("host"));
                    out.i32(5);
                    out.string(QStringLiteral("me"));
                    WireWriter deliver;
                    deliver.i32(1);
                    deliver.i32(kEveryone);
                    deliver.bytes(chatPayload(QStringLiteral("welcome")));
                    link->write(encodeFrame(FrameType::PlayerCreated, out.data()) +
                                encodeFrame(FrameType::Deliver, deliver.data()));
                }
            }
        });
    });

    TestCopy member(loopbackConfig());
    RoomDescription room;
    room.applicationId = appId();
    room.hostAddress = QStringLiteral("127.0.0.1");
    room.hostPort = fakeHost.serverPort();
    ASSERT_TRUE(member.service->openRoom(room, OpenMode::Join).ok());
    ASSERT_EQ(member.createPlayer(QStringLiteral("me")), 5);
    ASSERT_TRUE(waitForLog(member, 1));
    EXPECT_EQ(member.log, QStringList{QStringLiteral("pub 1>0 welcome")});
    EXPECT_EQ(member.emptyEvents, 0);
}
