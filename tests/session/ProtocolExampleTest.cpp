// The worked example of docs/protocol.md, checked against the code: a client written
// from the document alone produces these bytes.
#include "RawPeer.h"
#include "session/secure/ListingSeal.h"
#include "session/wire/DiscoveryDatagram.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

// The `name = hex` lines of one of the document's blocks; a line of hex alone goes on
// with the value above it.
QMap<QString, QByteArray> documentedVectors(const QString& kind = u"vectors"_s) {
    QFile document(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../docs/protocol.md"));
    if (!document.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(document.readAll());
    const qsizetype begin = text.indexOf(u"```"_s + kind + u'\n');
    const QString block = text.mid(begin, text.indexOf(u"```\n"_s, begin + 3) - begin);
    QMap<QString, QByteArray> vectors;
    static const QRegularExpression line(u"^(?:(\\S.*?)\\s+=|\\s+)\\s*([0-9a-f ]+)$"_s,
                                         QRegularExpression::MultilineOption);
    QString name;
    for (auto match = line.globalMatch(block); match.hasNext();) {
        const auto found = match.next();
        if (!found.captured(1).isEmpty())
            name = found.captured(1);
        vectors[name] += QByteArray::fromHex(found.captured(2).remove(u' ').toLatin1());
    }
    return vectors;
}

TEST(ProtocolExample, TheDocumentsBytesAreTheCodesBytes) {
    const QMap<QString, QByteArray> v = documentedVectors();
    ASSERT_EQ(v.size(), 8) << "the vectors block of docs/protocol.md";
    const QString password = QString::fromUtf8(v[u"password"_s]);
    const QString application = QString::fromUtf8(v[u"application id"_s]);
    EXPECT_EQ(password, u"パスワード"_s);
    EXPECT_EQ(application, QString::fromUtf16(kApplicationId));

    const QByteArray member = v[u"member nonce"_s];

    // The frames the raw peer of the attack tests builds by hand, as the document has them.
    EXPECT_EQ(encodePrologue(application, false).toHex(), v[u"prologue"_s].toHex());
    EXPECT_EQ(acceptedPrologue(v[u"prologue"_s], application), v[u"prologue"_s].size());
    EXPECT_EQ(helloFrame(member).toHex(), v[u"Hello frame"_s].toHex());
    EXPECT_EQ(createFrame(u"花子"_s).toHex(), v[u"CreatePlayer 花子 frame"_s].toHex());
    const QByteArray signature = documentedVectors(u"line-vectors"_s)[u"line signature"_s];
    EXPECT_EQ(chatFrame(u"こんにちは"_s, 1, 0, signature).toHex(), v[u"Send こんにちは frame"_s].toHex());
    EXPECT_EQ(chatFrame(u"こんにちは"_s, 1, 2, signature).toHex(), v[u"Deliver from 2 frame"_s].toHex());
}

// A chat line's signature, a Resume's and a receipt's, with the keys of the room-vectors block.
TEST(ProtocolExample, TheSignaturesOfALineAResumeAndAReceiptAreTheDocuments) {
    const QMap<QString, QByteArray> v = documentedVectors(u"line-vectors"_s);
    ASSERT_EQ(v.size(), 10) << "the line-vectors block of docs/protocol.md";
    const auto hex = [](QByteArrayView bytes) { return bytes.toByteArray().toHex().toStdString(); };
    secure::SecretBytes<32> seed;
    const QByteArray seedBytes = v[u"signing seed"_s];
    std::copy(seedBytes.begin(), seedBytes.end(), reinterpret_cast<char*>(seed.data()));
    const secure::SigningKey key = secure::SigningKey::fromSeed(seed);
    secure::RoomKey room{};
    ASSERT_TRUE(secure::fromBytes(v[u"room key"_s], room));
    EXPECT_EQ(hex(chatPayload(u"こんにちは"_s)), hex(v[u"payload"_s]));
    EXPECT_EQ(hex(secure::lineSignedBytes(room, 2, kEveryone, 1, v[u"payload"_s])), hex(v[u"line signed bytes"_s]));
    EXPECT_EQ(hex(secure::signLine(key, room, 2, kEveryone, 1, v[u"payload"_s])), hex(v[u"line signature"_s]));
    EXPECT_TRUE(secure::verifyLine(key.publicKey, v[u"line signature"_s], room, 2, kEveryone, 1, v[u"payload"_s]));
    EXPECT_FALSE(secure::verifyLine(key.publicKey, v[u"line signature"_s], room, 3, kEveryone, 1, v[u"payload"_s]));
    const QByteArray resume = secure::resumeSignedBytes(v[u"handshake hash"_s], 2);
    EXPECT_EQ(hex(resume), hex(v[u"resume signed bytes"_s]));
    EXPECT_EQ(hex(key.sign(resume)), hex(v[u"resume signature"_s]));
    const QByteArray receipt = secure::receiptSignedBytes(room, 2, 3, 1);
    EXPECT_EQ(hex(receipt), hex(v[u"receipt signed bytes"_s]));
    EXPECT_EQ(hex(key.sign(receipt)), hex(v[u"receipt signature"_s]));
}

// A password room's join with fixed scalars: the CPace both sides run, the frames it
// puts on the wire, and the first records after the re-key.
TEST(ProtocolExample, APasswordRoomsExchangeIsTheDocuments) {
    const QMap<QString, QByteArray> v = documentedVectors(u"cpace-vectors"_s);
    ASSERT_EQ(v.size(), 20) << "the cpace-vectors block of docs/protocol.md";
    const auto hex = [](QByteArrayView bytes) { return bytes.toByteArray().toHex().toStdString(); };
    const QByteArray prs = secure::passwordBytes(QString::fromUtf8(v[u"password"_s]));
    EXPECT_EQ(prs, v[u"password"_s]);
    const QByteArray ci = secure::lvCat({v[u"member static key"_s], v[u"host static key"_s]});
    EXPECT_EQ(hex(ci), hex(v[u"CI"_s]));
    const QByteArray sid = v[u"handshake hash"_s];
    const auto scalar = [&](const QString& name) {
        secure::SecretBytes<secure::kCPaceScalarBytes> out;
        const QByteArray bytes = v[name].left(secure::kCPaceScalarBytes);
        std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(out.data()));
        return out;
    };
    const auto ya = scalar(u"host scalar"_s), yb = scalar(u"member scalar"_s);
    const QByteArray instance = v[u"instance id"_s], nonce = v[u"member nonce"_s];
    auto host = secure::CPaceParty::start(secure::CPaceParty::Role::Initiator, prs, ci, sid, instance, &ya);
    auto member = secure::CPaceParty::start(secure::CPaceParty::Role::Responder, prs, ci, sid, nonce, &yb);
    ASSERT_TRUE(host && member);
    EXPECT_EQ(hex(host->share()), hex(v[u"Ya"_s]));
    EXPECT_EQ(hex(member->share()), hex(v[u"Yb"_s]));
    ASSERT_TRUE(host->receive(member->share(), nonce) && member->receive(host->share(), instance));
    EXPECT_EQ(hex(host->iskBytes().toByteArray()), hex(v[u"ISK"_s]));
    EXPECT_EQ(hex(member->iskBytes().toByteArray()), hex(v[u"ISK"_s]));
    EXPECT_EQ(hex(host->ownConfirmation()), hex(v[u"Ta"_s]));
    EXPECT_EQ(hex(member->ownConfirmation()), hex(v[u"Tb"_s]));
    EXPECT_TRUE(host->checkConfirmation(v[u"Tb"_s]) && member->checkConfirmation(v[u"Ta"_s]));

    WireWriter challenge;
    challenge.u16(kProtocolVersion);
    challenge.u8(1);
    challenge.bytes(v[u"host nonce"_s]);
    challenge.bytes(instance);
    challenge.bytes(host->share());
    EXPECT_EQ(hex(encodeFrame(FrameType::Challenge, challenge.data())), hex(v[u"Challenge frame"_s]));
    EXPECT_EQ(hex(encodeFrame(FrameType::Auth, member->share() + member->ownConfirmation())), hex(v[u"Auth frame"_s]));

    // The re-key, from the handshake's chaining key and the ISK; as the member's
    // transport (the initiator's) sees it.
    secure::TransportState transport;
    transport.initiator = true;
    const QByteArray chainingKey = v[u"chaining key"_s].left(secure::kHashBytes);
    std::copy(chainingKey.begin(), chainingKey.end(), reinterpret_cast<char*>(transport.chainingKey.data()));
    transport.mixSecret(host->isk().data(), secure::kCPaceIskBytes);
    EXPECT_EQ(hex(secure::RecordEncoder(transport.send).seal(createFrame(u"花子"_s)).value_or("failed")),
              hex(v[u"member record 0 after re-key"_s]));
    EXPECT_EQ(
        hex(secure::RecordEncoder(transport.receive).seal(encodeFrame(FrameType::Heartbeat, {})).value_or("failed")),
        hex(v[u"host record 0 after re-key"_s]));
}

// A password room's listing, as the document works it out: the lister's share from its
// scalar, the room's sealed answer from its own, and the lister opening it.
TEST(ProtocolExample, TheDocumentsListingIsTheCodesListing) {
    const QMap<QString, QByteArray> v = documentedVectors(u"listing-vectors"_s);
    ASSERT_EQ(v.size(), 12) << "the listing-vectors block of docs/protocol.md";
    const QString password = QString::fromUtf8(v[u"password"_s]);
    const QString application = QString::fromUtf8(v[u"application id"_s]);
    const QByteArray nonce = v[u"query nonce"_s];
    secure::SecretBytes<secure::kCPaceScalarBytes> ya, yb;
    std::copy_n(v[u"ya"_s].constData(), ya.size(), reinterpret_cast<char*>(ya.data()));
    std::copy_n(v[u"yb"_s].constData(), yb.size(), reinterpret_cast<char*>(yb.data()));

    EXPECT_EQ(secure::toBytes(
                  secure::cpaceGenerator(secure::passwordBytes(password), secure::listingChannelId(application), nonce))
                  .toHex(),
              v[u"generator"_s].toHex());
    const auto lister = secure::ListingSecret::start(password, application, nonce, &ya);
    ASSERT_TRUE(lister.has_value());
    EXPECT_EQ(encodeQuery({nonce, application, lister->share()}).toHex(), v[u"query"_s].toHex());
    auto room = secure::CPaceParty::start(secure::CPaceParty::Role::Responder, secure::passwordBytes(password),
                                          secure::listingChannelId(application), nonce, {}, &yb);
    ASSERT_TRUE(room && room->receive(v[u"Ya"_s], {}));
    EXPECT_EQ(room->share().toHex(), v[u"Yb"_s].toHex());
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(room->isk().data()), 64).toHex(), v[u"ISK"_s].toHex());

    DiscoveryAnswer described;
    described.instanceId = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
    described.roomName = u"秘密の部屋"_s;
    described.port = 47811;
    described.numericAttribute = 4;
    described.memberCount = 1;
    const auto sealed =
        secure::sealListing(password, application, nonce, v[u"Ya"_s], encodeSealedDescription(described), &yb);
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(encodeSealedAnswer({nonce, sealed->share, sealed->sealed}).toHex(), v[u"sealed answer"_s].toHex());
    const auto answer = parseSealedAnswer(v[u"sealed answer"_s]);
    ASSERT_TRUE(answer.has_value());
    const auto opened = lister->open(answer->share, answer->sealed);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(parseSealedDescription(*opened, nonce, application).value_or(DiscoveryAnswer{}).roomName,
              described.roomName);
}

} // namespace
