// Attacks by one member, lister or stranger against a real host with honest members
// on loopback. Byte streams from strangers are the load tests' part.
#include "RawPeer.h"
#include "common/TestNetwork.h"
#include "session/host/RoomHost.h"
#include "session/secure/ListingSeal.h"
#include "session/wire/DiscoveryDatagram.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>

using namespace sessiontest;

namespace {

// The type of the host's answer to a CreatePlayer sent right behind the proof.
quint8 createAnswer(RawPeer& peer, const QString& name) {
    const auto answer = peer.authenticate(createFrame(name));
    return answer ? answer->type : 0;
}

const QHostAddress kElsewhere(u"127.0.0.2"_s);

// Passes listing queries sent to its port on to the host's discovery port and the
// answers back, keeping every datagram.
struct CapturingRelay {
    CapturingRelay(quint16 hostPort) {
        EXPECT_TRUE(socket.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::ShareAddress));
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this, hostPort] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = socket.receiveDatagram();
                const bool fromHost = datagram.senderPort() == hostPort;
                (fromHost ? answers : queries).append(datagram.data());
                if (!fromHost)
                    lister = {datagram.senderAddress(), static_cast<quint16>(datagram.senderPort())};
                socket.writeDatagram(datagram.data(), fromHost ? lister.first : QHostAddress(QHostAddress::LocalHost),
                                     fromHost ? lister.second : hostPort);
            }
        });
    }
    QUdpSocket socket;
    QList<QByteArray> queries, answers;
    std::pair<QHostAddress, quint16> lister;
};

// What a guesser can compute from what it saw: an ISK, the draft's way, over the
// shares and nonce it saw and a K it chooses, and the sealing key the document gives.
QByteArray guessedKey(const QByteArray& nonce, const QByteArray& ya, const QByteArray& yb, const QByteArray& k) {
    const QByteArray input = secure::lvCat({QByteArray("CPaceRistretto255_ISK"), nonce, k}) + secure::lvCat({ya, {}}) +
                             secure::lvCat({yb, {}});
    const QByteArray isk = QCryptographicHash::hash(input, QCryptographicHash::Sha512);
    return QCryptographicHash::hash(QByteArray(QByteArray("mirelune listing answer") + isk), QCryptographicHash::Sha512)
        .left(32);
}
bool opensUnder(const QByteArray& key, const QByteArray& sealed) {
    QByteArray plain(sealed.size(), Qt::Uninitialized);
    unsigned long long length = 0;
    const unsigned char zero[12] = {};
    return crypto_aead_chacha20poly1305_ietf_decrypt(
               reinterpret_cast<unsigned char*>(plain.data()), &length, nullptr, secure::bytesOf(sealed),
               static_cast<unsigned long long>(sealed.size()), nullptr, 0, zero, secure::bytesOf(key)) == 0;
}

// The listing proofs keyed by the password are gone: a call to any of them finds only
// this stand-in (qualified lookup looks into the using-directive only when the
// namespace itself has no such name).
namespace gone {
struct Absent {};
template <typename... A>
Absent listKey(A&&...);
template <typename... A>
Absent listQuery(A&&...);
template <typename... A>
Absent listAnswer(A&&...);
} // namespace gone
} // namespace
namespace session::proof {
using namespace ::gone;
}
namespace {
static_assert(std::is_same_v<decltype(proof::listKey(QString(), QString())), gone::Absent>);
static_assert(std::is_same_v<decltype(proof::listQuery(QByteArray(), QByteArray(), QString())), gone::Absent>);
static_assert(std::is_same_v<decltype(proof::listAnswer(QByteArray(), QByteArray(), QByteArray())), gone::Absent>);

class RoomUnderAttack : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(host.hostAs(u"host"_s), 1);
        ASSERT_EQ(alice.joinAs(u"alice"_s), 2);
        ASSERT_TRUE(logShows(host, u"join 2 alice"_s));
        port = host.service->hostingPort();
    }
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

// A member with the longest name allowed: a frame of an unknown type is ignored, a
// Deliver claiming another sender is not relayed, a line of the largest size is, and
// one byte more closes the connection (the service refuses to send it at all).
TEST_F(RoomUnderAttack, OnlyHonestLinesUpToTheExactLimitAreRelayed) {
    RawPeer peer(port);
    const QString longest(255, u'名');
    ASSERT_EQ(peer.joinAs(longest), 3);
    const QString largest(config.maxPayloadBytes() - 8, u'a'); // kind and length take 8
    peer.send(encodeFrame(static_cast<FrameType>(0x7e), QByteArrayLiteral("future stuff")) +
              chatFrame(u"forged"_s, 1, 1) + peer.line(largest));
    ASSERT_TRUE(logShows(alice, u"pub 3>0 "_s + largest));
    peer.send(peer.line(largest + u'a', 2));
    EXPECT_TRUE(peer.closedByHost());
    ASSERT_TRUE(logShows(alice, u"leave 3"_s));
    EXPECT_EQ(alice.log, (QStringList{u"join 3 "_s + longest, u"pub 3>0 "_s + largest, u"leave 3"_s}));
    EXPECT_EQ(host.log.mid(1), alice.log);
    EXPECT_EQ(errorCode(alice.say(kEveryone, largest + u'a')), kErrorInvalidParameter);
    expectHonestStayed(u"after the big one"_s);
}

TEST_F(RoomUnderAttack, AFlooderIsHeldBackAndASlowHonestMemberLosesNothing) {
    RawPeer slow(port), flooder(port);
    ASSERT_EQ(slow.joinAs(u"slow"_s), 3);
    slow.socket.setReadBufferSize(64 * 1024);
    slow.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024); // no deep kernel buffer
    ASSERT_EQ(flooder.joinAs(u"flooder"_s), 4);
    // 24 MiB at once, with honest lines between; the slow member reads a little at a time.
    const QString big(config.maxPayloadBytes() - 16, u'f');
    QList<QByteArray> expected, got;
    for (int i = 10; i < 34; ++i) {
        flooder.send(flooder.line(big + QString::number(i), i - 9));
        expected.append(QByteArray::number(i));
        ASSERT_TRUE(i % 8 != 0 || alice.say(kEveryone, u"honest %1"_s.arg(i)).ok());
    }
    qsizetype ahead = 0; // flood lines Alice has, beyond those the slow member has
    QElapsedTimer beat;  // both stay in the room as members do: by saying something now and then
    beat.start();
    testsupport::waitUntil(
        [&] {
            if (beat.hasExpired(500)) {
                beat.restart();
                for (RawPeer* peer : {&slow, &flooder})
                    peer->send(encodeFrame(FrameType::Heartbeat, {}));
            }
            slow.pump();
            while (const auto frame = slow.decoder.next()) {
                if (frame->type == static_cast<quint8>(FrameType::Deliver) && WireReader(frame->body).i32() == 4) {
                    got.append(frame->body.right(2));
                }
            }
            ahead = std::max(ahead, alice.log.filter(u"pub 4>0 "_s).size() - got.size());
            testsupport::spinFor(2ms);
            return got.size() >= expected.size();
        },
        60s);
    EXPECT_EQ(got, expected);
    // Held back, the flooder reaches Alice a few lines ahead of the slow member at most;
    // read at once, all of it would.
    EXPECT_LE(ahead, 12);
    slow.socket.setReadBufferSize(0); // reads all from now on
    ASSERT_TRUE(waitForLog(alice, 2 + 24, 30s));
    EXPECT_TRUE(logShows(host, u"pub 2>0 honest 32"_s));
    EXPECT_FALSE(host.log.contains(u"leave 3"_s) || alice.log.contains(u"leave 3"_s));
    expectHonestStayed(u"after the flood"_s);
}

// Short lines as fast as the socket takes them, far more than the host lets wait for
// acknowledgements: the flooder is held back by their count, and nobody is let go for it.
TEST_F(RoomUnderAttack, AFloodOfShortLinesIsHeldBackByCountAndNobodyHonestGoes) {
    RawPeer flooder(port);
    ASSERT_EQ(flooder.joinAs(u"flooder"_s), 3);
    constexpr int kLines = 40000;
    QByteArray burst;
    for (int i = 1; i <= kLines; ++i)
        burst += flooder.line(u"f"_s, i);
    flooder.send(burst);
    ASSERT_TRUE(alice.say(kEveryone, u"honest"_s).ok());
    const auto beat = [&] { flooder.send(encodeFrame(FrameType::Heartbeat, {})); };
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            beat();
            return alice.log.size() >= 1 + kLines && host.log.size() >= 2 + kLines;
        },
        60s));
    EXPECT_FALSE(host.log.contains(u"leave 2"_s) || alice.log.contains(u"leave 1"_s));
    expectHonestStayed(u"after the short flood"_s);
}

// Joining and leaving in a loop from one address: its players come at the steady rate
// only, so every honest member sees a bounded number of notices, and talks on.
// File parts go to the one player they name, the host's own included, and never back
// to their sender. A member that sends far more than anybody takes (to a member that
// reads nothing) loses parts, not its place, and the room's lines go on meanwhile; a
// part without its receiver closes the connection.
TEST_F(RoomUnderAttack, FilePartsReachOnePlayerAndAFloodOfThemCostsTheRoomLittle) {
    TestCopy bob{config};
    ASSERT_EQ(bob.joinAs(u"bob"_s), 3);
    ASSERT_TRUE(logShows(alice, u"join 3 bob"_s));
    const QByteArray part(kMaxFilePartBytes, 'p');
    ASSERT_TRUE(alice.service->sendFilePart(1, part).ok());
    ASSERT_TRUE(host.service->sendFilePart(3, "to bob").ok());
    EXPECT_EQ(errorCode(alice.service->sendFilePart(2, "me")), kErrorInvalidPlayer);
    EXPECT_EQ(errorCode(alice.service->sendFilePart(3, part + 'x')), kErrorInvalidParameter);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !host.fileParts.isEmpty() && !bob.fileParts.isEmpty(); }));
    EXPECT_EQ(host.fileParts, (QList<std::pair<PlayerId, QByteArray>>{{2, part}}));
    EXPECT_EQ(bob.fileParts, (QList<std::pair<PlayerId, QByteArray>>{{1, "to bob"}}));

    RawPeer sink(port), flooder(port);
    ASSERT_EQ(sink.joinAs(u"sink"_s), 4);
    ASSERT_EQ(flooder.joinAs(u"flooder"_s), 5);
    sink.socket.setReadBufferSize(64 * 1024);
    QByteArray parts;
    for (int i = 0; i < 400; ++i) { // 32 MB, far above what the host keeps for one member
        parts += encodeFrame(FrameType::FilePart, QByteArray::fromHex("00000004") + part);
    }
    flooder.send(parts);
    expectHonestStayed(u"during the flood"_s);
    ASSERT_TRUE(alice.service->sendFilePart(3, "after the flood").ok());
    ASSERT_TRUE(testsupport::waitUntil([&] { return bob.fileParts.size() == 2; }));
    flooder.send(encodeFrame(FrameType::FilePart, QByteArray(2, '\0')));
    EXPECT_TRUE(flooder.closedByHost());
    EXPECT_TRUE(logShows(alice, u"leave 5"_s));
}

TEST_F(RoomUnderAttack, JoinsAndLeavesInALoopAreHeldToASteadyRate) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000) {
        RawPeer churner(port, kElsewhere);
        churner.joinAs(u"churn"_s);
        churner.send(encodeFrame(FrameType::Goodbye, {}));
        churner.closedByHost();
    }
    testsupport::spinFor(100ms);
    // The first join, then two a second.
    EXPECT_LE(alice.log.size(), 2 * (2 + 3 * config.joinsPerAddressPerSecond));
    expectHonestStayed(u"after the churn"_s);
}

// A guess needs the password's CPace and a hello the current version, and the keys
// change behind it. After a few wrong guesses even the right one is refused for a while, from that address only;
// handshakes in progress (silent, or waiting for their proof) are capped per address
// and in total.
TEST_F(RoomUnderAttack, ProofsAreCheckedAndGuessesAndHandshakesAreHeldBack) {
    SessionConfig capped = config;
    capped.maxHandshakesPerAddress = 3;
    capped.maxPendingHandshakes = 4;
    TestCopy guarded(capped);
    ASSERT_EQ(guarded.hostAs(u"guard"_s, u"secret"_s), 1);
    const quint16 guardedPort = guarded.service->hostingPort();
    {
        RawPeer bare(guardedPort), old(guardedPort);
        const QByteArray nonce = proof::randomNonce();
        ASSERT_TRUE(bare.secure());
        bare.send(helloFrame(nonce));
        const auto challenge = bare.nextFrame();
        ASSERT_TRUE(challenge && challenge->body.size() == 2 + 1 + 16 + 16 + 32);
        // A share and a tag made without the password: one wrong guess, counted.
        bare.send(encodeFrame(FrameType::Auth, challenge->body.right(32) + QByteArray(64, 't')));
        const auto refused = bare.nextFrame();
        EXPECT_TRUE(refused && refused->type == static_cast<quint8>(FrameType::Reject));
        QByteArray hello = helloFrame();
        hello[5 + 4 + 1] = 3; // a member of the previous version is told so, in clear
        old.send(hello);
        const auto answer = old.nextFrame();
        ASSERT_TRUE(answer && answer->type == static_cast<quint8>(FrameType::Reject));
        EXPECT_EQ(WireReader(answer->body).u32().value_or(0), static_cast<quint32>(RefuseReason::Version));
    }
    EXPECT_EQ(RawPeer(guardedPort).joinAs(u"member"_s, u"secret"_s), 2);
    {
        // The keys change behind Auth: a frame sent right behind it closes the connection.
        RawPeer early(guardedPort);
        ASSERT_TRUE(early.secure());
        const QByteArray nonce = proof::randomNonce();
        early.send(helloFrame(nonce));
        const auto challenge = early.nextFrame();
        ASSERT_TRUE(challenge);
        auto cpace = secure::CPaceParty::start(secure::CPaceParty::Role::Responder, secure::passwordBytes(u"secret"_s),
                                               early.channel->cpaceChannelIdentity(), early.channel->cpaceSid(), nonce);
        ASSERT_TRUE(cpace->receive(challenge->body.right(32), challenge->body.mid(19, 16)));
        early.send(encodeFrame(FrameType::Auth, cpace->share() + cpace->ownConfirmation()) + createFrame(u"early"_s));
        EXPECT_FALSE(early.nextFrame());
        EXPECT_TRUE(early.closedByHost());
    }
    // A copy with a wrong password is told so as before.
    TestCopy wrong(config);
    RoomDescription room = describe({}, u"Secret"_s);
    room.hostAddress = u"127.0.0.1"_s;
    room.hostPort = guardedPort;
    const Status refused = wrong.service->openRoom(room, OpenMode::Join);
    EXPECT_EQ(errorCode(refused), kErrorAccessDenied);
    EXPECT_EQ(refused.ok() ? QString() : refused.error().description, u"the host refused: wrong password"_s);
    for (int i = 1; i < config.freeWrongProofs; ++i) {
        RawPeer guess(guardedPort);
        EXPECT_EQ(guess.joinAs(u"guess"_s, u"guess%1"_s.arg(i)), 0);
        EXPECT_TRUE(guess.closedByHost());
    }
    EXPECT_EQ(RawPeer(guardedPort).joinAs(u"late"_s, u"secret"_s), 0);
    std::vector<std::unique_ptr<RawPeer>> idle;
    for (int i = 0; i <= capped.maxHandshakesPerAddress; ++i) {
        idle.push_back(std::make_unique<RawPeer>(guardedPort));
        idle.back()->send(helloFrame());
    }
    EXPECT_TRUE(idle.back()->closedByHost());
    EXPECT_EQ(RawPeer(guardedPort, kElsewhere).joinAs(u"elsewhere"_s, u"secret"_s), 3);
    idle.push_back(std::make_unique<RawPeer>(guardedPort, kElsewhere));
    idle.push_back(std::make_unique<RawPeer>(guardedPort, kElsewhere));
    EXPECT_TRUE(idle.back()->closedByHost());
    EXPECT_EQ(idle[idle.size() - 2]->socket.state(), QAbstractSocket::ConnectedState);

    // With the room's own caps, the silent handshakes of a few addresses leave room for
    // the honest, and each is closed within its short deadline.
    idle.clear();
    for (int from = 10; from < 18; ++from)
        for (int i = 0; i < config.maxHandshakesPerAddress; ++i)
            idle.push_back(std::make_unique<RawPeer>(port, QHostAddress(u"127.0.3.%1"_s.arg(from))));
    EXPECT_EQ(RawPeer(port).joinAs(u"honest"_s), 3);
    QElapsedTimer deadline;
    deadline.start();
    EXPECT_TRUE(idle.front()->closedByHost() && deadline.elapsed() < 2500);
}

// Names that would pass for another player or a line are refused; a connection creates
// its player once, and tries again no sooner than it may.
TEST_F(RoomUnderAttack, LookAlikeNamesAreRefusedAndAConnectionCreatesItsPlayerOnce) {
    for (const QString& name : {u""_s, QString(256, u'x'), u"alice"_s, u"x\u2028host"_s, u"ali\u200Bce"_s,
                                u"\u202Eecila"_s, u"alice> hi"_s, u"tab\there"_s, u"bom\uFEFF"_s,
                                // blanks of every width, other scripts, widths and accents
                                u"alice "_s, u"alice\u00a0"_s, u"\u3000alice"_s, u"bob  smith"_s, u"\u0430lice"_s,
                                u"ａｌｉｃｅ"_s, u"ali\u0301ce"_s, u"bob>\u00a0I agree"_s, u"bob＞\u3000hi"_s}) {
        RawPeer peer(port);
        EXPECT_EQ(createAnswer(peer, name), static_cast<quint8>(FrameType::PlayerRefused)) << name.toStdString();
    }
    EXPECT_EQ(errorCode(TestCopy(config).service->createLocalPlayer(u"a\u200Db"_s, {}, 0, 0)), kErrorInvalidName);
    RawPeer alike(port), hasty(port);
    ASSERT_EQ(createAnswer(alike, u"alice>"_s), static_cast<quint8>(FrameType::PlayerCreated));
    alike.send(encodeFrame(FrameType::DestroyPlayer, {}) + createFrame(u"again"_s));
    EXPECT_TRUE(alike.closedByHost());
    ASSERT_EQ(createAnswer(hasty, u"alice"_s), static_cast<quint8>(FrameType::PlayerRefused));
    hasty.send(createFrame(u"hasty"_s)); // at once after a refusal
    EXPECT_TRUE(hasty.closedByHost());
    RawPeer patient(port);
    ASSERT_EQ(createAnswer(patient, u"alice"_s), static_cast<quint8>(FrameType::PlayerRefused));
    testsupport::spinFor(config.createPlayerInterval + 100ms);
    patient.send(createFrame(u"patient"_s));
    EXPECT_EQ(patient.nextFrame().value_or(Frame{}).type, static_cast<quint8>(FrameType::PlayerCreated));
    expectHonestStayed(u"names"_s);
    EXPECT_EQ(alice.log, (QStringList{u"join 3 alice>"_s, u"leave 3"_s, u"join 4 patient"_s, u"pub 1>0 names"_s}));
}

// A member that knows the room is open sends its whole join behind the handshake, as
// the benchmark's members do: the answers come in order.
TEST_F(RoomUnderAttack, AWholeJoinSentAtOnceIsAnsweredInOrder) {
    RawPeer eager(port);
    ASSERT_TRUE(eager.secure());
    eager.send(helloFrame(proof::randomNonce()) + encodeFrame(FrameType::Auth, {}) + createFrame(u"eager"_s));
    QList<quint8> types;
    for (int i = 0; i < 3; ++i)
        types.append(eager.nextFrame().value_or(Frame{}).type);
    EXPECT_EQ(types, (QList<quint8>{quint8(FrameType::Challenge), quint8(FrameType::Accept),
                                    quint8(FrameType::PlayerCreated)}));
    EXPECT_TRUE(logShows(alice, u"join 3 eager"_s));
}

TEST_F(RoomUnderAttack, DiscoveryNeitherAmplifiesNorFloodsTheLister) {
    QUdpSocket asker;
    ASSERT_TRUE(asker.bind(QHostAddress::LocalHost, 0));
    const QByteArray bare = encodeQuery(DiscoveryQuery{proof::randomNonce(), appId(), {}});
    asker.writeDatagram(bare, QHostAddress::LocalHost, config.discoveryPort);
    asker.writeDatagram(padQuery(bare), QHostAddress::LocalHost, config.discoveryPort);
    ASSERT_TRUE(testsupport::waitUntil([&] { return asker.hasPendingDatagrams(); }));
    testsupport::spinFor(100ms);
    EXPECT_LE(asker.receiveDatagram().data().size(), kPaddedQueryBytes);
    EXPECT_FALSE(asker.hasPendingDatagrams()); // the bare query got nothing

    QNetworkAddressEntry lan;
    lan.setIp(QHostAddress(u"10.231.1.1"_s));
    lan.setPrefixLength(24);
    for (const auto& [address, answered] :
         {std::pair{u"127.0.0.9"_s, true}, std::pair{u"::1"_s, true}, std::pair{u"::ffff:10.231.1.7"_s, true},
          std::pair{u"10.231.2.7"_s, false}, std::pair{u"8.8.8.8"_s, false}}) {
        EXPECT_EQ(isDirectlyConnected(QHostAddress(address), {lan}), answered) << address.toStdString();
    }

    // A stranger who saw the query answers it without end, some with names no room can have.
    QUdpSocket forger;
    ASSERT_TRUE(forger.bind(QHostAddress::AnyIPv4, config.discoveryPort, QAbstractSocket::ShareAddress));
    QObject::connect(&forger, &QUdpSocket::readyRead, &forger, [&] {
        const QNetworkDatagram datagram = forger.receiveDatagram();
        for (int i = 0; i < 400; ++i) {
            DiscoveryAnswer answer;
            answer.nonce = parseQuery(datagram.data()).value_or(DiscoveryQuery{}).nonce;
            answer.instanceId = proof::randomNonce();
            answer.applicationId = appId();
            answer.roomName = i < 20 ? u"evil\u001b[2J\n"_s : i < 40 ? QString(300, u'x') : u"forged"_s;
            answer.port = 1;
            forger.writeDatagram(encodeAnswer(answer), datagram.senderAddress(), datagram.senderPort());
        }
    });
    SessionConfig bounded = config;
    bounded.maxListedRooms = 50;
    const auto rooms = TestCopy(bounded).service->listRooms(describe({}), 0);
    ASSERT_TRUE(rooms.ok());
    EXPECT_EQ(rooms->count(), bounded.maxListedRooms);
    for (const RoomDescription& room : rooms->items()) {
        EXPECT_TRUE(room.name == u"room"_s || room.name == u"forged"_s) << room.name.toStdString();
    }
    expectHonestStayed(u"discovery"_s);
}

// A password room's listing, against each party that might guess its password: only the
// right password lists it, a capture of every datagram gives 1 000 guesses nothing to
// test, no answer outgrows its query, and a flood gets a bounded number of answers.
TEST(HostileInput, APasswordRoomsListingGivesAGuesserNothingAndAFloodLittle) {
    const SessionConfig config = loopbackConfig();
    const QString password = u"ひまわり-7"_s;
    TestCopy host(config);
    ASSERT_TRUE(host.host(u"秘密の部屋"_s, password).ok());
    CapturingRelay relay(config.discoveryPort);
    SessionConfig viaRelay = config;
    viaRelay.discoveryPort = relay.socket.localPort();
    TestCopy lister(viaRelay);
    NetworkSessionService internet(config);
    internet.setAddressPrompt([&] { return std::optional(u"127.0.0.1:%1"_s.arg(host.service->hostingPort())); });
    ASSERT_TRUE(internet.initialize(internet.listConnections()->item(2).value()).ok());
    for (const auto& [tried, listed] :
         {std::pair{password, 1}, std::pair{u"ひまわり-8"_s, 0}, std::pair{QString(), 0}}) {
        EXPECT_EQ(lister.service->listRooms(describe({}, tried), 0).valueOr({}).count(), listed) << tried.toStdString();
        EXPECT_EQ(internet.listRooms(describe({}, tried), 0).valueOr({}).count(), listed) << tried.toStdString();
    }
    ASSERT_EQ(relay.answers.size(), 2); // one sealed answer to each query with a share, none without
    for (const QByteArray& answer : relay.answers)
        EXPECT_EQ(answer.size(), kSealedAnswerBytes);
    for (const QByteArray& query : relay.queries)
        EXPECT_EQ(query.size(), kPaddedQueryBytes);

    // The guesser tries each candidate against every query and answer it saw, with every
    // K it can make without a secret scalar: nothing opens, the right password included.
    QStringList candidates{password};
    for (int i = 0; i < 999; ++i)
        candidates.append(u"ひまわり-%1"_s.arg(i + 100));
    int opened = 0;
    for (const QString& candidate : candidates) {
        for (const QByteArray& datagram : relay.answers) {
            const auto answer = parseSealedAnswer(datagram);
            ASSERT_TRUE(answer.has_value());
            const QByteArray ya = parseQuery(relay.queries.first()).value_or(DiscoveryQuery{}).share;
            const QByteArray g = secure::toBytes(secure::cpaceGenerator(
                secure::passwordBytes(candidate), secure::listingChannelId(appId()), answer->nonce));
            for (const QByteArray& k : {g, ya, answer->share})
                opened += opensUnder(guessedKey(answer->nonce, ya, answer->share, k), answer->sealed);
            // A lister of its own with the candidate but another scalar: what a sniffer is.
            opened += secure::ListingSecret::start(candidate, appId(), answer->nonce)
                          ->open(answer->share, answer->sealed)
                          .has_value();
        }
    }
    EXPECT_EQ(opened, 0);

    // The lister's own scalar opens its answer with the right password only; an answer
    // never outgrows the query; a query replayed, or too short for an answer, gets none.
    QUdpSocket asker;
    ASSERT_TRUE(asker.bind(QHostAddress(u"127.0.0.3"_s), 0));
    const QByteArray nonce = proof::randomNonce();
    secure::SecretBytes<secure::kCPaceScalarBytes> ya;
    crypto_core_ristretto255_scalar_random(ya.data());
    const auto own = secure::ListingSecret::start(password, appId(), nonce, &ya);
    const QByteArray query = encodeQuery({nonce, appId(), own->share()});
    asker.writeDatagram(query, QHostAddress::LocalHost, config.discoveryPort);
    for (int i = 0; i < 2; ++i)
        asker.writeDatagram(padQuery(query), QHostAddress::LocalHost, config.discoveryPort);
    ASSERT_TRUE(testsupport::waitUntil([&] { return asker.hasPendingDatagrams(); }));
    testsupport::spinFor(100ms);
    const auto answer = parseSealedAnswer(asker.receiveDatagram().data());
    EXPECT_FALSE(asker.hasPendingDatagrams());
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(own->open(answer->share, answer->sealed).has_value());
    EXPECT_FALSE(secure::ListingSecret::start(u"ひまわり-8"_s, appId(), nonce, &ya)
                     ->open(answer->share, answer->sealed)
                     .has_value());

    // A flood from one address, then from many: each address gets its burst at most,
    // and all of them together the room's.
    const auto flood = [&](int firstAddress, int addresses, int queries) {
        std::vector<std::unique_ptr<QUdpSocket>> flooders;
        for (int a = firstAddress; a < firstAddress + addresses; ++a) {
            flooders.push_back(std::make_unique<QUdpSocket>());
            EXPECT_TRUE(flooders.back()->bind(QHostAddress(u"127.0.0.%1"_s.arg(a)), 0));
            for (int i = 0; i < queries; ++i)
                flooders.back()->writeDatagram(padQuery(encodeQuery({proof::randomNonce(), appId(), own->share()})),
                                               QHostAddress::LocalHost, config.discoveryPort);
        }
        testsupport::spinFor(300ms);
        int answers = 0;
        for (const auto& flooder : flooders)
            for (; flooder->hasPendingDatagrams(); flooder->receiveDatagram())
                ++answers;
        return answers;
    };
    const int fromOne = flood(4, 1, 100); // a turn may come back while they arrive
    EXPECT_TRUE(fromOne == config.sealedAnswerBurstPerAddress || fromOne == config.sealedAnswerBurstPerAddress + 1);
    EXPECT_LE(flood(10, 30, 4), config.sealedAnswerBurst);
}

// In a network namespace of the test's own, where 10.231.3.0/24 is the machine's
// without being the subnet of any interface: a query from a subnet added after the room
// opened is answered once the host has looked again, one from 10.231.3.7 even then not.
TEST(HostileInput, DiscoveryAnswersOnlyTheSubnetsTheInterfacesHaveNow) {
    testsupport::Namespaces spaces;
    if (!testsupport::TestNetwork::available() || !spaces.add(u"lan"_s))
        GTEST_SKIP() << "SKIPPED: a network namespace needs root and iproute2";
    const QString ns = spaces.name(u"lan"_s);
    ASSERT_TRUE(testsupport::ip(u"-n %1 route add local 10.231.3.0/24 dev lo"_s.arg(ns)));
    const int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int lan = ::open(QByteArray("/run/netns/" + ns.toUtf8()).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::setns(lan, CLONE_NEWNET), 0); // what this thread makes now stays in the namespace
    {
        SessionConfig config = loopbackConfig();
        config.subnetRefresh = 0ms;
        RoomHost host(config, {appId(), u"room"_s, {}, 0});
        EXPECT_TRUE(host.start(true).ok());
        EXPECT_TRUE(testsupport::ip(u"-n %1 addr add 10.231.2.1/24 dev lo"_s.arg(ns)));
        for (const auto& [from, answered] : {std::pair{u"10.231.2.1"_s, true}, std::pair{u"10.231.3.7"_s, false}}) {
            QUdpSocket asker;
            EXPECT_TRUE(asker.bind(QHostAddress(from), 0));
            asker.writeDatagram(padQuery(encodeQuery(DiscoveryQuery{proof::randomNonce(), appId(), {}})),
                                asker.localAddress(), config.discoveryPort);
            EXPECT_EQ(testsupport::waitUntil([&] { return asker.hasPendingDatagrams(); }, 500ms), answered)
                << from.toStdString();
        }
    }
    EXPECT_EQ(::setns(home, CLONE_NEWNET), 0);
    ::close(home);
    ::close(lan);
}

// A member that stops reading is dropped without holding up the others; a
// connection that never says hello is closed, and the room goes on.
TEST(HostileInput, AMemberThatStopsReadingIsDroppedAndOneThatNeverSaysHelloClosed) {
    SessionConfig config = loopbackConfig();
    config.maxBufferedBytesPerMember = 256 * 1024;
    config.handshakeTimeout = 300ms;
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s), 2);
    EXPECT_TRUE(RawPeer(host.service->hostingPort()).closedByHost());

    RawPeer sleeper(host.service->hostingPort());
    const PlayerId sleeperId = sleeper.joinAs(u"sleeper"_s);
    ASSERT_NE(sleeperId, 0);
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

// A member refuses a host that cannot prove the password; from one that can, a
// record under the new keys right behind Accept opens, and a message sent in the same
// write as the player's creation waits for it.
TEST(FakeHost, AMemberChecksTheHostsProofAndTakesWhatComesWithItsPlayer) {
    TestCopy member(loopbackConfig());
    EXPECT_EQ(errorCode(FakeHost(u"guess"_s).join(member, u"secret"_s)), kErrorAccessDenied);
    FakeHost host(u"secret"_s);
    ASSERT_TRUE(host.join(member, u"secret"_s).ok());
    ASSERT_EQ(member.createPlayer(u"me"_s), 5);
    ASSERT_TRUE(waitForLog(member, 1));
    EXPECT_EQ(member.log, QStringList{u"pub 1>0 welcome"_s});
    EXPECT_EQ(member.emptyEvents, 0);

    // The host writes as player 1 with a key of its own: not shown, reported unreadable.
    // Nor can it give player 1 that key: the Joined is ignored, and so are its lines.
    const auto forger = secure::SigningKey::fromSeed(secure::SecretBytes<32>{});
    WireWriter joined;
    joined.i32(1);
    joined.string(u"host"_s);
    writeSuccession(joined, RoomPlayer{1, {}, secure::toBytes(forger.publicKey), {}});
    host.write(host.line(u"forged"_s, 2, forger) + encodeFrame(FrameType::Joined, joined.data()) +
               host.line(u"rekeyed"_s, 3, forger) + host.line(u"signed"_s, 4));
    ASSERT_TRUE(waitForLog(member, 4));
    EXPECT_EQ(member.log,
              (QStringList{u"pub 1>0 welcome"_s, u"unreadable 1>0"_s, u"unreadable 1>0"_s, u"pub 1>0 signed"_s}));
}

// A host that acknowledges lines it never delivered: what no receiver confirms in a
// receipt of its own comes back to the sender, whatever the host claimed. A receipt
// the host made up does not count.
TEST(FakeHost, ALineNoReceiverConfirmsComesBackUndelivered) {
    SessionConfig config = loopbackConfig();
    config.receiptTimeout = 1s;
    TestCopy member(config);
    FakeHost host(u"secret"_s);
    ASSERT_TRUE(host.join(member, u"secret"_s).ok());
    ASSERT_EQ(member.createPlayer(u"me"_s), 5);
    ASSERT_TRUE(member.say(kEveryone, u"taken"_s).ok());
    testsupport::spinFor(100ms);
    host.write(host.receipt(1));
    ASSERT_TRUE(member.say(kEveryone, u"withheld"_s).ok());
    testsupport::spinFor(100ms);
    host.write(host.receipt(2, secure::SigningKey::fromSeed(secure::SecretBytes<32>{})));
    ASSERT_TRUE(waitForLog(member, 2, 5s));
    EXPECT_EQ(member.log, (QStringList{u"pub 1>0 welcome"_s, u"undelivered 5>0 withheld"_s}));
}

// A copy posing as the host, as a member connects to it: it gets one guess (the one it
// built its share from) and nothing to test any other with. The guesser runs over all
// it was sent, with its own secret scalar, for every candidate.
TEST(FakeHost, AnImpostorGetsOneOnlineGuessAndNothingToTestOffline) {
    QStringList candidates;
    for (int i = 0; i < 999; ++i)
        candidates.append(u"pw%1"_s.arg(i));
    candidates.insert(500, u"合言葉"_s);
    for (const auto& [guess, found] : {std::pair{u"pw7"_s, 0}, std::pair{u"合言葉"_s, 1}}) {
        TestCopy member(loopbackConfig());
        FakeHost impostor(guess);
        const Status joined = impostor.join(member, u"合言葉"_s);
        EXPECT_EQ(joined.ok(), found == 1);
        if (found == 0) {
            EXPECT_EQ(joined.error().description, u"the host could not prove the room's password"_s);
        }
        ASSERT_EQ(impostor.auth.size(), 96);
        int matches = 0;
        for (const QString& candidate : candidates) {
            auto run = secure::CPaceParty::start(secure::CPaceParty::Role::Initiator, secure::passwordBytes(candidate),
                                                 impostor.ci, impostor.sid, impostor.instanceId, &impostor.scalar);
            matches += run->receive(impostor.auth.left(32), impostor.memberNonce) &&
                       run->checkConfirmation(impostor.auth.mid(32));
        }
        EXPECT_EQ(matches, found) << guess.toStdString();
    }
}
