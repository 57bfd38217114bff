// The worked example of docs/protocol.md, checked against the code: a client written
// from the document alone produces these bytes.
#include "RawPeer.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

// The `name = hex` lines of one of the document's vector blocks.
QMap<QString, QByteArray> documentedVectors(const QString& name = u"vectors"_s) {
    QFile document(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../docs/protocol.md"));
    if (!document.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(document.readAll());
    const qsizetype begin = text.indexOf(u"```"_s + name + u"\n"_s);
    const QString block = text.mid(begin, text.indexOf(u"```\n"_s, begin + 3) - begin);
    QMap<QString, QByteArray> vectors;
    static const QRegularExpression line(u"^(.+?)\\s+=\\s+([0-9a-f ]+)$"_s, QRegularExpression::MultilineOption);
    for (auto match = line.globalMatch(block); match.hasNext();) {
        const auto found = match.next();
        vectors.insert(found.captured(1), QByteArray::fromHex(found.captured(2).remove(u' ').toLatin1()));
    }
    return vectors;
}

TEST(ProtocolExample, TheDocumentsBytesAreTheCodesBytes) {
    const QMap<QString, QByteArray> v = documentedVectors();
    ASSERT_EQ(v.size(), 14) << "the vectors block of docs/protocol.md";
    const QString password = QString::fromUtf8(v[u"password"_s]);
    const QString application = QString::fromUtf8(v[u"application id"_s]);
    EXPECT_EQ(password, u"パスワード"_s);
    EXPECT_EQ(application, QString::fromUtf16(kApplicationId));

    const QByteArray listKey = proof::listKey(password, application);
    const QByteArray member = v[u"member nonce"_s], query = v[u"query nonce"_s];
    EXPECT_EQ(listKey.toHex(), v[u"listing key"_s].toHex());
    EXPECT_EQ(proof::listQuery(listKey, query, application).toHex(), v[u"listQuery"_s].toHex());
    EXPECT_EQ(proof::listAnswer(listKey, query, v[u"instance id"_s]).toHex(), v[u"listAnswer"_s].toHex());

    // The frames the raw peer of the attack tests builds by hand, as the document has them.
    EXPECT_EQ(encodePrologue(application).toHex(), v[u"prologue"_s].toHex());
    EXPECT_EQ(acceptedPrologue(v[u"prologue"_s], application), v[u"prologue"_s].size());
    EXPECT_EQ(helloFrame(member).toHex(), v[u"Hello frame"_s].toHex());
    EXPECT_EQ(createFrame(u"花子"_s).toHex(), v[u"CreatePlayer 花子 frame"_s].toHex());
    EXPECT_EQ(chatFrame(u"こんにちは"_s, 1).toHex(), v[u"Send こんにちは frame"_s].toHex());
    EXPECT_EQ(chatFrame(u"こんにちは"_s, 1, 2).toHex(), v[u"Deliver from 2 frame"_s].toHex());
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

} // namespace
