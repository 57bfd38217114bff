// Copies of the headless client on three hosts of a small network (network
// namespaces on a bridge): discovery by subnet broadcast, chat lines in every shape,
// and members, links and hosts that go away without a word.
#include "common/ChildProcess.h"
#include "common/TestNetwork.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using testsupport::TestNetwork;

namespace {

using RoomCopy = testsupport::ChildProcess;

// Every wait of these tests ends by this time at the latest.
constexpr auto kPatience = 10s;

class AcrossHosts : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TestNetwork::available()) {
            GTEST_SKIP() << "SKIPPED: the tests across hosts need root and iproute2 to build network namespaces";
        }
        m_network.emplace();
        if (!m_network->ok()) {
            GTEST_SKIP() << "SKIPPED: network namespaces cannot be built here";
        }
    }

    // A copy of the headless client on `host` of the network.
    std::unique_ptr<RoomCopy> start(const QString& host, const QStringList& arguments) {
        return std::make_unique<RoomCopy>(
            QStandardPaths::findExecutable(u"ip"_s),
            m_network->on(host, QCoreApplication::applicationDirPath() + u"/mirelune-room"_s, arguments));
    }

    // The rooms `host` lists, sorted (listing order is arrival order).
    QStringList listFrom(const QString& host, const QStringList& extra = {}) {
        const auto lister = start(host, QStringList{u"list"_s} + extra);
        EXPECT_TRUE(lister->exitsWith(0)) << lister->errors().toStdString();
        QStringList rooms = lister->lines();
        rooms.sort();
        return rooms;
    }

    // Lists from `host` until `line` shows up: a room just started may not answer yet.
    bool waitListed(const QString& host, const QString& line, const QStringList& extra = {}) {
        return testsupport::waitUntil([&] { return listFrom(host, extra).contains(line); }, kPatience);
    }

    // A room on host a with members on b and c, every copy with `extra` options.
    void fillRoom(const QStringList& extra) {
        host = start(u"a"_s, QStringList{u"host"_s, u"広場"_s, u"--name"_s, u"アキラ"_s} + extra);
        ASSERT_TRUE(waitListed(u"b"_s, u"広場\t10.231.1.1:47811"_s));
        ben = start(u"b"_s, QStringList{u"join"_s, u"広場"_s, u"--name"_s, u"ベン"_s} + extra);
        ASSERT_TRUE(host->shows(u"ベン さんが参加しました"_s));
        chika = start(u"c"_s, QStringList{u"join"_s, u"広場"_s, u"--name"_s, u"チカ"_s} + extra);
        ASSERT_TRUE(host->shows(u"チカ さんが参加しました"_s));
        ASSERT_TRUE(ben->shows(u"チカ さんが参加しました"_s));
    }

    std::optional<TestNetwork> m_network;
    std::unique_ptr<RoomCopy> host, ben, chika;
};

TEST_F(AcrossHosts, ARoomOnOneHostIsListedJoinedAndChattedFromTheOthers) {
    ASSERT_NO_FATAL_FAILURE(fillRoom({}));
    auto secret = start(u"a"_s, {u"host"_s, u"奥の間"_s, u"--name"_s, u"番人"_s, u"--password"_s, u"合言葉"_s});
    const QString square = u"広場\t10.231.1.1:47811"_s;
    const QString back = u"奥の間\t10.231.1.1:47812\tpassword"_s;
    ASSERT_TRUE(waitListed(u"c"_s, back, {u"--password"_s, u"合言葉"_s}));

    // A room with a password is listed only to whoever knows it.
    EXPECT_EQ(listFrom(u"b"_s), QStringList{square});
    EXPECT_EQ(listFrom(u"c"_s, {u"--password"_s, u"あいことば"_s}), QStringList{square});
    QStringList both{square, back};
    both.sort();
    EXPECT_EQ(listFrom(u"b"_s, {u"--password"_s, u"合言葉"_s}), both);

    // Each step arrives everywhere before the next, so every copy's output is exact.
    const std::initializer_list<RoomCopy*> everybody{host.get(), ben.get(), chika.get()};
    ben->type(u"こんにちは"_s);
    for (RoomCopy* copy : everybody) {
        ASSERT_TRUE(copy->shows(u"ベン> こんにちは"_s));
    }
    chika->type(u"/w ベン 内緒の話"_s);
    ASSERT_TRUE(ben->shows(u"チカ> (内緒の話)"_s));
    ASSERT_TRUE(chika->shows(u"チカ to ベン> 内緒の話"_s));
    ben->type(u"まちがい"_s);
    for (RoomCopy* copy : everybody) {
        ASSERT_TRUE(copy->shows(u"ベン> まちがい"_s));
    }
    ben->type(u"@del;訂正しました"_s);
    for (RoomCopy* copy : everybody) {
        ASSERT_TRUE(copy->shows(u"ベン> 訂正しました"_s));
    }
    host->type(u"@clear;またね"_s);
    for (RoomCopy* copy : everybody) {
        ASSERT_TRUE(copy->shows(u"アキラ> またね"_s));
    }
    chika->type(u"おわり"_s);
    for (RoomCopy* copy : everybody) {
        ASSERT_TRUE(copy->shows(u"チカ> おわり"_s));
    }

    const QStringList tail{u"ベン> まちがい"_s, u"ベン> 訂正しました"_s, u"アキラ さんはログを消去しました"_s,
                           u"アキラ> またね"_s, u"チカ> おわり"_s};
    EXPECT_EQ(host->lines(),
              QStringList({u"ベン さんが参加しました"_s, u"チカ さんが参加しました"_s, u"ベン> こんにちは"_s}) + tail);
    EXPECT_EQ(ben->lines(),
              QStringList({u"チカ さんが参加しました"_s, u"ベン> こんにちは"_s, u"チカ> (内緒の話)"_s}) + tail);
    EXPECT_EQ(chika->lines(), QStringList({u"ベン> こんにちは"_s, u"チカ to ベン> 内緒の話"_s}) + tail);

    // Members leave at the end of their input; nothing lands on standard error.
    ben->endInput();
    chika->endInput();
    EXPECT_TRUE(ben->exitsWith(0));
    EXPECT_TRUE(chika->exitsWith(0));
    EXPECT_TRUE(host->shows(u"ベン さんが退出しました"_s));
    EXPECT_TRUE(host->shows(u"チカ さんが退出しました"_s));
    host->endInput();
    EXPECT_TRUE(host->exitsWith(0));
    for (RoomCopy* copy : everybody) {
        EXPECT_EQ(copy->errors(), QString());
    }
}

TEST_F(AcrossHosts, MembersThatVanishOrLoseTheirLinkLeaveWithinTheHeartbeatTime) {
    // Heartbeats every 300 ms: three silent intervals drop a link. The bound adds one
    // interval for the host's check and a second of scheduling slack (sanitizer
    // builds, a loaded machine).
    constexpr auto kInterval = 300ms;
    constexpr auto kBound = 3 * kInterval + kInterval + 1000ms;
    ASSERT_NO_FATAL_FAILURE(fillRoom({u"--heartbeat-ms"_s, QString::number(kInterval.count())}));

    QElapsedTimer clock;
    clock.start();
    chika->killHard();
    EXPECT_TRUE(host->shows(u"チカ さんが退出しました"_s, kBound));
    EXPECT_TRUE(ben->shows(u"チカ さんが退出しました"_s, kBound));
    EXPECT_LT(clock.elapsed(), kBound.count());

    // A cut link closes nothing: only the silence tells, on both sides.
    ASSERT_TRUE(testsupport::ip(u"-n %1 link set eth0 down"_s.arg(m_network->name(u"b"_s))));
    clock.restart();
    EXPECT_TRUE(host->shows(u"ベン さんが退出しました"_s, kBound));
    EXPECT_TRUE(ben->shows(u"アキラ さんが退出しました"_s, kBound));
    EXPECT_LT(clock.elapsed(), kBound.count());

    // The host goes on: a new member on c joins and is greeted.
    auto dana = start(u"c"_s, {u"join"_s, u"広場"_s, u"--name"_s, u"ダナ"_s});
    EXPECT_TRUE(host->shows(u"ダナ さんが参加しました"_s));
    EXPECT_EQ(host->errors(), QString());
}

TEST_F(AcrossHosts, WhenTheHostIsKilledTheMembersAreToldAndSendingFails) {
    ASSERT_NO_FATAL_FAILURE(fillRoom({}));
    host->killHard();
    for (RoomCopy* copy : {ben.get(), chika.get()}) {
        EXPECT_TRUE(copy->shows(u"アキラ さんが退出しました"_s));
    }
    EXPECT_TRUE(ben->shows(u"チカ さんが退出しました"_s));
    EXPECT_TRUE(chika->shows(u"ベン さんが退出しました"_s));

    // A line typed afterwards is refused with the program's message, and the copy
    // still leaves cleanly.
    ben->type(u"まだいる?"_s);
    EXPECT_TRUE(
        testsupport::waitUntil([&] { return ben->errors().contains(u"メッセージの送信に失敗しました"_s); }, kPatience));
    ben->endInput();
    EXPECT_TRUE(ben->exitsWith(0));
    EXPECT_FALSE(ben->lines().contains(u"ベン> まだいる?"_s));
}

} // namespace
