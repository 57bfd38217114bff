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
    ASSERT_EQ(v.size(), 14) << "the vectors block of docs/protocol.md";
    const QString password = QString::fromUtf8(v[u"password"_s]);
    const QString application = QString::fromUtf8(v[u"application id"_s]);
    EXPECT_EQ(password, u"パスワード"_s);
    EXPECT_EQ(application, QString::fromUtf16(kApplicationId));

    const QByteArray joinKey = proof::joinKey(password, v[u"instance id"_s]);
    const QByteArray host = v[u"host nonce"_s], member = v[u"member nonce"_s];
    EXPECT_EQ(joinKey.toHex(), v[u"joining key"_s].toHex());
    EXPECT_EQ(proof::joinMember(joinKey, host, member).toHex(), v[u"joinMember"_s].toHex());
    EXPECT_EQ(proof::joinHost(joinKey, host, member).toHex(), v[u"joinHost"_s].toHex());
    EXPECT_EQ(proof::joinMember(proof::joinKey({}, v[u"instance id"_s]), host, member).toHex(),
              v[u"joinMember, no password"_s].toHex());

    // The frames the raw peer of the attack tests builds by hand, as the document has them.
    EXPECT_EQ(encodePrologue(application).toHex(), v[u"prologue"_s].toHex());
    EXPECT_EQ(acceptedPrologue(v[u"prologue"_s], application), v[u"prologue"_s].size());
    EXPECT_EQ(helloFrame(member).toHex(), v[u"Hello frame"_s].toHex());
    EXPECT_EQ(createFrame(u"花子"_s).toHex(), v[u"CreatePlayer 花子 frame"_s].toHex());
    EXPECT_EQ(chatFrame(u"こんにちは"_s, 1).toHex(), v[u"Send こんにちは frame"_s].toHex());
    EXPECT_EQ(chatFrame(u"こんにちは"_s, 1, 2).toHex(), v[u"Deliver from 2 frame"_s].toHex());
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
