// The connectivity check of the headless client on hosts of a small network
// (network namespaces on a bridge), before and after a firewall drops the room ports.
#include "common/ChildProcess.h"
#include "common/TestNetwork.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <gtest/gtest.h>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::TestNetwork;

namespace {

// Runs `mirelune-room doctor extra...` on `host`; its exit code and output.
std::pair<int, QString> doctor(const TestNetwork& network, const QString& host, const QStringList& extra = {}) {
    QProcess run;
    run.start(u"ip"_s, network.on(host, QCoreApplication::applicationDirPath() + u"/mirelune-room"_s,
                                  QStringList{u"doctor"_s} + extra));
    if (!run.waitForFinished(20000) || run.exitStatus() != QProcess::NormalExit)
        return {-1, QString()};
    return {run.exitCode(), QString::fromUtf8(run.readAllStandardOutput() + run.readAllStandardError())};
}

} // namespace

TEST(Doctor, ExplainsARoomPortDroppedByTheFirewall) {
    if (!TestNetwork::available() || QStandardPaths::findExecutable(u"nft"_s).isEmpty())
        GTEST_SKIP() << "SKIPPED: the check across hosts needs root, iproute2 and nftables";
    TestNetwork network;
    if (!network.ok())
        GTEST_SKIP() << "SKIPPED: network namespaces cannot be built here";

    ChildProcess room(QStandardPaths::findExecutable(u"ip"_s),
                      network.on(u"b"_s, QCoreApplication::applicationDirPath() + u"/mirelune-room"_s,
                                 {u"host"_s, u"診断部屋"_s, u"--name"_s, u"受付"_s}));
    const QString roomHost = TestNetwork::address(u"b"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return doctor(network, u"a"_s).second.contains(roomHost); }, 15s));

    auto [code, out] = doctor(network, u"a"_s, {u"--address"_s, roomHost});
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
    nft.start(u"ip"_s, network.on(u"b"_s, u"nft"_s, {u"-f"_s, rules.fileName()}));
    ASSERT_TRUE(nft.waitForFinished(5000) && nft.exitCode() == 0) << nft.readAllStandardError().toStdString();

    std::tie(code, out) = doctor(network, u"b"_s);
    EXPECT_EQ(code, 1) << out.toStdString();
    EXPECT_TRUE(out.contains(u"[NG] ファイアウォール (nftables) が TCP 47811, TCP 47812"_s)) << out.toStdString();
    EXPECT_TRUE(out.contains(u"the firewall (nftables) drops TCP 47811"_s));

    std::tie(code, out) = doctor(network, u"a"_s, {u"--address"_s, roomHost + u":47811"_s});
    EXPECT_EQ(code, 1) << out.toStdString();
    EXPECT_TRUE(out.contains(u"no answer from %1:47811 within 3000 ms"_s.arg(roomHost))) << out.toStdString();
}
