// The host under attack and under a long load. The host runs in a process of its own
// (session_peer), so its memory can be read from /proc; the real members are copies
// of the service in this process.
#include "PeerProcess.h"
#include "RawPeer.h"
#include "SessionTestSupport.h"

#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpSocket>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <vector>

using namespace sessiontest;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
// AddressSanitizer's shadow memory, redzones and quarantine make every allocation
// cost several times its size.
constexpr qint64 kMemoryScale = kSanitized ? 4 : 1;
constexpr qint64 kMiB = 1024;

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read.
qint64 statusKiB(qint64 pid, QByteArrayView field) {
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(field) && line.size() > field.size() && line.at(field.size()) == ':') {
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

std::unique_ptr<PeerProcess> startHost(const SessionConfig& config) {
    // AddressSanitizer keeps freed memory in quarantine (256 MB by default), which
    // would make the host's memory grow with the traffic it has seen. A small one
    // keeps the measure meaningful.
    const QByteArray sanitizerOptions = qgetenv("ASAN_OPTIONS");
    if (kSanitized) {
        qputenv("ASAN_OPTIONS", sanitizerOptions + QByteArrayLiteral(":quarantine_size_mb=8"));
    }
    const auto restore = qScopeGuard([&] {
        if (kSanitized) {
            qputenv("ASAN_OPTIONS", sanitizerOptions);
        }
    });
    return std::make_unique<PeerProcess>(peerProgram(),
                                         peerArguments(QStringLiteral("host"), config, QStringLiteral("host")));
}

QByteArray helloFrame() {
    WireWriter hello;
    hello.bytes(QByteArray(kRoomMagic));
    hello.u16(kProtocolVersion);
    hello.string(appId());
    hello.bytes(proof::randomNonce());
    return encodeFrame(FrameType::Hello, hello.data());
}

QByteArray sendFrame(const QString& text) {
    Message message;
    message.writeInt32(0);
    message.writeString(text);
    WireWriter body;
    body.i32(kEveryone);
    body.bytes(message.payload());
    return encodeFrame(FrameType::Send, body.data());
}

int closedCount(const std::vector<std::unique_ptr<QTcpSocket>>& sockets) {
    int closed = 0;
    for (const auto& socket : sockets) {
        closed += socket->state() == QAbstractSocket::UnconnectedState ? 1 : 0;
    }
    return closed;
}

// A room hosted by a separate process with two real members, Alice (2) and Bob (3),
// who chat while the test attacks the host.
class HostUnderAttack : public ::testing::Test {
protected:
    void SetUp() override {
        config = loopbackConfig();
        host = startHost(config);
        ASSERT_EQ(host->waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 1"));
        port = config.firstHostPort;
        alice = std::make_unique<TestCopy>(config);
        bob = std::make_unique<TestCopy>(config);
        ASSERT_TRUE(alice->join(QStringLiteral("room")).ok());
        ASSERT_EQ(alice->createPlayer(QStringLiteral("alice")), 2);
        ASSERT_TRUE(bob->join(QStringLiteral("room")).ok());
        ASSERT_EQ(bob->createPlayer(QStringLiteral("bob")), 3);
        ASSERT_TRUE(waitForLog(*alice, 1));
        ASSERT_NO_FATAL_FAILURE(chat(QStringLiteral("warm-up"), 200));
        baselineKiB = statusKiB(host->processId(), "VmRSS");
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
            const QString a = QStringLiteral("%1 a%2 %3").arg(tag).arg(i).arg(pad);
            const QString b = QStringLiteral("%1 b%2 %3").arg(tag).arg(i).arg(pad);
            ASSERT_TRUE(alice->say(kEveryone, a).ok());
            ASSERT_TRUE(bob->say(kEveryone, b).ok());
            fromAlice.append(QStringLiteral("pub 2>0 ") + a);
            fromBob.append(QStringLiteral("pub 3>0 ") + b);
            if (i % 100 == 99) {
                QCoreApplication::processEvents();
            }
        }
        const auto chatFrom = [&tag](const TestCopy& copy, qsizetype from, const QString& sender) {
            const QString prefix = QStringLiteral("pub %1>0 %2 ").arg(sender, tag);
            QStringList lines;
            for (qsizetype i = from; i < copy.log.size(); ++i) {
                if (copy.log.at(i).startsWith(prefix)) {
                    lines.append(copy.log.at(i));
                }
            }
            return lines;
        };
        testsupport::waitUntil(
            [&] {
                return chatFrom(*alice, aliceFrom, QStringLiteral("3")).size() >= count &&
                       chatFrom(*bob, bobFrom, QStringLiteral("2")).size() >= count;
            },
            std::chrono::seconds(30));
        testsupport::spinFor(20ms); // nothing more may follow
        EXPECT_TRUE(chatFrom(*alice, aliceFrom, QStringLiteral("3")) == fromBob) << tag.toStdString();
        EXPECT_TRUE(chatFrom(*bob, bobFrom, QStringLiteral("2")) == fromAlice) << tag.toStdString();
    }

    // The host still runs, and its peak memory since the warm-up grew by less than
    // `allowanceMiB` (scaled for sanitizer builds).
    void expectHostUpAndBounded(qint64 allowanceMiB) {
        EXPECT_TRUE(host->running());
        const qint64 peakKiB = statusKiB(host->processId(), "VmHWM");
        ASSERT_GT(peakKiB, 0);
        EXPECT_LT(peakKiB - baselineKiB, allowanceMiB * kMiB * kMemoryScale)
            << "baseline " << baselineKiB << " KiB, peak " << peakKiB << " KiB";
    }

    SessionConfig config;
    quint16 port = 0;
    qint64 baselineKiB = 0;
    std::unique_ptr<PeerProcess> host;
    std::unique_ptr<TestCopy> alice, bob;
};

TEST_F(HostUnderAttack, GarbageBeforeTheHandshakeClosesOnlyThatConnection) {
    QByteArray noise(64 * 1024, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    noise.replace(0, 4, QByteArray::fromHex("fffffff0")); // its first length is over the limit whatever follows
    struct Case {
        const char* name;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"an HTTP request", QByteArrayLiteral("GET / HTTP/1.1\r\nHost: room\r\n\r\n")},
        {"a TLS client hello", QByteArray::fromHex("160301020001fc0303") + QByteArray(500, '\x42')},
        {"64 KiB of random bytes", noise},
        {"a small frame of an unknown type", QByteArray::fromHex("000000057f01020304")},
    };
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (const Case& c : cases) {
        for (int i = 0; i < 5; ++i) {
            peers.push_back(std::make_unique<RawPeer>(port));
            peers.back()->send(c.bytes);
        }
    }
    chat(QStringLiteral("garbage"), 500);
    for (std::size_t i = 0; i < peers.size(); ++i) {
        EXPECT_TRUE(peers[i]->closedByHost()) << cases[i / 5].name;
    }
    expectHostUpAndBounded(16);
}

TEST_F(HostUnderAttack, AFourGibibyteLengthIsRefusedWithoutAllocating) {
    // From a stranger before any handshake, and from a member of the room; each is
    // followed by a stream of bytes that would fill the frame.
    RawPeer stranger(port);
    RawPeer mallory(port);
    ASSERT_EQ(mallory.joinAs(QStringLiteral("mallory")), 4);
    ASSERT_TRUE(testsupport::waitUntil([&] { return alice->log.contains(QStringLiteral("join 4 mallory")); }));
    const QByteArray huge = QByteArray::fromHex("ffffffff20") + QByteArray(1024 * 1024, 'y');
    stranger.send(huge);
    mallory.send(huge);
    EXPECT_TRUE(stranger.closedByHost());
    EXPECT_TRUE(mallory.closedByHost());
    EXPECT_TRUE(testsupport::waitUntil([&] { return bob->log.contains(QStringLiteral("leave 4")); }));
    chat(QStringLiteral("after"), 500);
    expectHostUpAndBounded(16);
}

TEST_F(HostUnderAttack, AFrameCutOffMidwayIsNeverDelivered) {
    // A hello announcing the largest frame allowed, and only part of it: the host
    // waits for the rest without holding up anybody else.
    RawPeer halfHello(port);
    halfHello.send(QByteArray::fromHex("0010000001") + QByteArray(600 * 1024, 'h'));

    // A member whose connection ends in the middle of its fourth message.
    RawPeer mallory(port);
    ASSERT_EQ(mallory.joinAs(QStringLiteral("mallory")), 4);
    for (int i = 1; i <= 3; ++i) {
        mallory.send(sendFrame(QStringLiteral("m%1").arg(i)));
    }
    const QByteArray fourth = sendFrame(QStringLiteral("never"));
    mallory.send(fourth.left(fourth.size() / 2));
    ::shutdown(static_cast<int>(mallory.socket.socketDescriptor()), SHUT_WR);

    chat(QStringLiteral("meanwhile"), 300);
    ASSERT_TRUE(testsupport::waitUntil([&] { return alice->log.contains(QStringLiteral("leave 4")); }));
    QStringList fromMallory;
    for (const QString& line : std::as_const(alice->log)) {
        if (line.startsWith(QStringLiteral("pub 4>")) || line.endsWith(QStringLiteral(" 4")) ||
            line.startsWith(QStringLiteral("join 4 "))) {
            fromMallory.append(line);
        }
    }
    EXPECT_EQ(fromMallory,
              (QStringList{QStringLiteral("join 4 mallory"), QStringLiteral("pub 4>0 m1"), QStringLiteral("pub 4>0 m2"),
                           QStringLiteral("pub 4>0 m3"), QStringLiteral("leave 4")}));
    EXPECT_EQ(halfHello.socket.state(), QAbstractSocket::ConnectedState);
    expectHostUpAndBounded(16);
}

TEST_F(HostUnderAttack, TwoHundredUnfinishedHandshakesAreCappedAndTheRoomGoesOn) {
    // Half say nothing, half stop after their hello (the host waits for their proof).
    // They come 20 at a time, so that none waits for the kernel's accept queue.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    const auto settled = [&] {
        return std::none_of(idle.begin(), idle.end(),
                            [](const auto& socket) { return socket->state() == QAbstractSocket::ConnectingState; });
    };
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port);
        if (i % 2 == 1) {
            idle.back()->write(helloFrame());
        }
        if (i % 20 == 19) {
            ASSERT_TRUE(testsupport::waitUntil(settled, 5s));
        }
    }
    // Beyond the host's limit of connections in their handshake, the rest are refused,
    // while the room goes on.
    const int limit = SessionConfig{}.maxPendingHandshakes;
    chat(QStringLiteral("meanwhile"), 500);
    EXPECT_TRUE(testsupport::waitUntil([&] { return closedCount(idle) >= 200 - limit; }, 3s))
        << closedCount(idle) << " closed";
    expectHostUpAndBounded(16);
}

TEST_F(HostUnderAttack, AMemberThatStopsReadingHoldsNobodyUpWhileTenThousandMessagesPass) {
    RawPeer sleeper(port);
    ASSERT_EQ(sleeper.joinAs(QStringLiteral("sleeper")), 4);
    sleeper.socket.setReadBufferSize(1); // reads (almost) nothing from now on
    ASSERT_TRUE(testsupport::waitUntil([&] { return bob->log.contains(QStringLiteral("join 4 sleeper")); }));

    // 10,000 lines of about 1 KB: more than the kernel's socket buffers hold, so the
    // host must either buffer for the sleeper within its cap or drop it. (The host's
    // own player takes every line too, through its process's standard output.)
    chat(QStringLiteral("flood"), 5000, 1000);
    expectHostUpAndBounded(48);
}

TEST_F(HostUnderAttack, ABurstOfAThousandConnectionAttemptsLeavesTheRoomOpen) {
    std::vector<std::unique_ptr<QTcpSocket>> burst;
    for (int i = 0; i < 1000; ++i) {
        burst.push_back(std::make_unique<QTcpSocket>());
        burst.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    chat(QStringLiteral("burst"), 500);
    // Each attempt gets an answer (accepted, or refused by the host) in bounded time.
    testsupport::waitUntil(
        [&] {
            return std::all_of(burst.begin(), burst.end(), [](const auto& socket) {
                return socket->state() == QAbstractSocket::ConnectedState ||
                       socket->state() == QAbstractSocket::UnconnectedState;
            });
        },
        10s);
    burst.clear();

    // Once the burst is over, a newcomer is admitted and greeted.
    TestCopy carol(config);
    ASSERT_TRUE(testsupport::waitUntil([&] { return carol.join(QStringLiteral("room")).ok(); }, 10s));
    EXPECT_EQ(carol.createPlayer(QStringLiteral("carol")), 4);
    EXPECT_TRUE(testsupport::waitUntil([&] { return alice->log.contains(QStringLiteral("join 4 carol")); }));
    chat(QStringLiteral("after"), 200);
    expectHostUpAndBounded(32);
}

// A member of the soak: checks that every sender's messages arrive in the order sent,
// public and private each numbered on their own.
struct SoakMember {
    explicit SoakMember(const SessionConfig& config) : service(config) {
        handle = service.registerEventReceiver(&context, [this](qint32) { take(); });
        EXPECT_TRUE(service.initialize(service.listConnections().value().item(1).value()).ok());
    }

    void take() {
        if (service.waitingMessageCount(id).valueOr(0) == 0) {
            return;
        }
        Result<ReceivedMessage> received = service.receive();
        if (!received) {
            ++faults;
            return;
        }
        if (received->from == kSystemSender) {
            return;
        }
        Message& message = received.value().message;
        const Result<qint32> kind = message.readInt32();
        const Result<qint32> number = message.readInt32();
        if (!kind || !number) {
            ++faults;
            return;
        }
        qint32& expected = (*kind == 0 ? nextPublic : nextPrivate)[received->from];
        if (*number != expected) {
            ++faults; // lost, duplicated or out of order
        }
        expected = *number + 1;
        ++deliveries;
    }

    Status send(PlayerId to, qint32 number) {
        Message message;
        message.writeInt32(to == kEveryone ? 0 : 1);
        message.writeInt32(number);
        return service.send(id, to, message);
    }

    NetworkSessionService service;
    QObject context;
    qint32 handle = 0;
    PlayerId id = 0;
    QHash<PlayerId, qint32> nextPublic, nextPrivate;
    qint64 deliveries = 0;
    int faults = 0;
    // As a sender: the next public number, and the next private one per addressee.
    qint32 sentPublic = 0;
    std::vector<qint32> sentPrivate;
};

TEST(Soak, AHundredThousandMessagesThroughFiftyMembersArriveOnceInOrderAndTheHostStaysFlat) {
    // Sanitizer builds send a fifth of the messages: every delivery costs them
    // several times as much.
    const int totalMessages = kSanitized ? 20000 : 100000;
    constexpr int kMembers = 50;
    const int rounds = totalMessages / kMembers;

    const SessionConfig config = loopbackConfig();
    const auto host = startHost(config);
    ASSERT_EQ(host->waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 1"));

    std::vector<std::unique_ptr<SoakMember>> members;
    for (int i = 0; i < kMembers; ++i) {
        members.push_back(std::make_unique<SoakMember>(config));
        members.back()->sentPrivate.assign(kMembers, 0);
    }
    RoomDescription query;
    query.applicationId = appId();
    const auto rooms = members.front()->service.listRooms(query, 0);
    ASSERT_TRUE(rooms.ok());
    ASSERT_EQ(rooms->count(), 1);
    for (int i = 0; i < kMembers; ++i) {
        SoakMember& member = *members[static_cast<std::size_t>(i)];
        ASSERT_TRUE(member.service.openRoom(rooms->items().front(), OpenMode::Join).ok());
        const auto id = member.service.createLocalPlayer(QStringLiteral("m%1").arg(i), {}, member.handle, 0);
        ASSERT_TRUE(id.ok());
        member.id = *id;
    }
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            return std::all_of(members.begin(), members.end(), [](const auto& member) {
                return member->service.listPlayers().value().count() == kMembers + 1;
            });
        },
        20s));

    const auto delivered = [&] {
        qint64 sum = 0;
        for (const auto& member : members) {
            sum += member->deliveries;
        }
        return sum;
    };
    qint64 expected = 0;
    qint64 expectedAtCheckpoint = 0;
    int publicMessages = 0;
    qint64 warmKiB = 0;
    // In each round every member sends one message: one in ten to everybody, the
    // others each to a different member.
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < kMembers; ++i) {
            SoakMember& sender = *members[static_cast<std::size_t>(i)];
            if ((round + i) % 10 == 0) {
                ASSERT_TRUE(sender.send(kEveryone, sender.sentPublic++).ok());
                expected += kMembers - 1;
                ++publicMessages;
            } else {
                const int to = (i + 1 + round % (kMembers - 1)) % kMembers;
                ASSERT_TRUE(sender
                                .send(members[static_cast<std::size_t>(to)]->id,
                                      sender.sentPrivate[static_cast<std::size_t>(to)]++)
                                .ok());
                ++expected;
            }
        }
        QCoreApplication::processEvents();
        // Senders stay at most twenty rounds ahead of the deliveries.
        if (round % 10 == 9) {
            ASSERT_TRUE(testsupport::waitUntil([&] { return delivered() >= expectedAtCheckpoint; }, 20s))
                << "stalled in round " << round << ": " << delivered() << " of " << expectedAtCheckpoint;
            expectedAtCheckpoint = expected;
        }
        if (round == rounds / 10) {
            warmKiB = statusKiB(host->processId(), "VmRSS");
        }
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return delivered() >= expected; }, 30s))
        << delivered() << " of " << expected;
    testsupport::spinFor(50ms);
    EXPECT_EQ(delivered(), expected);
    for (const auto& member : members) {
        EXPECT_EQ(member->faults, 0) << "member " << member->id;
    }
    // The host's own player got every public message too.
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return host->lines().filter(QRegularExpression(QStringLiteral("^MSG "))).size() >= publicMessages; },
        10s));
    EXPECT_EQ(host->lines().filter(QRegularExpression(QStringLiteral("^MSG "))).size(), publicMessages);

    // Memory flat: what the host holds after all of it is what it held after the
    // first tenth, give or take allocator slack.
    const qint64 endKiB = statusKiB(host->processId(), "VmRSS");
    ASSERT_GT(warmKiB, 0);
    EXPECT_LT(endKiB - warmKiB, 8 * kMiB * kMemoryScale)
        << "after warm-up " << warmKiB << " KiB, end " << endKiB << " KiB";
}

} // namespace
