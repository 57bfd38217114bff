#include "transfer/TransferWire.h"

#include "common/TestSupport.h"
#include "transfer/FileName.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace transfer;
using namespace Qt::StringLiterals;

TEST(FileName, MakesHostileNamesSafe) {
    const QString longStem(300, u'あ');
    const struct {
        QString offered, expected;
    } cases[] = {
        {u"../x"_s, u"x"_s},
        {u"/etc/passwd"_s, u"passwd"_s},
        {u"a\\b"_s, u"b"_s},
        {u"..\\..\\Windows\\win.ini"_s, u"win.ini"_s},
        {u"a"_s + QChar(7) + u"b\u202Ec\nd.txt"_s, u"abcd.txt"_s},
        {u"CON.txt"_s, u"_CON.txt"_s},
        {u"lpt9"_s, u"_lpt9"_s},
        {u"CONSOLE.txt"_s, u"CONSOLE.txt"_s},
        {u"what?<is>:this|\"*.zip"_s, u"what__is__this___.zip"_s},
        {u"  name. . "_s, u"name"_s},
        {u".."_s, u"ファイル"_s},
        {u""_s, u"ファイル"_s},
        {u"dir/"_s, u"ファイル"_s},
        {longStem + u".tar"_s, QString(65, u'あ') + u".tar"_s}, // 65 * 3 + 4 bytes <= 200
        {u"写真.png"_s, u"写真.png"_s},
    };
    for (const auto& c : cases) {
        const QString safe = safeFileName(c.offered);
        EXPECT_EQ(safe, c.expected) << c.offered.toStdString();
        EXPECT_LE(safe.toUtf8().size(), 200);
    }
}

TEST(FileName, FreeNameCountsUp) {
    QTemporaryDir dir;
    EXPECT_EQ(freeFileName(QDir(dir.path()), u"a.zip"_s), u"a.zip"_s);
    testsupport::writeAll(dir.filePath(u"a.zip"_s), "1");
    testsupport::writeAll(dir.filePath(u"a (2).zip"_s), "2");
    EXPECT_EQ(freeFileName(QDir(dir.path()), u"a.zip"_s), u"a (3).zip"_s);
}

namespace {
session::Message offerMessage(qint32 kind, qint32 id, qint32 high, qint32 low, const QString& hash,
                              const QString& name) {
    session::Message m;
    for (const qint32 v : {kind, id, high, low})
        m.writeInt32(v);
    m.writeString(hash);
    m.writeString(name);
    return m;
}
} // namespace

TEST(TransferWire, DecodesOffersAndRefusesLies) {
    const QString hash(64, u'a');
    const auto good = decodeOffer(offerMessage(2, 7, 1, 2, hash, u"a.zip"_s));
    ASSERT_TRUE(good);
    EXPECT_EQ(good->transferId, 7u);
    EXPECT_EQ(good->size, 0x100000002LL);
    EXPECT_EQ(decodeOffer(encodeOffer(*good))->name, u"a.zip"_s);

    session::Message cut(offerMessage(2, 7, 0, 5, hash, u"a.zip"_s).payload().chopped(3));
    const session::Message refused[] = {
        cut,
        offerMessage(0, 7, 0, 5, hash, u"a.zip"_s),              // a chat line
        offerMessage(2, 0, 0, 5, hash, u"a.zip"_s),              // id 0
        offerMessage(2, 7, -1, 5, hash, u"a.zip"_s),             // negative size
        offerMessage(2, 7, 0, 5, QString(64, u'A'), u"a.zip"_s), // not lowercase
        offerMessage(2, 7, 0, 5, QString(63, u'a'), u"a.zip"_s), // short hash
        offerMessage(2, 7, 0, 5, hash, u""_s),                   // no name
        offerMessage(2, 7, 0, 5, hash, QString(1001, u'x')),     // too long
    };
    for (const auto& m : refused)
        EXPECT_FALSE(decodeOffer(m));
}

TEST(TransferWire, DecodesPartsAndIgnoresMalformedOnes) {
    // A Want written by hand: id 7, have 0, up to 1 MiB, restart.
    const QByteArray want = QByteArray::fromHex("01"
                                                "00000007"
                                                "0000000000000000"
                                                "0000000000100000"
                                                "01");
    const auto decoded = decodePart(want);
    ASSERT_TRUE(decoded && std::holds_alternative<Want>(*decoded));
    EXPECT_EQ(std::get<Want>(*decoded).upTo, 1048576u);
    EXPECT_TRUE(std::get<Want>(*decoded).restart);
    EXPECT_EQ(encodePart(std::get<Want>(*decoded)), want);
    EXPECT_EQ(encodePart(Cancel{9, CancelReason::Limit, CancelSide::Receiver}), QByteArray::fromHex("03"
                                                                                                    "00000009"
                                                                                                    "04"
                                                                                                    "02"));

    const QByteArray chunkHead = QByteArray::fromHex("02"
                                                     "00000001"
                                                     "0000000000000000");
    const QByteArray refused[] = {
        {},
        QByteArray::fromHex("09000000010000"), // unknown type
        want.left(20),                         // Want cut short
        chunkHead,                             // chunk without data
        chunkHead + QByteArray(65537, 'x'),    // chunk above 64 KiB
        QByteArray::fromHex("03"
                            "00000009"
                            "07"
                            "01"), // unknown reason
        QByteArray::fromHex("03"
                            "00000009"
                            "01"), // Cancel without its side
        QByteArray::fromHex("04"
                            "000000"), // Done cut short
    };
    for (const QByteArray& bytes : refused)
        EXPECT_FALSE(decodePart(bytes)) << bytes.left(16).toHex().toStdString();
    EXPECT_TRUE(decodePart(chunkHead + QByteArray(65536, 'x')));
}
