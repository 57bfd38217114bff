// Attacks by single members, listers and strangers against a real host with honest
// members on loopback. Each case checks what the honest members received and that
// they are still in the room.
#include "RawPeer.h"
#include "session/DiscoveryDatagram.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

QByteArray sendPayload(PlayerId to, const QByteArray& payload) {
    WireWriter body;
    body.i32(to);
    body.bytes(payload);
    return encodeFrame(FrameType::Send, body.data());
}

// Hello, proof and CreatePlayer as one member sends them; the type of the host's
// answer to the CreatePlayer (0: none).
quint8 createAnswer(RawPeer& peer, const QString& name) {
    const QByteArray nonce = proof::randomNonce();
    peer.send(helloFrame(nonce));
    const auto challenge = peer.nextFrame();
    const QByteArray hostNonce = challenge ? challenge->body.mid(3, 16) : QByteArray();
    WireWriter create;
    create.string(name);
    create.string(u"Player"_s);
    peer.send(encodeFrame(FrameType::Auth, proof::joinMember({}, hostNonce, nonce)) +
              encodeFrame(FrameType::CreatePlayer, create.data()));
    const auto accepted = peer.nextFrame();
    const auto answer = peer.nextFrame();
    return accepted && answer ? answer->type : 0;
}

// A raw peer from another loopback address, which the host counts apart.
struct Stranger : RawPeer {
    explicit Stranger(quint16 port) : RawPeer(port) {
        socket.abort();
        socket.bind(QHostAddress(u"127.0.0.2"_s));
        socket.connectToHost(QHostAddress::LocalHost, port);
        EXPECT_TRUE(socket.waitForConnected(2000));
    }
};

class RoomHardening : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(host.hostAs(u"host"_s), 1);
        ASSERT_EQ(alice.joinAs(u"alice"_s), 2);
        ASSERT_TRUE(logShows(host, u"join 2 alice"_s));
        port = host.service->hostingPort();
    }
    // Both honest members are still in the room and still hear each other.
    void expectHonestStayed(const QString& line) {
        ASSERT_TRUE(alice.say(kEveryone, line).ok());
        EXPECT_TRUE(logShows(host, u"pub 2>0 "_s + line));
        ASSERT_TRUE(host.say(kEveryone, line).ok());
        EXPECT_TRUE(logShows(alice, u"pub 1>0 "_s + line));
    }

    SessionConfig config = loopbackConfig();
    TestCopy host{config}, alice{config};
    quint16 port = 0;
};

} // namespace

TEST_F(RoomHardening, ASendWhoseDeliverWouldNotFitIsRefusedAtTheExactLimit) {
    RawPeer peer(port);
    ASSERT_EQ(peer.joinAs(u"big"_s), 3);
    const qint64 max = config.maxPayloadBytes();
    const QString largest(max - 8, u'a'); // kind and string length take 8 bytes
    ASSERT_EQ(chatPayload(largest).size(), max);
    peer.send(sendPayload(kEveryone, chatPayload(largest)));
    EXPECT_TRUE(logShows(alice, u"pub 3>0 "_s + largest));
    peer.send(sendPayload(kEveryone, chatPayload(largest + u'a')));
    EXPECT_TRUE(peer.closedByHost());
    EXPECT_TRUE(logShows(alice, u"leave 3"_s));
    // An honest copy refuses the same message itself, and stays.
    EXPECT_EQ(errorCode(alice.say(kEveryone, largest + u'a')), kErrorInvalidParameter);
    expectHonestStayed(u"after the big one"_s);
}

TEST_F(RoomHardening, NamesThatWouldPassForAnotherPlayerOrALineAreRefused) {
    const quint8 refused = static_cast<quint8>(FrameType::PlayerRefused);
    for (const QString& name : {u""_s, u"alice"_s, u"x\u2028host"_s, u"ali\u200Bce"_s, u"\u202Eecila"_s, u"alice> hi"_s,
                                u"tab\there"_s, u"bom\uFEFF"_s}) {
        RawPeer peer(port);
        EXPECT_EQ(createAnswer(peer, name), refused) << name.toStdString();
    }
    // A name that merely looks alike is a name of its own.
    RawPeer alike(port);
    EXPECT_EQ(createAnswer(alike, u"alice>"_s), static_cast<quint8>(FrameType::PlayerCreated));
    EXPECT_TRUE(logShows(alice, u"join 3 alice>"_s));
    EXPECT_EQ(errorCode(TestCopy(config).service->createLocalPlayer(u"a\u200Db"_s, {}, 0, 0)), kErrorInvalidName);
    expectHonestStayed(u"names"_s);
}

TEST_F(RoomHardening, AFlooderIsHeldBackAndASlowHonestMemberLosesNothing) {
    RawPeer slow(port);
    ASSERT_EQ(slow.joinAs(u"slow"_s), 3);
    slow.socket.setReadBufferSize(16 * 1024);
    RawPeer flooder(port);
    ASSERT_EQ(flooder.joinAs(u"flooder"_s), 4);
    ASSERT_TRUE(logShows(alice, u"join 4 flooder"_s));

    // 24 MiB of messages at once, with honest lines between them.
    const int floods = 24;
    const QString big(config.maxPayloadBytes() - 16, u'f');
    QStringList expected;
    for (int i = 0; i < floods; ++i) {
        flooder.send(sendPayload(kEveryone, chatPayload(big + QString::number(i))));
        expected.append(u"4:"_s + QString::number(i));
        if (i % 8 == 0) {
            ASSERT_TRUE(alice.say(kEveryone, u"honest %1"_s.arg(i)).ok());
        }
    }
    // The slow member reads a little at a time, and receives everything in order.
    QStringList slowGot;
    testsupport::waitUntil(
        [&] {
            slow.decoder.feed(slow.socket.readAll());
            while (const auto frame = slow.decoder.next()) {
                WireReader in(frame->body);
                const PlayerId from = in.i32().value_or(0);
                in.i32();
                Message message(in.rest());
                (void)message.readInt32();
                const QString text = message.readString().valueOr({});
                if (frame->type == static_cast<quint8>(FrameType::Deliver) && from == 4) {
                    slowGot.append(u"4:"_s + text.mid(big.size()));
                }
            }
            testsupport::spinFor(2ms);
            return slowGot.size() >= floods;
        },
        60s);
    EXPECT_EQ(slowGot, expected);
    EXPECT_EQ(slow.socket.state(), QAbstractSocket::ConnectedState);
    ASSERT_TRUE(waitForLog(alice, 2 + floods, 30s));
    ASSERT_TRUE(logShows(host, u"pub 2>0 honest 16"_s));
    for (const TestCopy* copy : {&host, &alice}) {
        EXPECT_FALSE(copy->log.contains(u"leave 3"_s));
    }
    expectHonestStayed(u"after the flood"_s);
}

TEST_F(RoomHardening, OneAddressCannotTakeEveryHandshakeSlotNorGuessQuickly) {
    // Idle handshakes from one address fill its own slots only.
    std::vector<std::unique_ptr<RawPeer>> idle;
    for (int i = 0; i < config.maxHandshakesPerAddress + 1; ++i) {
        idle.push_back(std::make_unique<RawPeer>(port));
    }
    EXPECT_TRUE(idle.back()->closedByHost());
    Stranger other(port);
    EXPECT_EQ(other.joinAs(u"other"_s), 3);
    idle.clear();

    // Wrong proofs from one address: after a few, even the right one is refused
    // unchecked for a while; another address joins meanwhile.
    TestCopy guarded(config), guest(config);
    ASSERT_EQ(guarded.hostAs(u"guard"_s, u"secret"_s), 1);
    const quint16 guardedPort = guarded.service->hostingPort();
    for (int i = 0; i < config.freeWrongProofs; ++i) {
        RawPeer guesser(guardedPort);
        EXPECT_EQ(guesser.joinAs(u"guess"_s, u"guess%1"_s.arg(i)), 0);
    }
    RawPeer backedOff(guardedPort);
    EXPECT_EQ(backedOff.joinAs(u"late"_s, u"secret"_s), 0);
    Stranger elsewhere(guardedPort);
    EXPECT_EQ(elsewhere.joinAs(u"elsewhere"_s, u"secret"_s), 2);
    expectHonestStayed(u"limits"_s);
}

TEST_F(RoomHardening, AConnectionCreatesItsPlayerOnce) {
    RawPeer churn(port);
    ASSERT_EQ(churn.joinAs(u"churn"_s), 3);
    WireWriter create;
    create.string(u"churn"_s);
    create.string(u"Player"_s);
    churn.send(encodeFrame(FrameType::DestroyPlayer, {}) + encodeFrame(FrameType::CreatePlayer, create.data()));
    EXPECT_TRUE(churn.closedByHost());
    // Retrying at once after a refusal is churn too.
    RawPeer hasty(port);
    ASSERT_EQ(createAnswer(hasty, u"alice"_s), static_cast<quint8>(FrameType::PlayerRefused));
    hasty.send(encodeFrame(FrameType::CreatePlayer, create.data()));
    EXPECT_TRUE(hasty.closedByHost());
    expectHonestStayed(u"churn"_s);
    EXPECT_EQ(alice.log, (QStringList{u"join 3 churn"_s, u"leave 3"_s, u"pub 1>0 churn"_s}));
}

TEST_F(RoomHardening, DiscoveryNeitherAmplifiesNorFloodsTheLister) {
    // The host answers a padded query with no more bytes than it got, a short one not at all.
    QUdpSocket asker;
    ASSERT_TRUE(asker.bind(QHostAddress::LocalHost, 0));
    const QByteArray bare = encodeQuery(DiscoveryQuery{proof::randomNonce(), appId(), {}});
    const QByteArray query = padQuery(bare);
    asker.writeDatagram(bare, QHostAddress::LocalHost, config.discoveryPort);
    asker.writeDatagram(query, QHostAddress::LocalHost, config.discoveryPort);
    ASSERT_TRUE(testsupport::waitUntil([&] { return asker.hasPendingDatagrams(); }));
    testsupport::spinFor(100ms);
    EXPECT_LE(asker.receiveDatagram().data().size(), query.size());
    EXPECT_FALSE(asker.hasPendingDatagrams());

    // Only loopback and the subnets of this machine's interfaces are answered.
    QNetworkAddressEntry lan;
    lan.setIp(QHostAddress(u"10.231.1.1"_s));
    lan.setPrefixLength(24);
    for (const auto& [address, answered] :
         {std::pair{u"127.0.0.9"_s, true}, std::pair{u"::1"_s, true}, std::pair{u"10.231.1.7"_s, true},
          std::pair{u"::ffff:10.231.1.7"_s, true}, std::pair{u"10.231.2.7"_s, false}, std::pair{u"8.8.8.8"_s, false}}) {
        EXPECT_EQ(isDirectlyConnected(QHostAddress(address), {lan}), answered) << address.toStdString();
    }

    // A stranger who saw the query answers it without end, with names no room can have.
    QUdpSocket forger;
    ASSERT_TRUE(forger.bind(QHostAddress::AnyIPv4, config.discoveryPort,
                            QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
    QObject::connect(&forger, &QUdpSocket::readyRead, &forger, [&] {
        const QNetworkDatagram datagram = forger.receiveDatagram();
        const auto asked = parseQuery(datagram.data());
        for (int i = 0; asked && i < 400; ++i) {
            DiscoveryAnswer answer;
            answer.nonce = asked->nonce;
            answer.instanceId = proof::randomNonce();
            answer.applicationId = appId();
            answer.roomName = i < 20   ? u"evil\u001b[2J\n%1"_s.arg(i)
                              : i < 40 ? QString(300, u'x')
                                       : u"forged %1"_s.arg(i);
            answer.port = 1;
            forger.writeDatagram(encodeAnswer(answer), datagram.senderAddress(), datagram.senderPort());
        }
    });
    RoomDescription listing;
    listing.applicationId = appId();
    SessionConfig bounded = config;
    bounded.maxListedRooms = 50;
    TestCopy lister(bounded);
    const auto rooms = lister.service->listRooms(listing, 0);
    ASSERT_TRUE(rooms.ok());
    EXPECT_EQ(rooms->count(), bounded.maxListedRooms);
    for (const RoomDescription& room : rooms->items()) {
        EXPECT_TRUE(room.name == u"room"_s || room.name.startsWith(u"forged "_s)) << room.name.toStdString();
    }
    expectHonestStayed(u"discovery"_s);
}

TEST_F(RoomHardening, ProofsNeedTheSlowKeyAndTheCurrentVersion) {
    TestCopy guarded(config);
    ASSERT_EQ(guarded.hostAs(u"guard"_s, u"pw"_s), 1);
    const quint16 guardedPort = guarded.service->hostingPort();
    // A proof keyed with the bare password, as a recorded one could be checked offline.
    RawPeer bare(guardedPort);
    const QByteArray nonce = proof::randomNonce();
    bare.send(helloFrame(nonce));
    const auto challenge = bare.nextFrame();
    ASSERT_TRUE(challenge && challenge->body.size() == 2 + 1 + 16 + 16);
    bare.send(
        encodeFrame(FrameType::Auth, proof::joinMember(QByteArrayLiteral("pw"), challenge->body.mid(3, 16), nonce)));
    const auto refused = bare.nextFrame();
    EXPECT_TRUE(refused && refused->type == static_cast<quint8>(FrameType::Reject));
    // A member of the previous version is told so.
    RawPeer old(guardedPort);
    QByteArray hello = helloFrame();
    hello[5 + 4 + 1] = 1; // the version's low byte
    old.send(hello);
    const auto answer = old.nextFrame();
    ASSERT_TRUE(answer && answer->type == static_cast<quint8>(FrameType::Reject));
    EXPECT_EQ(WireReader(answer->body).u32().value_or(0), static_cast<quint32>(RefuseReason::Version));
    RawPeer member(guardedPort);
    EXPECT_EQ(member.joinAs(u"member"_s, u"pw"_s), 2);
    expectHonestStayed(u"proofs"_s);
}
