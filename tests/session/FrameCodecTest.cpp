#include "session/FrameCodec.h"

#include "session/DiscoveryDatagram.h"

#include <QList>
#include <gtest/gtest.h>

using namespace session;

namespace {

QList<Frame> decodeAll(FrameDecoder& decoder) {
    QList<Frame> frames;
    while (auto frame = decoder.next()) {
        frames.append(*frame);
    }
    return frames;
}

} // namespace

TEST(FrameCodec, EncodesLengthTypeAndBody) {
    struct Case {
        FrameType type;
        QByteArray body;
        QByteArray wire;
    };
    const Case cases[] = {
        {FrameType::Heartbeat, {}, QByteArray::fromHex("0000000130")},
        {FrameType::Left, QByteArray::fromHex("00000007"), QByteArray::fromHex("000000052300000007")},
        {FrameType::Deliver, QByteArray::fromHex("0000000200000000ff"),
         QByteArray::fromHex("0000000a210000000200000000ff")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encodeFrame(c.type, c.body).toHex(), c.wire.toHex());
        FrameDecoder decoder(1024);
        decoder.feed(c.wire);
        const auto frame = decoder.next();
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->type, static_cast<quint8>(c.type));
        EXPECT_EQ(frame->body, c.body);
        EXPECT_FALSE(decoder.next().has_value());
        EXPECT_EQ(decoder.pendingBytes(), 0);
    }
}

TEST(FrameCodec, AStreamSplitAtEveryOffsetDecodesAsWhole) {
    const QByteArray stream = QByteArray::fromHex("0000000130") + QByteArray::fromHex("000000052300000007") +
                              QByteArray::fromHex("0000000420010203") + QByteArray::fromHex("0000000199");
    FrameDecoder whole(1024);
    whole.feed(stream);
    const QList<Frame> expected = decodeAll(whole);
    ASSERT_EQ(expected.size(), 4);

    for (qsizetype first = 0; first <= stream.size(); ++first) {
        for (qsizetype second = first; second <= stream.size(); ++second) {
            FrameDecoder decoder(1024);
            QList<Frame> frames;
            for (const QByteArray& chunk :
                 {stream.left(first), stream.mid(first, second - first), stream.mid(second)}) {
                decoder.feed(chunk);
                frames += decodeAll(decoder);
            }
            ASSERT_EQ(frames.size(), expected.size()) << first << " " << second;
            for (int i = 0; i < frames.size(); ++i) {
                EXPECT_EQ(frames[i].type, expected[i].type);
                EXPECT_EQ(frames[i].body, expected[i].body);
            }
        }
    }
    // Byte by byte, too.
    FrameDecoder trickle(1024);
    QList<Frame> frames;
    for (const char byte : stream) {
        trickle.feed(QByteArray(1, byte));
        frames += decodeAll(trickle);
    }
    EXPECT_EQ(frames.size(), 4);
}

TEST(FrameCodec, RefusesZeroAndOversizedLengthsAndKeepsRefusing) {
    struct Case {
        const char* name;
        QByteArray wire;
        bool fails;
    };
    const Case cases[] = {
        {"zero length", QByteArray::fromHex("00000000"), true},
        {"one byte over the limit", QByteArray::fromHex("00000101") + QByteArray(300, 'x'), true},
        {"exactly the limit", QByteArray::fromHex("00000100") + QByteArray(256, 'x'), false},
        {"a huge length announced, nothing sent", QByteArray::fromHex("7fffffff"), true},
        {"text where a length belongs", QByteArrayLiteral("GET / HTTP/1.1\r\n\r\n"), true},
    };
    for (const Case& c : cases) {
        FrameDecoder decoder(256);
        decoder.feed(c.wire);
        const auto frame = decoder.next();
        EXPECT_EQ(decoder.failed(), c.fails) << c.name;
        EXPECT_EQ(frame.has_value(), !c.fails) << c.name;
        if (c.fails) {
            decoder.feed(QByteArray::fromHex("0000000130"));
            EXPECT_FALSE(decoder.next().has_value()) << c.name;
        }
    }
}

TEST(FrameCodec, ATruncatedFrameWaitsForItsRest) {
    const QByteArray frame = encodeFrame(FrameType::Send, QByteArray(100, 'a'));
    FrameDecoder decoder(1024);
    decoder.feed(frame.left(50));
    EXPECT_FALSE(decoder.next().has_value());
    EXPECT_FALSE(decoder.failed());
    EXPECT_EQ(decoder.pendingBytes(), 50);
    decoder.feed(frame.mid(50));
    EXPECT_TRUE(decoder.next().has_value());
}

TEST(DiscoveryDatagram, QueryAndAnswerLayout) {
    DiscoveryQuery query;
    query.nonce = QByteArray(16, '\x11');
    query.applicationId = QStringLiteral("{A}");
    EXPECT_EQ(encodeQuery(query).toHex(), QByteArray("4d4c4451"
                                                     "01"
                                                     "11111111111111111111111111111111"
                                                     "00000003"
                                                     "7b417d"
                                                     "00"));

    DiscoveryAnswer answer;
    answer.nonce = QByteArray(16, '\x11');
    answer.instanceId = QByteArray(16, '\x22');
    answer.applicationId = QStringLiteral("{A}");
    answer.roomName = QStringLiteral("é");
    answer.port = 47811;
    answer.numericAttribute = 4;
    answer.passwordProtected = true;
    answer.acceptsPlayers = true;
    answer.memberCount = 2;
    answer.proof = QByteArray(32, '\x33');
    const QByteArray expected = QByteArray::fromHex("4d4c444101") + QByteArray(16, '\x11') + QByteArray(16, '\x22') +
                                QByteArray::fromHex("000000037b417d"
                                                    "00000002c3a9"
                                                    "bac3"
                                                    "00000004"
                                                    "03"
                                                    "00000002") +
                                QByteArray(32, '\x33');
    EXPECT_EQ(encodeAnswer(answer).toHex(), expected.toHex());

    const auto parsed = parseAnswer(expected);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->roomName, QStringLiteral("é"));
    EXPECT_EQ(parsed->port, 47811);
    EXPECT_TRUE(parsed->passwordProtected);
    EXPECT_EQ(parsed->proof, QByteArray(32, '\x33'));
    const auto parsedQuery = parseQuery(encodeQuery(query));
    ASSERT_TRUE(parsedQuery.has_value());
    EXPECT_EQ(parsedQuery->applicationId, QStringLiteral("{A}"));
    EXPECT_TRUE(parsedQuery->proof.isEmpty());
}

TEST(DiscoveryDatagram, DropsAnythingMalformed) {
    DiscoveryQuery query;
    query.nonce = QByteArray(16, '\x11');
    query.applicationId = QStringLiteral("{A}");
    query.proof = QByteArray(32, '\x44');
    const QByteArray good = encodeQuery(query);
    ASSERT_TRUE(parseQuery(good).has_value());
    // Every truncation fails, never reads past the end.
    for (qsizetype size = 0; size < good.size(); ++size) {
        EXPECT_FALSE(parseQuery(good.left(size)).has_value()) << size;
    }
    QByteArray otherVersion = good;
    otherVersion[4] = 2;
    EXPECT_FALSE(parseQuery(otherVersion).has_value());
    QByteArray lyingLength = good;
    lyingLength[21] = '\x7f';
    EXPECT_FALSE(parseQuery(lyingLength).has_value());
    EXPECT_FALSE(parseQuery(good + QByteArray(kMaxDiscoveryDatagramBytes, 0)).has_value());
    EXPECT_FALSE(parseAnswer(good).has_value());
}

TEST(DiscoveryDatagram, ParsesHostAndPort) {
    struct Case {
        QString text;
        std::optional<QString> host;
        quint16 port;
    };
    const Case cases[] = {
        {QStringLiteral("example.org"), QStringLiteral("example.org"), 47811},
        {QStringLiteral(" 10.0.0.5:5000 "), QStringLiteral("10.0.0.5"), 5000},
        {QStringLiteral("[::1]:6000"), QStringLiteral("::1"), 6000},
        {QStringLiteral("[fe80::1]"), QStringLiteral("fe80::1"), 47811},
        {QStringLiteral("fe80::1"), QStringLiteral("fe80::1"), 47811},
        {QStringLiteral(""), std::nullopt, 0},
        {QStringLiteral("host:"), std::nullopt, 0},
        {QStringLiteral("host:0"), std::nullopt, 0},
        {QStringLiteral("host:65536"), std::nullopt, 0},
        {QStringLiteral("host:http"), std::nullopt, 0},
        {QStringLiteral("[::1"), std::nullopt, 0},
        {QStringLiteral(":5000"), std::nullopt, 0},
    };
    for (const Case& c : cases) {
        const auto parsed = parseHostAndPort(c.text, 47811);
        ASSERT_EQ(parsed.has_value(), c.host.has_value()) << c.text.toStdString();
        if (parsed) {
            EXPECT_EQ(parsed->host, *c.host);
            EXPECT_EQ(parsed->port, c.port);
        }
    }
}
