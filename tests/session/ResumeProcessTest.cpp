// Members whose link breaks come back on their own, as separate processes of the
// headless client: one stopped for 20 s misses nothing and nobody sees it go; one
// stopped past the grace period leaves, and the lines it typed meanwhile come back
// on its standard error.
#include "common/RoomCopies.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::sendSignal;
using testsupport::sorted;

namespace {

const QString kSendFailed = u"メッセージの送信に失敗しました"_s;

TEST(ResumeProcess, AMemberStoppedFor20SecondsMissesNothingAndNobodySeesItGo) {
    testsupport::RoomCopies room;
    ASSERT_TRUE(room.fillRoom());
    ASSERT_TRUE(sendSignal(*room.chika, SIGSTOP));
    room.chika->type(u"止まっている間に"_s);
    room.ben->type(u"聞こえますか"_s);
    room.akira->type(u"おーい"_s);
    room.ben->type(u"返事して"_s);
    testsupport::spinFor(20s);
    ASSERT_TRUE(sendSignal(*room.chika, SIGCONT));
    room.chika->type(u"戻りました"_s);
    for (ChildProcess* copy : {room.akira.get(), room.ben.get(), room.chika.get()}) {
        for (const QString& line : {u"ベン> 聞こえますか"_s, u"アキラ> おーい"_s, u"チカ> 戻りました"_s})
            EXPECT_TRUE(copy->shows(line)) << line.toStdString();
    }
    testsupport::spinFor(1s); // a line doubled would come by now

    const QStringList lines{u"ベン> 聞こえますか"_s, u"ベン> 返事して"_s, u"アキラ> おーい"_s,
                            u"チカ> 止まっている間に"_s, u"チカ> 戻りました"_s};
    // What it missed comes in the order it was sent.
    EXPECT_EQ(room.chika->lines().filter(u"ベン> "_s), lines.filter(u"ベン> "_s));
    EXPECT_EQ(sorted(room.akira->lines()),
              sorted(lines + QStringList{u"ベン さんが参加しました"_s, u"チカ さんが参加しました"_s}));
    EXPECT_EQ(sorted(room.ben->lines()), sorted(lines + QStringList{u"チカ さんが参加しました"_s}));
    EXPECT_EQ(sorted(room.chika->lines()), sorted(lines));
    EXPECT_FALSE(room.chika->errors().contains(kSendFailed)) << room.chika->errors().toStdString();
}

TEST(ResumeProcess, AMemberBackAfterTheGracePeriodHasLeftAndGetsItsUnsentLinesReported) {
    testsupport::RoomCopies room;
    room.extra = {u"--heartbeat-ms"_s, u"300"_s, u"--grace-ms"_s, u"2000"_s};
    ASSERT_TRUE(room.fillRoom());
    ASSERT_TRUE(sendSignal(*room.chika, SIGSTOP));
    room.chika->type(u"届かない一行目"_s);
    room.chika->type(u"届かない二行目"_s);
    EXPECT_TRUE(room.akira->shows(u"チカ さんが退出しました"_s));
    EXPECT_TRUE(room.ben->shows(u"チカ さんが退出しました"_s));
    ASSERT_TRUE(sendSignal(*room.chika, SIGCONT));

    EXPECT_TRUE(testsupport::waitUntil([&] {
        return room.chika->errors().contains(u"mirelune-room: %1: 届かない二行目\n"_s.arg(kSendFailed));
    })) << room.chika->errors().toStdString();
    EXPECT_TRUE(room.chika->errors().contains(u"mirelune-room: %1: 届かない一行目\n"_s.arg(kSendFailed)));
    EXPECT_TRUE(room.chika->exitsWith(1)); // not left running in a room it is no longer in
    testsupport::spinFor(500ms);
    EXPECT_EQ(room.ben->lines(), QStringList({u"チカ さんが参加しました"_s, u"チカ さんが退出しました"_s}));
}

} // namespace
