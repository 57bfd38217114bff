// Copies of the headless client on three hosts of a small network (network
// namespaces on a bridge): what loopback cannot show, discovery by subnet broadcast
// and a link cut without a word, and the connectivity check before and after a firewall
// drops the room ports. Chat and processes that die are the room tool's and the
// session's tests, on loopback.
#include "common/ChildProcess.h"
#include "common/TestNetwork.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
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

    // Lists from `host` until `line` shows up: a room just started may not answer yet.
    bool waitListed(const QString& host, const QString& line) {
        return testsupport::waitUntil(
            [&] {
                const auto lister = start(host, {u"list"_s});
                return lister->exitsWith(0) && lister->lines().contains(line);
            },
            kPatience);
    }

    // Runs `mirelune-room doctor extra...` on `host`; its exit code and output.
    std::pair<int, QString> doctor(const QString& host, const QStringList& extra = {}) {
        QProcess run;
        run.start(u"ip"_s, m_network->on(host, QCoreApplication::applicationDirPath() + u"/mirelune-room"_s,
                                         QStringList{u"doctor"_s} + extra));
        if (!run.waitForFinished(20000) || run.exitStatus() != QProcess::NormalExit)
            return {-1, QString()};
        return {run.exitCode(), QString::fromUtf8(run.readAllStandardOutput() + run.readAllStandardError())};
    }

    std::optional<TestNetwork> m_network;
};

TEST_F(AcrossHosts, ARoomIsFoundByBroadcastAndACutLinkIsNoticedOnBothSides) {
    // Heartbeats every 300 ms: three silent intervals drop a link, and with no grace for
    // a resume the leave shows at once. The bound adds one interval for the host's check
    // and a second of scheduling slack (sanitizer builds, a loaded machine).
    constexpr auto kInterval = 300ms;
    constexpr auto kBound = 3 * kInterval + kInterval + 1000ms;
    const QStringList fast{u"--heartbeat-ms"_s, QString::number(kInterval.count()), u"--grace-ms"_s, u"0"_s};
    auto host = start(u"a"_s, QStringList{u"host"_s, u"広場"_s, u"--name"_s, u"アキラ"_s} + fast);
    ASSERT_TRUE(waitListed(u"b"_s, u"広場\t10.231.1.1:47811"_s));
    auto ben = start(u"b"_s, QStringList{u"join"_s, u"広場"_s, u"--name"_s, u"ベン"_s} + fast);
    ASSERT_TRUE(host->shows(u"ベン さんが参加しました"_s));

    QElapsedTimer clock;
    // A cut link closes nothing: only the silence tells, on both sides.
    ASSERT_TRUE(testsupport::ip(u"-n %1 link set eth0 down"_s.arg(m_network->name(u"b"_s))));
    clock.start();
    EXPECT_TRUE(host->shows(u"ベン さんが退出しました"_s, kBound));
    EXPECT_TRUE(ben->shows(u"アキラ さんが退出しました"_s, kBound));
    EXPECT_LT(clock.elapsed(), kBound.count());

    // The host goes on: a member on c finds it and joins.
    auto dana = start(u"c"_s, {u"join"_s, u"広場"_s, u"--name"_s, u"ダナ"_s});
    EXPECT_TRUE(host->shows(u"ダナ さんが参加しました"_s));
    // Nothing on standard error but the line saying where the room is open.
    EXPECT_EQ(host->errors().count(u'\n'), 1) << host->errors().toStdString();
}

TEST_F(AcrossHosts, DoctorExplainsARoomPortDroppedByTheFirewall) {
    if (QStandardPaths::findExecutable(u"nft"_s).isEmpty())
        GTEST_SKIP() << "SKIPPED: the firewall case needs nftables";
    auto room = start(u"b"_s, {u"host"_s, u"診断部屋"_s, u"--name"_s, u"受付"_s});
    const QString roomHost = TestNetwork::address(u"b"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return doctor(u"a"_s).second.contains(roomHost); }, 15s));

    auto [code, out] = doctor(u"a"_s, {u"--address"_s, roomHost});
    EXPECT_EQ(code, 0) << out.toStdString();
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

    std::tie(code, out) = doctor(u"b"_s);
    EXPECT_EQ(code, 1) << out.toStdString();
    EXPECT_TRUE(out.contains(u"[NG] ファイアウォール (nftables) が TCP 47811, TCP 47812"_s)) << out.toStdString();
    EXPECT_TRUE(out.contains(u"the firewall (nftables) drops TCP 47811"_s));

    std::tie(code, out) = doctor(u"a"_s, {u"--address"_s, roomHost + u":47811"_s});
    EXPECT_EQ(code, 1) << out.toStdString();
    EXPECT_TRUE(out.contains(u"no answer from %1:47811 within 3000 ms"_s.arg(roomHost))) << out.toStdString();
}

} // namespace
