// The worked example of docs/protocol.md, checked against the code: a client written
// from the document alone produces these bytes.
#include "RawPeer.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

// The `name = hex` lines of the document's vectors block.
QMap<QString, QByteArray> documentedVectors() {
    QFile document(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../docs/protocol.md"));
    if (!document.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(document.readAll());
    const qsizetype begin = text.indexOf(u"```vectors\n"_s);
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
    ASSERT_EQ(v.size(), 18) << "the vectors block of docs/protocol.md";
    const QString password = QString::fromUtf8(v[u"password"_s]);
    const QString application = QString::fromUtf8(v[u"application id"_s]);
    EXPECT_EQ(password, u"パスワード"_s);
    EXPECT_EQ(application, QString::fromUtf16(kApplicationId));

    const QByteArray listKey = proof::listKey(password, application);
    const QByteArray joinKey = proof::joinKey(password, v[u"instance id"_s]);
    const QByteArray host = v[u"host nonce"_s], member = v[u"member nonce"_s], query = v[u"query nonce"_s];
    EXPECT_EQ(listKey.toHex(), v[u"listing key"_s].toHex());
    EXPECT_EQ(joinKey.toHex(), v[u"joining key"_s].toHex());
    EXPECT_EQ(proof::listQuery(listKey, query, application).toHex(), v[u"listQuery"_s].toHex());
    EXPECT_EQ(proof::listAnswer(listKey, query, v[u"instance id"_s]).toHex(), v[u"listAnswer"_s].toHex());
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

} // namespace
