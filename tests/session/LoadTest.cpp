// The host under attack and under a long load. The host runs in a process of its own
// (the headless client), so its memory can be read from /proc; the real members are
// copies of the service in this process.
#include "RawPeer.h"
#include "SessionTestSupport.h"

#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <vector>

using namespace sessiontest;

namespace {

#ifndef __has_feature
#define __has_feature(feature) 0 // GCC before 14
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// AddressSanitizer's shadow memory, redzones and quarantine make every allocation
// cost several times its size.
constexpr qint64 kMemoryScale = kSanitized ? 4 : 1;
constexpr qint64 kMiB = 1024;

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read.
qint64 statusKiB(qint64 pid, const QString& field) {
    const QString status = QString::fromLatin1(testsupport::readAll(u"/proc/%1/status"_s.arg(pid)));
    const QRegularExpression pattern(u"^%1:\\s*(\\d+)"_s.arg(field), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = pattern.match(status);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// The hosting process. AddressSanitizer keeps freed memory in quarantine (256 MB
// by default), which would make the host's memory grow with the traffic it has seen;
// a small one keeps the measure meaningful.
std::unique_ptr<testsupport::ChildProcess> startHost(const SessionConfig& config) {
    const QByteArray sanitizerOptions = qgetenv("ASAN_OPTIONS");
    if (kSanitized)
        qputenv("ASAN_OPTIONS", sanitizerOptions + ":quarantine_size_mb=8");
    auto host = startRoomTool(u"host"_s, config, u"host"_s);
    if (kSanitized)
        qputenv("ASAN_OPTIONS", sanitizerOptions);
    return host;
}

// A room hosted by a separate process with two real members, Alice (2) and Bob (3),
// who chat while the test attacks the host.
class HostUnderAttack : public ::testing::Test {
protected:
    void SetUp() override {
        config = loopbackConfig();
        config.resumeGrace = 0ms; // a connection cut short is a leave at once
        host = startHost(config);
        port = config.firstHostPort;
        alice = std::make_unique<TestCopy>(config);
        bob = std::make_unique<TestCopy>(config);
        ASSERT_EQ(alice->joinWhenListed(u"alice"_s), 2);
        ASSERT_EQ(bob->joinAs(u"bob"_s), 3);
        ASSERT_TRUE(waitForLog(*alice, 1));
        ASSERT_NO_FATAL_FAILURE(chat(u"warm-up"_s, 200));
        baselineKiB = statusKiB(host->processId(), u"VmRSS"_s);
        ASSERT_GT(baselineKiB, 0);
    }

    // Alice and Bob each send `count` public lines, interleaved; each must receive
    // every line of the other exactly once and in order.
    void chat(const QString& tag, int count, int padding = 0) {
        const QString pad(padding, u'x');
        const qsizetype aliceFrom = alice->log.size();
        const qsizetype bobFrom = bob->log.size();
        QStringList fromAlice, fromBob;
        for (int i = 0; i < count; ++i) {
            const QString a = u"%1 a%2 %3"_s.arg(tag).arg(i).arg(pad);
            const QString b = u"%1 b%2 %3"_s.arg(tag).arg(i).arg(pad);
            ASSERT_TRUE(alice->say(kEveryone, a).ok());
            ASSERT_TRUE(bob->say(kEveryone, b).ok());
            fromAlice.append(u"pub 2>0 "_s + a);
            fromBob.append(u"pub 3>0 "_s + b);
            if (i % 100 == 99)
                QCoreApplication::processEvents();
        }
        // The lines of this round `copy` got from `sender`.
        const auto chatFrom = [&tag](const TestCopy& copy, qsizetype from, int sender) {
            return copy.log.mid(from).filter(QRegularExpression(u"^pub %1>0 %2 "_s.arg(sender).arg(tag)));
        };
        testsupport::waitUntil(
            [&] {
                return chatFrom(*alice, aliceFrom, 3).size() >= count && chatFrom(*bob, bobFrom, 2).size() >= count;
            },
            30s);
        testsupport::spinFor(20ms); // nothing more may follow
        EXPECT_TRUE(chatFrom(*alice, aliceFrom, 3) == fromBob) << tag.toStdString();
        EXPECT_TRUE(chatFrom(*bob, bobFrom, 2) == fromAlice) << tag.toStdString();
    }

    // The host still runs, and its peak memory since the warm-up grew by less than
    // `allowanceMiB` (scaled for sanitizer builds).
    void expectHostUpAndBounded(qint64 allowanceMiB) {
        EXPECT_TRUE(host->running());
        const qint64 peakKiB = statusKiB(host->processId(), u"VmHWM"_s);
        ASSERT_GT(peakKiB, 0);
        EXPECT_LT(peakKiB - baselineKiB, allowanceMiB * kMiB * kMemoryScale)
            << "baseline " << baselineKiB << " KiB, peak " << peakKiB << " KiB";
    }

    SessionConfig config;
    quint16 port = 0;
    qint64 baselineKiB = 0;
    std::unique_ptr<testsupport::ChildProcess> host;
    std::unique_ptr<TestCopy> alice, bob;
};

TEST_F(HostUnderAttack, BrokenFramingClosesOnlyItsOwnConnectionAndNothingHalfSentIsDelivered) {
    QByteArray noise(64 * 1024, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    noise.replace(0, 4, QByteArray::fromHex("fffffff0")); // its first length is over the limit whatever follows
    WireWriter badMagic;
    badMagic.bytes(QByteArrayLiteral("XXXX"));
    badMagic.u16(1);
    // A four gibibyte length is followed by a stream of bytes that would fill it.
    const QByteArray huge = QByteArray::fromHex("ffffffff20") + QByteArray(1024 * 1024, 'y');
    const std::pair<const char*, QByteArray> cases[] = {
        {"a zero length", QByteArray::fromHex("00000000")},
        {"a first frame that is not a hello", encodeFrame(FrameType::Send, QByteArray::fromHex("00000000"))},
        {"a hello with the wrong magic", encodeFrame(FrameType::Hello, badMagic.data())},
        {"a hello cut short inside its body", encodeFrame(FrameType::Hello, QByteArrayLiteral("MLRN\x00"))},
        {"an HTTP request", QByteArrayLiteral("GET / HTTP/1.1\r\nHost: room\r\n\r\n")},
        {"a TLS client hello", QByteArray::fromHex("160301020001fc0303") + QByteArray(500, '\x42')},
        {"64 KiB of random bytes", noise},
        {"a small frame of an unknown type", QByteArray::fromHex("000000057f01020304")},
        {"a four gibibyte length", huge},
    };
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (const auto& [name, bytes] : cases) {
        for (int i = 0; i < 5; ++i) {
            peers.push_back(std::make_unique<RawPeer>(port));
            peers.back()->send(bytes);
        }
    }
    // Each is closed; only then may more handshakes come from this address.
    for (std::size_t i = 0; i < peers.size(); ++i)
        EXPECT_TRUE(peers[i]->closedByHost()) << cases[i / 5].first;
    // A hello announcing the largest frame allowed, and only part of it: the host
    // waits for the rest without holding up anybody else.
    RawPeer halfHello(port);
    halfHello.send(QByteArray::fromHex("0010000001") + QByteArray(600 * 1024, 'h'));
    // Members: one sends the huge length, one ends in the middle of its fourth line.
    RawPeer mallory(port), cut(port);
    ASSERT_EQ(mallory.joinAs(u"mallory"_s), 4);
    ASSERT_EQ(cut.joinAs(u"cut"_s), 5);
    mallory.send(huge);
    const QByteArray fourth = sendFrame(u"never"_s, 4);
    cut.send(sendFrame(u"m1"_s) + sendFrame(u"m2"_s, 2) + sendFrame(u"m3"_s, 3) + fourth.left(fourth.size() / 2));
    ::shutdown(static_cast<int>(cut.socket.socketDescriptor()), SHUT_WR);

    chat(u"garbage"_s, 500);
    EXPECT_TRUE(mallory.closedByHost());
    ASSERT_TRUE(logShows(*alice, u"leave 5"_s));
    ASSERT_TRUE(logShows(*alice, u"leave 4"_s));
    EXPECT_EQ(alice->log.filter(QRegularExpression(u"^(pub 5>|join 5 |leave 5$)"_s)),
              (QStringList{u"join 5 cut"_s, u"pub 5>0 m1"_s, u"pub 5>0 m2"_s, u"pub 5>0 m3"_s, u"leave 5"_s}));
    EXPECT_EQ(halfHello.socket.state(), QAbstractSocket::ConnectedState);
    expectHostUpAndBounded(16);
}

TEST_F(HostUnderAttack, UnfinishedHandshakesAreCappedAndABurstOfConnectionsLeavesTheRoomOpen) {
    // Half say nothing, half stop after their hello (the host waits for their proof).
    // They come 20 at a time, so that none waits for the kernel's accept queue.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    const auto count = [&](QAbstractSocket::SocketState state) {
        return std::count_if(idle.begin(), idle.end(), [&](const auto& socket) { return socket->state() == state; });
    };
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port);
        if (i % 2 == 1)
            idle.back()->write(helloFrame());
        if (i % 20 == 19) {
            ASSERT_TRUE(testsupport::waitUntil([&] { return count(QAbstractSocket::ConnectingState) == 0; }, 5s));
        }
    }
    // Beyond the host's limit of connections in their handshake, the rest are refused,
    // while the room goes on.
    const int limit = SessionConfig{}.maxPendingHandshakes;
    chat(u"meanwhile"_s, 500);
    EXPECT_TRUE(testsupport::waitUntil([&] { return count(QAbstractSocket::UnconnectedState) >= 200 - limit; }, 3s))
        << count(QAbstractSocket::UnconnectedState) << " closed";
    idle.clear();

    // Then a burst of a thousand connection attempts.
    std::vector<std::unique_ptr<QTcpSocket>> burst;
    for (int i = 0; i < 1000; ++i) {
        burst.push_back(std::make_unique<QTcpSocket>());
        burst.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    chat(u"burst"_s, 500);
    // Each attempt gets an answer (accepted, or refused by the host) in bounded time.
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            return std::all_of(burst.begin(), burst.end(), [](const auto& socket) {
                return socket->state() == QAbstractSocket::ConnectedState ||
                       socket->state() == QAbstractSocket::UnconnectedState;
            });
        },
        10s));
    burst.clear();

    // Once the burst is over, a newcomer is admitted and greeted.
    TestCopy carol(config);
    ASSERT_TRUE(testsupport::waitUntil([&] { return carol.join(u"room"_s).ok(); }, 10s));
    EXPECT_EQ(carol.createPlayer(u"carol"_s), 4);
    EXPECT_TRUE(logShows(*alice, u"join 4 carol"_s));
    chat(u"after"_s, 200);
    expectHostUpAndBounded(32);
}
// Every member sends in every round: one in ten lines to everybody, the others each
// to a different member. Lines carry their number, counted per sender and addressee,
// so that each receiver can tell a line lost, doubled or out of order.
TEST(Soak, AHundredThousandMessagesThroughFiftyMembersArriveOnceInOrderAndTheHostStaysFlat) {
    // Sanitizer builds send a fifth of the messages: every delivery costs them
    // several times as much.
    constexpr int kMembers = 50;
    const int rounds = (kSanitized ? 20000 : 100000) / kMembers;

    const SessionConfig config = loopbackConfig();
    const auto host = startHost(config);
    std::vector<std::unique_ptr<TestCopy>> members;
    RoomDescription room;
    room.applicationId = appId();
    for (int i = 0; i < kMembers; ++i) {
        members.push_back(std::make_unique<TestCopy>(config));
        // The first member's listing finds the room for everybody.
        ASSERT_TRUE(i > 0 || testsupport::waitUntil(
                                 [&] {
                                     const auto rooms = members[0]->service->listRooms(room, 0);
                                     return rooms.ok() && rooms->count() == 1 && (room = rooms->items().front(), true);
                                 },
                                 10s));
        ASSERT_TRUE(members[i]->service->openRoom(room, OpenMode::Join).ok());
        ASSERT_NE(members[i]->createPlayer(u"m%1"_s.arg(i)), 0);
    }
    const auto delivered = [&] {
        qint64 sum = 0;
        for (const auto& member : members)
            sum += member->log.size();
        return sum;
    };
    const qint64 joins = kMembers * (kMembers - 1) / 2;
    ASSERT_TRUE(testsupport::waitUntil([&] { return delivered() == joins; }, 20s));
    for (const auto& member : members)
        member->log.clear();

    qint64 expected = 0, expectedAtCheckpoint = 0, warmKiB = 0;
    qsizetype publicMessages = 0;
    std::vector<int> sent(kMembers * (kMembers + 1), 0); // per sender, then addressee or everybody
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < kMembers; ++i) {
            const int to = (round + i) % 10 == 0 ? kMembers : (i + 1 + round % (kMembers - 1)) % kMembers;
            const PlayerId id = to == kMembers ? kEveryone : members[to]->id;
            ASSERT_TRUE(members[i]->say(id, QString::number(sent[i * (kMembers + 1) + to]++)).ok());
            expected += to == kMembers ? kMembers - 1 : 1;
            publicMessages += to == kMembers ? 1 : 0;
        }
        QCoreApplication::processEvents();
        // Senders stay at most twenty rounds ahead of the deliveries.
        if (round % 10 == 9) {
            ASSERT_TRUE(testsupport::waitUntil([&] { return delivered() >= expectedAtCheckpoint; }, 20s))
                << "stalled in round " << round << ": " << delivered() << " of " << expectedAtCheckpoint;
            expectedAtCheckpoint = expected;
        }
        if (round == rounds / 10)
            warmKiB = statusKiB(host->processId(), u"VmRSS"_s);
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return delivered() >= expected; }, 30s))
        << delivered() << " of " << expected;
    testsupport::spinFor(50ms);
    EXPECT_EQ(delivered(), expected);
    for (const auto& member : members) {
        QHash<QString, int> next; // per "pub 7>0" or "priv 7>9"
        int faults = 0;
        for (const QString& line : std::as_const(member->log)) {
            const qsizetype space = line.lastIndexOf(u' ');
            int& number = next[line.left(space)];
            faults += line.mid(space + 1).toInt() == number++ ? 0 : 1;
        }
        EXPECT_EQ(faults, 0) << "member " << member->id;
    }
    // The host's own player got every public message too.
    const auto hostGot = [&] { return host->lines().filter(QRegularExpression(u"^m\\d+> "_s)).size(); };
    EXPECT_TRUE(testsupport::waitUntil([&] { return hostGot() >= publicMessages; }, 10s));
    EXPECT_EQ(hostGot(), publicMessages);

    // Memory flat: what the host holds after all of it is what it held after the
    // first tenth, give or take allocator slack.
    const qint64 endKiB = statusKiB(host->processId(), u"VmRSS"_s);
    ASSERT_GT(warmKiB, 0);
    EXPECT_LT(endKiB - warmKiB, 8 * kMiB * kMemoryScale)
        << "after warm-up " << warmKiB << " KiB, end " << endKiB << " KiB";
}

} // namespace
