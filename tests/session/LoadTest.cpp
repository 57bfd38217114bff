// The host under attack and under a long load, in a process of its own (the headless
// client) so that its memory can be read from /proc.
#include "RawPeer.h"

#include <QElapsedTimer>
#include <QRegularExpression>
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
// AddressSanitizer makes every allocation cost several times its size.
constexpr qint64 kMemoryScale = kSanitized ? 4 : 1;
constexpr qint64 kMiB = 1024;

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read.
qint64 statusKiB(qint64 pid, const QString& field) {
    const QString status = QString::fromLatin1(testsupport::readAll(u"/proc/%1/status"_s.arg(pid)));
    const QRegularExpression pattern(u"^%1:\\s*(\\d+)"_s.arg(field), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = pattern.match(status);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

// Alice (2) and Bob (3) chat while the test attacks the host. Broken framing closes
// only its own connection and nothing half sent is delivered; what the host relayed
// does not stay behind: after a long chat its memory is what it was after the
// warm-up, give or take allocator slack.
TEST(HostUnderAttack, BrokenFramingAndALongChatLeaveTheHostsMemoryBounded) {
    SessionConfig config = loopbackConfig();
    config.resumeGrace = 0ms; // a connection cut short is a leave at once
    // AddressSanitizer's quarantine of freed memory would grow with the traffic.
    const QByteArray sanitizerOptions = qgetenv("ASAN_OPTIONS");
    qputenv("ASAN_OPTIONS", sanitizerOptions + ":quarantine_size_mb=8");
    const auto host = startRoomTool(u"host"_s, config, u"host"_s);
    qputenv("ASAN_OPTIONS", sanitizerOptions);
    TestCopy alice(config), bob(config);
    ASSERT_EQ(alice.joinWhenListed(u"alice"_s), 2);
    ASSERT_EQ(bob.joinAs(u"bob"_s), 3);
    ASSERT_TRUE(waitForLog(alice, 1));

    // Alice and Bob each send `count` public lines, interleaved; each must receive
    // every line of the other exactly once and in order.
    const auto chat = [&](const QString& tag, int count, int padding = 0) {
        const qsizetype aliceFrom = alice.log.size(), bobFrom = bob.log.size();
        QStringList fromAlice, fromBob;
        for (int i = 0; i < count; ++i) {
            const QString line = u"%1 %2 "_s.arg(tag).arg(i) + QString(padding, u'x');
            ASSERT_TRUE(alice.say(kEveryone, u'a' + line).ok());
            ASSERT_TRUE(bob.say(kEveryone, u'b' + line).ok());
            fromAlice.append(u"pub 2>0 a"_s + line);
            fromBob.append(u"pub 3>0 b"_s + line);
            if (i % 100 == 99)
                QCoreApplication::processEvents();
        }
        // The lines of this round `copy` got from `sender`.
        const auto chatFrom = [&tag](const TestCopy& copy, qsizetype from, int sender) {
            return copy.log.mid(from).filter(QRegularExpression(u"^pub %1>0 .%2 "_s.arg(sender).arg(tag)));
        };
        testsupport::waitUntil(
            [&] { return chatFrom(alice, aliceFrom, 3).size() >= count && chatFrom(bob, bobFrom, 2).size() >= count; },
            30s);
        testsupport::spinFor(20ms); // nothing more may follow
        EXPECT_TRUE(chatFrom(alice, aliceFrom, 3) == fromBob) << tag.toStdString();
        EXPECT_TRUE(chatFrom(bob, bobFrom, 2) == fromAlice) << tag.toStdString();
    };
    ASSERT_NO_FATAL_FAILURE(chat(u"warm-up"_s, 200));
    const qint64 baselineKiB = statusKiB(host->processId(), u"VmRSS"_s);
    ASSERT_GT(baselineKiB, 0);
    // The host runs, its memory ("VmHWM" its peak, "VmRSS" now) less than `allowanceMiB` above the warm-up's.
    const auto expectHostUpAndBounded = [&](const QString& field, qint64 allowanceMiB) {
        EXPECT_TRUE(host->running());
        const qint64 kiB = statusKiB(host->processId(), field);
        EXPECT_LT(kiB - baselineKiB, allowanceMiB * kMiB * kMemoryScale)
            << "baseline " << baselineKiB << " KiB, " << field.toStdString() << " " << kiB << " KiB";
    };

    WireWriter badMagic;
    badMagic.bytes(QByteArrayLiteral("XXXX"));
    badMagic.u16(1);
    // A four gibibyte length is followed by a stream of bytes that would fill it.
    const QByteArray huge = QByteArray::fromHex("ffffffff20") + QByteArray(1024 * 1024, 'y');
    QByteArray previousVersion = helloFrame();
    previousVersion[5 + 4 + 1] = 3;
    const std::pair<const char*, QByteArray> cases[] = {
        {"a first frame that is not a hello", encodeFrame(FrameType::Send, QByteArray::fromHex("00000000"))},
        {"a hello with the wrong magic", encodeFrame(FrameType::Hello, badMagic.data())},
        {"a hello cut short inside its body", encodeFrame(FrameType::Hello, QByteArrayLiteral("MLRN\x00"))},
        {"a four gibibyte length", huge},
        {"a hello of version 3, in clear", previousVersion},
        {"garbage after the prologue", encodePrologue(appId(), secure::aesGcmAvailable()) + QByteArray(64, '\xff')},
    };
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (const auto& [name, bytes] : cases) {
        for (int i = 0; i < 5; ++i) {
            peers.push_back(std::make_unique<RawPeer>(config.firstHostPort));
            peers.back()->send(bytes);
        }
    }
    // Each is closed at once, not at its handshake's deadline; only then may more
    // handshakes come from this address.
    QElapsedTimer closing;
    closing.start();
    for (std::size_t i = 0; i < peers.size(); ++i)
        EXPECT_TRUE(peers[i]->closedByHost()) << cases[i / 5].first;
    EXPECT_LT(closing.elapsed(), config.handshakeTimeout.count());
    // A hello announcing the largest frame allowed, and only part of it: the host
    // waits for the rest without holding up anybody else.
    RawPeer halfHello(config.firstHostPort);
    halfHello.send(QByteArray::fromHex("0010000001") + QByteArray(600 * 1024, 'h'));
    // Members: one sends the huge length, one ends in the middle of its fourth line.
    RawPeer mallory(config.firstHostPort), cut(config.firstHostPort);
    ASSERT_EQ(mallory.joinAs(u"mallory"_s), 4);
    ASSERT_EQ(cut.joinAs(u"cut"_s), 5);
    mallory.send(huge);
    const QByteArray fourth = cut.line(u"never"_s, 4);
    cut.send(cut.line(u"m1"_s) + cut.line(u"m2"_s, 2) + cut.line(u"m3"_s, 3) + fourth.left(fourth.size() / 2));
    ::shutdown(static_cast<int>(cut.socket.socketDescriptor()), SHUT_WR);

    chat(u"garbage"_s, 500);
    EXPECT_TRUE(mallory.closedByHost());
    ASSERT_TRUE(logShows(alice, u"leave 5"_s));
    ASSERT_TRUE(logShows(alice, u"leave 4"_s));
    EXPECT_EQ(alice.log.filter(QRegularExpression(u"^(pub 5>|join 5 |leave 5$)"_s)),
              (QStringList{u"join 5 cut"_s, u"pub 5>0 m1"_s, u"pub 5>0 m2"_s, u"pub 5>0 m3"_s, u"leave 5"_s}));
    EXPECT_EQ(halfHello.socket.state(), QAbstractSocket::ConnectedState);
    expectHostUpAndBounded(u"VmHWM"_s, 16);

    for (int round = 0; round < 16; ++round)
        ASSERT_NO_FATAL_FAILURE(chat(u"r%1"_s.arg(round), 250, 2000));
    expectHostUpAndBounded(u"VmRSS"_s, 8);
}

// Eight members take every message but acknowledge none, and are sent private messages
// of 1 MiB: the room keeps within its memory budget by letting them go, one by one,
// and the honest members talk on.
TEST(HostUnderAttack, MembersThatNeverAcknowledgeCannotTakeTheRoomsMemory) {
    SessionConfig config = loopbackConfig();
    // The host says why it lets each member go, for the message of a failure below.
    qputenv("QT_LOGGING_RULES", "mirelune.session.debug=true");
    const auto host = startRoomTool(u"host"_s, config, u"host"_s);
    qunsetenv("QT_LOGGING_RULES");
    TestCopy alice(config), bob(config);
    ASSERT_EQ(alice.joinWhenListed(u"alice"_s), 2);
    ASSERT_EQ(bob.joinAs(u"bob"_s), 3);
    RawPeer sender(config.firstHostPort);
    ASSERT_EQ(sender.joinAs(u"sender"_s), 4);
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < 8; ++i) {
        silent.push_back(std::make_unique<RawPeer>(config.firstHostPort));
        ASSERT_EQ(silent.back()->joinAs(u"silent%1"_s.arg(i)), 5 + i);
    }
    testsupport::spinFor(1s);
    const qint64 baselineKiB = statusKiB(host->processId(), u"VmRSS"_s);
    const QByteArray payload(1000 * 1000, 'm');
    // The sender is an honest member: it takes what comes to it (the silent ones' joins
    // and leaves) and acknowledges it, so it is not one of those the room lets go.
    quint32 senderTook = 0;
    const auto senderTakes = [&] {
        sender.pump();
        while (const auto frame = sender.decoder.next())
            senderTook += frame->type == quint8(FrameType::Deliver) || frame->type == quint8(FrameType::Joined) ||
                          frame->type == quint8(FrameType::Left);
        WireWriter ack;
        ack.u32(senderTook);
        sender.send(encodeFrame(FrameType::Ack, ack.data()));
    };
    QElapsedTimer beat;
    beat.start();
    constexpr int kMessages = 8 * 48; // 48 MiB each, below each one's own cap
    for (int seq = 1; seq <= kMessages; ++seq) {
        WireWriter send;
        send.i32(5 + seq % 8);
        send.u32(static_cast<quint32>(seq));
        send.bytes(payload);
        sender.send(encodeFrame(FrameType::Send, send.data()));
        testsupport::waitUntil(
            [&] {
                for (const auto& peer : silent) // taken, never acknowledged
                    peer->socket.readAll();
                if (beat.hasExpired(1000)) {
                    beat.restart();
                    for (const auto& peer : silent)
                        peer->send(encodeFrame(FrameType::Heartbeat, {}));
                    senderTakes();
                }
                return sender.socket.bytesToWrite() < 4 * 1024 * 1024;
            },
            30s);
        if (seq % 32 == 0) {
            ASSERT_TRUE(alice.say(3, u"to bob %1"_s.arg(seq)).ok());
            ASSERT_TRUE(bob.say(2, u"to alice %1"_s.arg(seq)).ok());
        }
    }
    EXPECT_TRUE(logShows(bob, u"priv 2>3 to bob %1"_s.arg(kMessages)));
    EXPECT_TRUE(logShows(alice, u"priv 3>2 to alice %1"_s.arg(kMessages)));
    EXPECT_FALSE(alice.log.contains(u"leave 3"_s) || alice.log.contains(u"leave 4"_s))
        << alice.log.filter(u"leave "_s).join(u", "_s).toStdString() << "; the host said:\n"
        << host->errors().split(u'\n').filter(u"room is full"_s).join(u'\n').toStdString();
    EXPECT_FALSE(alice.log.filter(u"leave "_s).isEmpty());
    const qint64 peakKiB = statusKiB(host->processId(), u"VmHWM"_s);
    EXPECT_LT(peakKiB - baselineKiB, (config.maxRoomBufferedBytes / 1024 + 64 * kMiB) * kMemoryScale)
        << "baseline " << baselineKiB << " KiB, peak " << peakKiB << " KiB";
}
