// Files between copies of the headless client on loopback: one member takes an offer,
// one declines it, one keeps talking meanwhile.
#include "common/RoomCopies.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using testsupport::ChildProcess;
using testsupport::RoomCopies;

TEST(RoomFiles, AFileToTheRoomReachesWhoTakesItWhileChatGoesOn) {
    QTemporaryDir source, downloads;
    QByteArray bytes(50 * 1000 * 1000, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    testsupport::writeAll(source.filePath(u"big.bin"_s), bytes);

    RoomCopies room;
    room.extra = {u"--downloads"_s, downloads.path()};
    ASSERT_TRUE(room.fillRoom({u"--accept-files"_s}));
    ChildProcess *akira = room.akira.get(), *ben = room.ben.get(), *chika = room.chika.get();

    akira->type(u"/send "_s + source.filePath(u"big.bin"_s));
    const QString offer = u"アキラ さんがファイル「big.bin」（50.0 MB）を送ろうとしています。［1］"_s;
    ASSERT_TRUE(chika->shows(offer));
    chika->type(u"/no 1"_s);
    for (int i = 0; i < 20; ++i)
        chika->type(u"話 %1"_s.arg(i));
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(ben->shows(u"チカ> 話 %1"_s.arg(i)));
    ASSERT_TRUE(ben->shows(u"ファイル「big.bin」を受け取りました："_s + downloads.filePath(u"big.bin"_s),
                           std::chrono::seconds(60)));
    EXPECT_TRUE(akira->shows(u"ベン さんがファイル「big.bin」を受け取りました。"_s));
    EXPECT_TRUE(akira->shows(u"チカ さんはファイル「big.bin」を受け取りませんでした。"_s));
    // Only the member who took it stored anything, and what it stored is the file.
    EXPECT_EQ(QDir(downloads.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"big.bin"_s});
    EXPECT_TRUE(testsupport::readAll(downloads.filePath(u"big.bin"_s)) == bytes);
}
