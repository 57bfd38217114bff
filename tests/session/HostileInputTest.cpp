// The handshake's and the room's own rules against peers that break them. Byte
// streams from strangers (malformed hellos, random bytes, other protocols, huge
// lengths, frames cut off) are the load tests' part, against a host process.
#include "RawPeer.h"

#include <QTcpServer>
#include <gtest/gtest.h>

using namespace sessiontest;

TEST(HostileInput, AMemberCannotForgeItsSenderAndItsUnknownFramesAreIgnored) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s), 2);
    RawPeer peer(host.service->hostingPort());
    ASSERT_EQ(peer.joinAs(u"peer"_s), 3);

    // A Deliver frame sent to the host claims another sender and is not relayed. Only
    // the honest line arrives, and the room goes on.
    peer.send(encodeFrame(static_cast<FrameType>(0x7e), QByteArrayLiteral("future stuff")));
    WireWriter forged;
    forged.i32(1);
    forged.i32(0);
    forged.bytes(chatPayload(u"forged"_s));
    peer.send(encodeFrame(FrameType::Deliver, forged.data()) + sendFrame(u"honest"_s));
    ASSERT_TRUE(logShows(alice, u"pub 3>0 honest"_s));
    ASSERT_TRUE(alice.say(kEveryone, u"still here"_s).ok());
    ASSERT_TRUE(logShows(host, u"pub 2>0 still here"_s));
    EXPECT_EQ(host.log,
              (QStringList{u"join 2 alice"_s, u"join 3 peer"_s, u"pub 3>0 honest"_s, u"pub 2>0 still here"_s}));
    EXPECT_EQ(alice.log, (QStringList{u"join 3 peer"_s, u"pub 3>0 honest"_s}));
    EXPECT_EQ(peer.socket.state(), QAbstractSocket::ConnectedState);
}

TEST(HostileInput, APlayerSentBehindAWrongProofIsNeverCreated) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s, u"secret"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s, u"secret"_s), 2);
    ASSERT_TRUE(waitForLog(host, 1));

    RawPeer intruder(host.service->hostingPort());
    EXPECT_EQ(intruder.joinAs(u"intruder"_s, u"guess"_s), 0);
    EXPECT_TRUE(intruder.closedByHost());
    // The right proof with the player behind it joins in one go.
    RawPeer guest(host.service->hostingPort());
    const PlayerId id = guest.joinAs(u"guest"_s, u"secret"_s);
    ASSERT_NE(id, 0);
    ASSERT_TRUE(waitForLog(alice, 1));
    EXPECT_EQ(alice.log, QStringList{u"join %1 guest"_s.arg(id)});
    EXPECT_EQ(host.log.last(), u"join %1 guest"_s.arg(id));
}

TEST(HostileInput, AMemberThatStopsReadingIsDroppedAndLeaves) {
    SessionConfig config = loopbackConfig();
    config.maxBufferedBytesPerMember = 256 * 1024;
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s), 2);

    RawPeer sleeper(host.service->hostingPort());
    const PlayerId sleeperId = sleeper.joinAs(u"sleeper"_s);
    sleeper.socket.setReadBufferSize(1); // reads (almost) nothing from now on
    ASSERT_TRUE(waitForLog(host, 2));

    const QString big(16 * 1024, u'あ');
    const QString left = u"leave %1"_s.arg(sleeperId);
    for (int i = 0; i < 2000 && !alice.log.contains(left); ++i) {
        ASSERT_TRUE(host.say(kEveryone, big).ok());
        if (i % 20 == 0) {
            testsupport::spinFor(1ms);
        }
    }
    EXPECT_TRUE(logShows(host, left));
    EXPECT_TRUE(logShows(alice, left));
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
                    out.bytes(QByteArray(16, 'i'));
                    link->write(encodeFrame(FrameType::Challenge, out.data()));
                } else if (frame->type == static_cast<quint8>(FrameType::Auth)) {
                    out.bytes(proof::joinHost({}, hostNonce, memberNonce));
                    out.bytes(QByteArray(16, 'i'));
                    out.string(u"room"_s);
                    out.i32(4);
                    link->write(encodeFrame(FrameType::Accept, out.data()));
                } else if (frame->type == static_cast<quint8>(FrameType::CreatePlayer)) {
                    out.i32(5);
                    out.u32(2);
                    out.i32(1);
                    out.string(u"host"_s);
                    out.i32(5);
                    out.string(u"me"_s);
                    WireWriter deliver;
                    deliver.i32(1);
                    deliver.i32(kEveryone);
                    deliver.bytes(chatPayload(u"welcome"_s));
                    link->write(encodeFrame(FrameType::PlayerCreated, out.data()) +
                                encodeFrame(FrameType::Deliver, deliver.data()));
                }
            }
        });
    });

    TestCopy member(loopbackConfig());
    RoomDescription room;
    room.applicationId = appId();
    room.hostAddress = u"127.0.0.1"_s;
    room.hostPort = fakeHost.serverPort();
    ASSERT_TRUE(member.service->openRoom(room, OpenMode::Join).ok());
    ASSERT_EQ(member.createPlayer(u"me"_s), 5);
    ASSERT_TRUE(waitForLog(member, 1));
    EXPECT_EQ(member.log, QStringList{u"pub 1>0 welcome"_s});
    EXPECT_EQ(member.emptyEvents, 0);
}
