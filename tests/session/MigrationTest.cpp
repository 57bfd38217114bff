#include "RawPeer.h"
#include "session/host/RoomHost.h"
#include "session/member/RoomMember.h"
#include "session/net/RoomListener.h"
#include "session/tcp/HostedRoom.h"
#include "session/tcp/TcpTransport.h"
#include "session/wire/Succession.h"

#include <QtEndian>
#include <algorithm>

namespace sessiontest {
namespace {

// Every copy works the order out alone; they must agree on it, skip whoever cannot be
// reached the same way, and never pick the old host.
TEST(HostMigration, ElectionTriesTheEarliestJoinedReachableMemberFirst) {
    const QHostAddress lan(u"10.0.0.2"_s);
    const QList<RoomPlayer> players = {{1, u"host"_s, {}, {}},
                                       {2, u"a"_s, {}, {lan, 5000}},
                                       {3, u"natted"_s, {}, {lan, 0}},
                                       {4, u"b"_s, {}, {lan, 5001}},
                                       {5, u"c"_s, {}, {lan, 5002}}};
    using S = Election::Step;
    struct Case {
        PlayerId oldHost, self;
        QList<std::pair<S, PlayerId>> steps; // what next() says, and for Try the candidate
    };
    const Case cases[] = {
        {0, 2, {{S::BecomeHost, 2}}},
        {0, 4, {{S::Try, 2}, {S::BecomeHost, 4}}},
        {0, 3, {{S::Try, 2}, {S::Try, 4}, {S::Try, 5}, {S::GiveUp, 0}}},
        {2, 5, {{S::Try, 4}, {S::BecomeHost, 5}}}, // the old host named, as after a first move
    };
    EXPECT_EQ(Election(players.mid(0, 2), 0, 2).next(), S::BecomeHost); // alone: the room goes on here
    for (const Case& c : cases) {
        Election election(players, c.oldHost, c.self);
        for (const auto& [step, id] : c.steps) {
            ASSERT_EQ(election.next(), step) << "self " << c.self << " expecting " << id;
            if (step != S::GiveUp) {
                EXPECT_EQ(election.candidate().id, id);
            }
        }
    }
}

// The earliest member takes the room over, with its identity and the room secret a
// stranger with the password cannot prove. All had b's line, so b sends none again; d
// (raw) held its Ack of c's, which c sends again. c and d resume there, c twice, d by
// signing its connection with its key; no resume secret reaches the new host, and the
// one d was given by the old host is worth nothing there.
TEST(HostMigration, ASuccessorKeepsTheRoomItsNumbersAndItsPlayersSecrets) {
    const SessionConfig config = loopbackConfig();
    TestCopy a(config), b(config), c(config);
    ASSERT_EQ(a.hostAs(u"a"_s, u"pw"_s), 1);
    ASSERT_EQ(b.joinAs(u"b"_s, u"pw"_s), 2);
    ASSERT_EQ(c.joinAs(u"c"_s, u"pw"_s), 3);
    RawPeer d(a.service->hostingPort());
    const auto created = d.authenticate(createFrame(u"d"_s), u"pw"_s);
    ASSERT_TRUE(created && created->type == quint8(FrameType::PlayerCreated));
    const auto say = [](TestCopy& from, TestCopy& to, const QString& text) {
        ASSERT_TRUE(from.say(kEveryone, text).ok());
        ASSERT_TRUE(logShows(to, u"pub %1>0 %2"_s.arg(from.id).arg(text)));
    };
    say(b, c, u"b1"_s);
    say(c, b, u"c1"_s);
    d.send(encodeFrame(FrameType::Ack, QByteArray::fromHex("00000001"))); // b1, not c1
    // c's acknowledgements leave within 20 ms; the old host tells b that all have b1.
    QElapsedTimer acks;
    acks.start();
    testsupport::waitUntil([&] { return acks.elapsed() >= 200; });
    const auto reach = [&](quint16 port) {
        RoomMember member(config);
        std::optional<quint32> result;
        QObject::connect(&member, &RoomMember::opened, &member, [&] { result = 0; });
        QObject::connect(&member, &RoomMember::openFailed, &member, [&](const Error& e) { result = e.code; });
        member.open(u"127.0.0.1"_s, port, appId(), u"pw"_s, created->body.mid(4 + kSecretBytes, kSecretBytes));
        testsupport::waitUntil([&] { return result.has_value(); });
        return std::pair{result.value_or(1), member.instanceId()};
    };
    const auto room = reach(a.service->hostingPort());
    a.service->close();
    ASSERT_TRUE(testsupport::waitUntil([&] { return b.service->hostingPort() != 0; }));
    {
        RoomHost stranger(config, {appId(), u"room"_s, u"pw"_s, kMigratingRoomAttribute});
        ASSERT_TRUE(stranger.start(false).ok());
        EXPECT_EQ(reach(stranger.port()).first, kErrorAccessDenied);
    }
    EXPECT_EQ(reach(b.service->hostingPort()), room);
    say(b, c, u"b2"_s);
    say(c, b, u"c2"_s);
    for (QTcpSocket* socket : c.service->findChildren<QTcpSocket*>())
        socket->abort();
    say(b, c, u"b3"_s);
    say(c, b, u"c3"_s);

    // A Resume of `id`, taking d's first event, proved by this device's key (or by
    // `secret` and a stranger's signature): the answer's type and first field, then
    // each line as sender:seq.
    const auto resume = [&](qint32 id, const QByteArray& secret) {
        RawPeer back(b.service->hostingPort());
        EXPECT_TRUE(back.secure());
        QByteArray body = back.resumeBody(id, 1);
        if (!secret.isEmpty()) {
            const auto stranger = secure::SigningKey::fromSeed(secure::SecretBytes<32>{});
            body = body.left(4) + secret + body.mid(4 + kSecretBytes, 4) + stranger.sign(QByteArrayView("x"));
        }
        const auto answer = back.authenticate(encodeFrame(FrameType::Resume, body), u"pw"_s);
        QStringList got{answer ? u"%1 %2"_s.arg(answer->type).arg(qFromBigEndian<quint32>(answer->body.data()))
                               : QString()};
        for (;;) {
            const auto frame = back.nextFrame();
            if (!frame || frame->type != quint8(FrameType::Deliver))
                break;
            got.append(u"%1:%2"_s.arg(qFromBigEndian<qint32>(frame->body.data()))
                           .arg(qFromBigEndian<quint32>(frame->body.data() + 8)));
        }
        std::sort(got.begin() + 1, got.end());
        return got;
    };
    const QString password = u"%1 %2"_s.arg(quint8(FrameType::Reject)).arg(quint32(RefuseReason::Password));
    const QString nobody = u"%1 %2"_s.arg(quint8(FrameType::Reject)).arg(quint32(RefuseReason::NoSuchPlayer));
    // d's secret field from the old host (zero: it has a key), with a signature by
    // another key, proves nothing.
    const QByteArray secret = created->body.mid(4, kSecretBytes);
    for (const auto& [id, answer] : {std::pair{4, password}, std::pair{3, password}, std::pair{2, nobody},
                                     std::pair{1, nobody}, std::pair{9, nobody}})
        EXPECT_EQ(resume(id, secret), QStringList{answer}) << id;
    EXPECT_EQ(resume(4, {}), (QStringList{u"%1 0"_s.arg(quint8(FrameType::Resumed)), u"2:2"_s, u"2:3"_s, u"3:1"_s,
                                          u"3:2"_s, u"3:3"_s}));

    TestCopy e(config);
    ASSERT_EQ(e.joinAs(u"e"_s, u"pw"_s), 5);
    EXPECT_EQ(e.service->listPlayers()->count(), 4); // the old host's player is gone
    // The successor gives a newcomer what was said, its own lines and what it was sent.
    ASSERT_TRUE(logShows(e, u"hist 3>0 c3"_s));
    EXPECT_EQ(e.log, (QStringList{u"hist 2>0 b1"_s, u"hist 3>0 c1"_s, u"hist 2>0 b2"_s, u"hist 3>0 c2"_s,
                                  u"hist 2>0 b3"_s, u"hist 3>0 c3"_s}));
    ASSERT_TRUE(logShows(b, u"join 5 e"_s)); // the host's own player hears of it on a later turn
    ASSERT_TRUE(logShows(c, u"join 5 e"_s));
    EXPECT_EQ(b.log, (QStringList{u"join 3 c"_s, u"join 4 d"_s, u"pub 3>0 c1"_s, u"leave 1"_s, u"pub 3>0 c2"_s,
                                  u"pub 3>0 c3"_s, u"join 5 e"_s}));
    EXPECT_EQ(c.log, (QStringList{u"join 4 d"_s, u"pub 2>0 b1"_s, u"leave 1"_s, u"pub 2>0 b2"_s, u"pub 2>0 b3"_s,
                                  u"join 5 e"_s}));
}

// A member that took the room over and that none of the room's members comes to was
// cut off from them, or they are gone. It asks at their endpoints: where one of them
// hosts the room, the room ends here and what was sent meanwhile comes back; where
// nobody answers as the room's host (a standby port says nothing), it goes on.
TEST(HostMigration, ASuccessorNobodyComesToEndsItsRoomOnlyWhereTheRoomIsHostedElsewhere) {
    SessionConfig config = loopbackConfig();
    config.successorDelay = 100ms;
    config.successorTimeout = 400ms;
    config.connectTimeout = 800ms;
    const RoomHost::Settings settings{appId(), u"room"_s, u"pw"_s, kMigratingRoomAttribute};
    const QByteArray instance(proof::kNonceBytes, 'i');
    const QByteArray secret(kSecretBytes, 's');
    for (const bool elsewhere : {true, false}) {
        // Player 2 took the room over; player 3 hosts it on its own (or is a silent standby port).
        RoomListener silent;
        ASSERT_TRUE(silent.listenInRange(config));
        std::unique_ptr<RoomHost> other;
        quint16 otherPort = silent.serverPort();
        const auto snapshot = [&](PlayerId local, quint16 peerPort) {
            const Endpoint self{};
            const Endpoint peer{QHostAddress(u"127.0.0.1"_s), peerPort};
            return RoomSnapshot{instance,
                                secret,
                                {RoomPlayer{2, u"b"_s, QByteArray(kSecretBytes, 'b'), local == 2 ? self : peer},
                                 RoomPlayer{3, u"c"_s, QByteArray(kSecretBytes, 'c'), local == 3 ? self : peer}},
                                local,
                                4};
        };
        if (elsewhere) {
            other = std::make_unique<RoomHost>(config, settings, snapshot(3, 1));
            ASSERT_TRUE(other->start(false).ok());
            otherPort = other->port();
        }
        TcpTransport transport(config);
        HostedRoomLink link(transport, nullptr);
        bool ended = false;
        QList<QByteArray> back;
        QObject::connect(&link, &RoomLink::ended, [&] { ended = true; });
        QObject::connect(&link, &RoomLink::undelivered, [&](PlayerId, const QByteArray& payload) { back << payload; });
        auto* standby = new RoomListener;
        ASSERT_TRUE(standby->listenInRange(config));
        ASSERT_TRUE(link.takeOver(settings, snapshot(2, otherPort), standby, {{kEveryone, 1, "before"}}, [] {}).ok());
        ASSERT_TRUE(link.send(kEveryone, "after").ok());
        testsupport::waitUntil([&] { return ended; }, 2500ms);
        EXPECT_EQ(ended, elsewhere);
        EXPECT_EQ(back, elsewhere ? (QList<QByteArray>{"before", "after"}) : QList<QByteArray>{});
        EXPECT_EQ(link.hostingPort() != 0, !elsewhere);
        link.leave();
        if (other) {
            other.release()->shutDown();
        }
    }
}

// Members reach a successor's standby port a moment before it knows it hosts the room.
// Their connections are answered on the host's thread: their handshake deadline is
// stopped there once they are in, and goes with them when they leave.
TEST(HostMigration, AMemberThatReachedTheStandbyPortFirstStaysOnceIn) {
    SessionConfig config = loopbackConfig();
    config.handshakeTimeout = 300ms;
    const RoomHost::Settings settings{appId(), u"room"_s, {}, kMigratingRoomAttribute};
    TcpTransport transport(config);
    HostedRoomLink link(transport, nullptr);
    auto* standby = new RoomListener;
    ASSERT_TRUE(standby->listenInRange(config));
    RawPeer early(standby->serverPort());
    testsupport::waitUntil([] { return false; }, 100ms); // the listener keeps it
    const RoomSnapshot snapshot{QByteArray(16, 'i'),
                                QByteArray(kSecretBytes, 's'),
                                {RoomPlayer{2, u"b"_s, QByteArray(kSecretBytes, 'b'), {}}},
                                2,
                                3};
    ASSERT_TRUE(link.takeOver(settings, snapshot, standby, {}, [] {}).ok());
    ASSERT_NE(early.joinAs(u"d"_s), 0);
    testsupport::waitUntil([] { return false; }, 3 * config.handshakeTimeout);
    ASSERT_TRUE(link.send(kEveryone, chatPayload(u"still here"_s)).ok());
    std::optional<Frame> frame;
    do {
        frame = early.nextFrame(); // its delegation comes first
    } while (frame && frame->type != quint8(FrameType::Deliver));
    EXPECT_TRUE(frame.has_value()) << "the member was dropped";
    early.socket.abort(); // its link goes, and no timer of it is left behind anywhere
    testsupport::waitUntil([] { return false; }, 3 * config.handshakeTimeout);
    link.leave();
}

} // namespace
} // namespace sessiontest
