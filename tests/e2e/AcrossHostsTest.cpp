// Copies of the headless client on three hosts of a small network (network
// namespaces on a bridge), for what loopback cannot show: discovery by subnet
// broadcast, a link cut without a word or for a while, and a firewall that drops the
// room ports.
#include "common/RoomCopies.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryFile>
#include <gtest/gtest.h>
#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using testsupport::TestNetwork;

namespace {

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
        m_room.emplace(&*m_network);
    }

    // Runs `mirelune-room doctor extra...` on `host`: whether it ended with `code`, and
    // all it printed.
    std::pair<bool, QString> doctor(int code, const QString& host, const QStringList& extra = {}) {
        const auto run = m_room->start(QStringList{u"doctor"_s} + extra, host);
        const bool ended = run->exitsWith(code, 20s);
        return {ended, run->lines().join(u'\n') + run->errors()};
    }

    std::optional<TestNetwork> m_network;
    std::optional<testsupport::RoomCopies> m_room;
};

TEST_F(AcrossHosts, ARoomIsFoundByBroadcastAndACutLinkIsNoticedOnBothSides) {
    // Three silent heartbeat intervals drop a link, and with no grace for a resume the
    // leave shows at once; the bound adds one for the host's check and a second of slack
    // for a loaded machine.
    constexpr auto kInterval = 300ms;
    constexpr auto kBound = 3 * kInterval + kInterval + 1000ms;
    m_room->extra = {u"--heartbeat-ms"_s, QString::number(kInterval.count()), u"--grace-ms"_s, u"0"_s};
    auto host = m_room->start({u"host"_s, u"広場"_s, u"--name"_s, u"アキラ"_s}, u"a"_s);
    ASSERT_TRUE(m_room->waitListed(u"広場\t10.231.1.1:47811"_s));
    auto ben = m_room->start({u"join"_s, u"広場"_s, u"--name"_s, u"ベン"_s});
    ASSERT_TRUE(host->shows(u"ベン さんが参加しました"_s));

    QElapsedTimer clock; // a cut link closes nothing: only the silence tells
    ASSERT_TRUE(testsupport::ip(u"-n %1 link set eth0 down"_s.arg(m_network->name(u"b"_s))));
    clock.start();
    EXPECT_TRUE(host->shows(u"ベン さんが退出しました"_s, kBound));
    EXPECT_TRUE(ben->shows(u"アキラ さんが退出しました"_s, kBound));
    EXPECT_LT(clock.elapsed(), kBound.count());

    // The host goes on: a member on c finds it and joins.
    m_room->extra.clear();
    auto dana = m_room->start({u"join"_s, u"広場"_s, u"--name"_s, u"ダナ"_s}, u"c"_s);
    EXPECT_TRUE(host->shows(u"ダナ さんが参加しました"_s));
    // Nothing on standard error but the lines naming the room's fingerprint and where it is open.
    EXPECT_EQ(host->errors().count(u'\n'), 2) << host->errors().toStdString();
}

// A member's cable cut for 10 s and plugged in again: nobody sees it leave or join, it
// receives what it missed, and the line it typed during the cut arrives exactly once.
TEST_F(AcrossHosts, AMemberWhoseCableIsCutFor10SecondsComesBackUnseen) {
    ASSERT_TRUE(m_room->fillRoom());
    // The bridge's end of c's cable: c's own interface and routes stay as they were.
    const QString cable = u"-n %1 link set vc %2"_s.arg(m_network->name(u"br"_s));
    ASSERT_TRUE(testsupport::ip(cable.arg(u"down"_s)));
    m_room->chika->type(u"切れている間に"_s);
    m_room->ben->type(u"聞こえますか"_s);
    testsupport::spinFor(10s);
    ASSERT_TRUE(testsupport::ip(cable.arg(u"up"_s)));

    m_room->expectSettlesOn({u"ベン> 聞こえますか"_s, u"チカ> 切れている間に"_s}, 15s);
}

TEST_F(AcrossHosts, DoctorExplainsARoomPortDroppedByTheFirewall) {
    if (QStandardPaths::findExecutable(u"nft"_s).isEmpty())
        GTEST_SKIP() << "SKIPPED: the firewall case needs nftables";
    auto room = m_room->start({u"host"_s, u"診断部屋"_s, u"--name"_s, u"受付"_s});
    const QString roomHost = TestNetwork::address(u"b"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return doctor(0, u"a"_s).second.contains(roomHost); }, 15s));

    auto [ended, out] = doctor(0, u"a"_s, {u"--address"_s, roomHost});
    EXPECT_TRUE(ended) << out.toStdString();
    EXPECT_TRUE(out.contains(u"interface eth0: 10.231.1.1 (discovery broadcasts to 10.231.1.255)"_s));
    EXPECT_TRUE(out.contains(u"the LAN lists 1 room(s): 診断部屋 (%1:47811)"_s.arg(roomHost)));
    EXPECT_TRUE(out.contains(u"the room at %1:47811-47830 answered in"_s.arg(roomHost))) << out.toStdString();

    QTemporaryFile rules;
    ASSERT_TRUE(rules.open());
    rules.write("table inet guard {\n chain in {\n  type filter hook input priority 0; policy accept;\n"
                "  tcp dport 47811-47830 drop\n }\n}\n");
    rules.close();
    QProcess nft;
    nft.start(u"ip"_s, m_network->on(u"b"_s, u"nft"_s, {u"-f"_s, rules.fileName()}));
    ASSERT_TRUE(nft.waitForFinished(5000) && nft.exitCode() == 0) << nft.readAllStandardError().toStdString();

    std::tie(ended, out) = doctor(1, u"b"_s);
    EXPECT_TRUE(ended) << out.toStdString();
    EXPECT_TRUE(out.contains(u"[NG] ファイアウォール (nftables) が TCP 47811, TCP 47812"_s)) << out.toStdString();
    EXPECT_TRUE(out.contains(u"the firewall (nftables) drops TCP 47811"_s));
    EXPECT_TRUE(out.contains(u"ここで作ったルームには、ほかの人が入れません"_s)) << out.toStdString();
    EXPECT_TRUE(out.contains(u"sudo nft insert rule inet filter input tcp dport 47811-47830 accept"_s));
    EXPECT_FALSE(out.contains(u"udp dport"_s)); // UDP passes here
    // The router's line is Japanese throughout, its reason included.
    EXPECT_TRUE(out.contains(u"転送できません (2000 ms 以内に UPnP で応答したルーターはありません)"_s));

    std::tie(ended, out) = doctor(1, u"a"_s, {u"--address"_s, roomHost + u":47811"_s});
    EXPECT_TRUE(ended) << out.toStdString();
    EXPECT_TRUE(out.contains(u"no answer from %1:47811 within 3000 ms"_s.arg(roomHost))) << out.toStdString();
}

} // namespace
