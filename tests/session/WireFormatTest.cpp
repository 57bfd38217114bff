// The byte layouts other copies depend on (frames, session messages, discovery
// datagrams), and their decoders fed with what a stranger might send.
#include "session/wire/DiscoveryDatagram.h"
#include "session/wire/FrameCodec.h"
#include "session/wire/Message.h"

#include <QList>
#include <gtest/gtest.h>
#include <tuple>

using namespace session;
using namespace Qt::StringLiterals;

namespace {

QList<Frame> decodeAll(FrameDecoder& decoder) {
    QList<Frame> frames;
    while (auto frame = decoder.next())
        frames.append(*frame);
    return frames;
}

} // namespace

// The layout itself is checked against the protocol document's example.
TEST(FrameCodec, DecodesAStreamSplitAnywhere) {
    const std::pair<FrameType, QByteArray> cases[] = {
        {FrameType::Heartbeat, {}},
        {FrameType::Left, QByteArray::fromHex("00000007")},
        {FrameType::Deliver, QByteArray::fromHex("0000000200000000ff")},
    };
    QByteArray stream;
    for (const auto& [type, body] : cases)
        stream += encodeFrame(type, body);
    // In three chunks cut anywhere (byte by byte among them): a frame comes out only
    // once all of it is in, and a cut one waits for its rest.
    for (qsizetype first = 0; first <= stream.size(); ++first) {
        for (qsizetype second = first; second <= stream.size(); ++second) {
            FrameDecoder decoder(1024);
            QList<Frame> frames;
            for (const QByteArray& chunk :
                 {stream.left(first), stream.mid(first, second - first), stream.mid(second)}) {
                decoder.feed(chunk);
                frames += decodeAll(decoder);
            }
            ASSERT_EQ(frames.size(), qsizetype(std::size(cases))) << first << " " << second;
            for (qsizetype i = 0; i < frames.size(); ++i) {
                EXPECT_EQ(frames[i].type, static_cast<quint8>(cases[i].first));
                EXPECT_EQ(frames[i].body, cases[i].second);
            }
            EXPECT_EQ(decoder.pendingBytes(), 0);
        }
    }
}

TEST(FrameCodec, RefusesZeroAndOversizedLengthsAndKeepsRefusing) {
    const std::tuple<const char*, QByteArray, bool> cases[] = {
        {"zero length", QByteArray::fromHex("00000000"), true},
        {"one byte over the limit", QByteArray::fromHex("00000101") + QByteArray(300, 'x'), true},
        {"exactly the limit", QByteArray::fromHex("00000100") + QByteArray(256, 'x'), false},
    };
    for (const auto& [name, wire, fails] : cases) {
        FrameDecoder decoder(256);
        decoder.feed(wire);
        const auto frame = decoder.next();
        EXPECT_EQ(decoder.failed(), fails) << name;
        EXPECT_EQ(frame.has_value(), !fails) << name;
        if (fails) {
            decoder.feed(QByteArray::fromHex("0000000130"));
            EXPECT_FALSE(decoder.next().has_value()) << name;
        }
    }
}

TEST(Message, BigEndianIntegersAndByteLengthPrefixedUtf8ReadBackInOrder) {
    Message written;
    written.writeInt32(0x01020304);
    written.writeString(u"é"_s);
    written.writeInt32(-7);
    written.writeString(u"こ"_s);
    written.writeString(QString());
    EXPECT_EQ(written.payload(), QByteArray::fromHex("01020304 00000002c3a9 fffffff9 00000003e38193 00000000"));

    Message read(written.payload());
    EXPECT_EQ(read.readInt32().value(), 0x01020304);
    EXPECT_EQ(read.readString().value(), u"é"_s);
    EXPECT_EQ(read.readInt32().value(), -7);
    EXPECT_EQ(read.readString().value(), u"こ"_s);
    EXPECT_EQ(read.readString().value(), QString());
    EXPECT_FALSE(read.readInt32().ok());

    // Invalid UTF-8 is read, with replacement characters.
    Message invalid(QByteArray::fromHex("00000003 61ff62"));
    EXPECT_EQ(invalid.readString().valueOr({}), u"a\uFFFDb"_s);
}

TEST(Message, ReadingPastTheEndFailsAndKeepsThePosition) {
    // Empty, three bytes of an integer, a string longer than the rest, one of 4 GiB.
    for (const char* hex : {"", "000001", "00000005616263", "ffffffff"}) {
        Message message(QByteArray::fromHex(hex));
        EXPECT_FALSE(message.readString().ok()) << hex;
        // The failed read consumed nothing: the integer read sees the same bytes.
        EXPECT_EQ(message.readInt32().ok(), QByteArray::fromHex(hex).size() >= 4) << hex;
    }
}

TEST(DiscoveryDatagram, QueryAndAnswerLayout) {
    const QByteArray queryBytes =
        encodeQuery({.nonce = QByteArray(16, '\x11'), .applicationId = u"{A}"_s, .share = QByteArray(32, '\x44')});
    EXPECT_EQ(queryBytes.toHex(), QByteArray::fromHex("4d4c4451 03 11111111111111111111111111111111 00000003 7b417d 01")
                                      .append(32, '\x44')
                                      .toHex());

    const DiscoveryAnswer answer{.nonce = QByteArray(16, '\x11'),
                                 .instanceId = QByteArray(16, '\x22'),
                                 .applicationId = u"{A}"_s,
                                 .roomName = u"é"_s,
                                 .port = 47811,
                                 .numericAttribute = 4,
                                 .acceptsPlayers = true,
                                 .memberCount = 2};
    const QByteArray answerBytes = QByteArray::fromHex("4d4c444103") + QByteArray(16, '\x11') + QByteArray(16, '\x22') +
                                   QByteArray::fromHex("000000037b417d 00000002c3a9 bac3 00000004 02 00000002");
    EXPECT_EQ(encodeAnswer(answer).toHex(), answerBytes.toHex());
    // The same room sealed: its fields without nonce and application id, the name
    // last, zeros up to 796 bytes; the sealed answer around it is 865 bytes.
    const QByteArray description =
        QByteArray(16, '\x22') + QByteArray::fromHex("bac3 00000004 02 00000002 00000002c3a9");
    EXPECT_EQ(encodeSealedDescription(answer).toHex(),
              QByteArray(description + QByteArray(796 - description.size(), 0)).toHex());
    const QByteArray sealedBytes =
        QByteArray::fromHex("4d4c445303") + QByteArray(16, '\x11') + QByteArray(32, '\x55') + QByteArray(812, '\x66');
    EXPECT_EQ(encodeSealedAnswer({QByteArray(16, '\x11'), QByteArray(32, '\x55'), QByteArray(812, '\x66')}).toHex(),
              sealedBytes.toHex());

    // Parsed and written again, every field comes back.
    const auto parsedQuery = parseQuery(queryBytes);
    ASSERT_TRUE(parsedQuery.has_value());
    EXPECT_EQ(encodeQuery(*parsedQuery).toHex(), queryBytes.toHex());
    const auto parsedAnswer = parseAnswer(answerBytes);
    ASSERT_TRUE(parsedAnswer.has_value());
    EXPECT_EQ(encodeAnswer(*parsedAnswer).toHex(), answerBytes.toHex());
    const auto parsedSealed = parseSealedAnswer(sealedBytes);
    ASSERT_TRUE(parsedSealed.has_value());
    EXPECT_EQ(encodeSealedAnswer(*parsedSealed).toHex(), sealedBytes.toHex());
    const auto opened = parseSealedDescription(encodeSealedDescription(answer), answer.nonce, answer.applicationId);
    ASSERT_TRUE(opened.has_value());
    EXPECT_TRUE(opened->passwordProtected);
    EXPECT_EQ(encodeAnswer(*opened).toHex(), answerBytes.toHex());
}

TEST(DiscoveryDatagram, DropsAnythingMalformed) {
    const QByteArray good =
        encodeQuery({.nonce = QByteArray(16, '\x11'), .applicationId = u"{A}"_s, .share = QByteArray(32, '\x44')});
    ASSERT_TRUE(parseQuery(good).has_value());
    // Every truncation fails, never reads past the end.
    for (qsizetype size = 0; size < good.size(); ++size)
        EXPECT_FALSE(parseQuery(good.left(size)).has_value()) << size;
    QByteArray otherVersion = good;
    otherVersion[4] = 2;
    EXPECT_FALSE(parseQuery(otherVersion).has_value());
    QByteArray lyingLength = good;
    lyingLength[21] = '\x7f';
    EXPECT_FALSE(parseQuery(lyingLength).has_value());
    EXPECT_FALSE(parseQuery(good + QByteArray(kMaxDiscoveryDatagramBytes, 0)).has_value());
    EXPECT_FALSE(parseAnswer(good).has_value());
    // A clear answer never says "password protected" (version 2 did).
    DiscoveryAnswer room;
    room.nonce = QByteArray(16, 1);
    room.instanceId = QByteArray(16, 2);
    room.port = 1;
    QByteArray clear = encodeAnswer(room);
    ASSERT_TRUE(parseAnswer(clear).has_value());
    clear[clear.size() - 5] = '\x03';
    EXPECT_FALSE(parseAnswer(clear).has_value());
    const QByteArray sealed = encodeSealedAnswer({QByteArray(16, 1), QByteArray(32, 2), QByteArray(812, 3)});
    EXPECT_FALSE(parseSealedAnswer(sealed.chopped(1)).has_value());
    EXPECT_FALSE(parseSealedDescription(QByteArray(795, 0), {}, {}).has_value());
}

TEST(DiscoveryDatagram, ParsesHostAndPort) {
    // The text, and what it gives as "host port" (empty when refused).
    const std::pair<QString, QString> cases[] = {
        {u"example.org"_s, u"example.org 47811"_s},
        {u" 10.0.0.5:5000 "_s, u"10.0.0.5 5000"_s},
        {u"[::1]:6000"_s, u"::1 6000"_s},
        {u"[fe80::1]"_s, u"fe80::1 47811"_s},
        {u"fe80::1"_s, u"fe80::1 47811"_s},
        {u""_s, {}},
        {u"host:"_s, {}},
        {u"host:0"_s, {}},
        {u"host:65536"_s, {}},
        {u"host:http"_s, {}},
        {u"[::1"_s, {}},
        {u":5000"_s, {}},
    };
    for (const auto& [text, expected] : cases) {
        const auto parsed = parseHostAndPort(text, 47811);
        EXPECT_EQ(parsed ? u"%1 %2"_s.arg(parsed->host).arg(parsed->port) : QString(), expected) << text.toStdString();
    }
}
