// A room hosted behind a router that speaks UPnP-IGD (miniupnpd in a namespace of its
// own): the router forwards the room's port while the room is open, a friend outside
// reaches the room at the public address, the connectivity check sees the router, and
// the forwarding ends with the room.
#include "common/ChildProcess.h"
#include "common/TestNetwork.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::ip;

namespace {

// A home network of one machine behind a router, and the Internet outside it, as
// three namespaces: home (10.231.9.2) -- (10.231.9.1) router (192.0.3.1) -- (192.0.3.2)
// outside. The IGD calls a router whose outer address is private or reserved for
// documentation "not connected" and maps nothing, so the outside gets an ordinary
// address; it exists only in these namespaces, which lead nowhere else.
class BehindARouter : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::TestNetwork::available())
            GTEST_SKIP() << "SKIPPED: the router test needs root and iproute2 to build network namespaces";
        if (m_daemon.isEmpty() || m_nft.isEmpty())
            GTEST_SKIP() << "SKIPPED: the router test needs miniupnpd and nftables";
        for (const QString& role : {u"home"_s, u"router"_s, u"outside"_s})
            ASSERT_TRUE(m_net.add(role));
        // The namespaces go by their roles in these commands.
        for (QString command : {u"-n router link add lan0 type veth peer name eth0 netns home"_s,
                                u"-n router link add wan0 type veth peer name eth0 netns outside"_s,
                                u"-n home addr add 10.231.9.2/24 dev eth0"_s, u"-n home link set eth0 up"_s,
                                u"-n router addr add 10.231.9.1/24 dev lan0"_s, u"-n router link set lan0 up"_s,
                                u"-n router addr add 192.0.3.1/24 dev wan0"_s, u"-n router link set wan0 up"_s,
                                u"-n outside addr add 192.0.3.2/24 dev eth0"_s, u"-n outside link set eth0 up"_s,
                                u"-n home route add default via 10.231.9.1"_s}) {
            for (const QString& role : {u"home"_s, u"router"_s, u"outside"_s})
                command.replace(u' ' + role, u' ' + m_net.name(role));
            ASSERT_TRUE(ip(command)) << command.toStdString();
        }
        ASSERT_TRUE(m_files.isValid());
        // The tables and chains the daemon's nftables back end fills in, and forwarding on.
        testsupport::writeAll(
            m_files.filePath(u"router.nft"_s),
            "table inet filter {\n"
            " chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }\n"
            " chain miniupnpd { }\n"
            " chain prerouting { type nat hook prerouting priority -100; jump prerouting_miniupnpd; }\n"
            " chain postrouting { type nat hook postrouting priority 100; jump postrouting_miniupnpd; }\n"
            " chain prerouting_miniupnpd { }\n chain postrouting_miniupnpd { }\n}\n");
        ASSERT_EQ(run(u"router"_s, m_nft, {u"-f"_s, m_files.filePath(u"router.nft"_s)}), 0);
        ASSERT_EQ(run(u"router"_s, u"sh"_s, {u"-c"_s, u"echo 1 > /proc/sys/net/ipv4/ip_forward"_s}), 0);
        testsupport::writeAll(m_files.filePath(u"miniupnpd.conf"_s),
                              "ext_ifname=wan0\nlistening_ip=lan0\nenable_upnp=yes\nenable_natpmp=no\n"
                              "secure_mode=yes\nuuid=6d0c3e4a-1f2b-4c5d-8e9f-a0b1c2d3e4f5\n"
                              "lease_file=" +
                                  m_files.filePath(u"leases"_s).toUtf8() +
                                  "\nallow 1024-65535 10.231.9.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n");
        m_router = std::make_unique<ChildProcess>(
            u"ip"_s,
            m_net.on(u"router"_s, m_daemon,
                     {u"-d"_s, u"-f"_s, m_files.filePath(u"miniupnpd.conf"_s), u"-P"_s, m_files.filePath(u"pid"_s)}));
        // The room asks once and listens for 2 s: a search sent before the daemon's
        // SSDP socket exists is lost, and on a busy machine the daemon's start-up can
        // take that long. It joins the SSDP group right after binding that socket, so
        // from then on a search waits in the socket until the daemon answers it.
        ASSERT_TRUE(testsupport::waitUntil(
            [&] {
                QProcess maddr;
                maddr.start(u"ip"_s, {u"-n"_s, m_net.name(u"router"_s), u"maddr"_s, u"show"_s, u"dev"_s, u"lan0"_s});
                return maddr.waitForFinished(5000) && maddr.readAllStandardOutput().contains("239.255.255.250");
            },
            15s))
            << m_router->errors().toStdString();
    }
    int run(const QString& role, const QString& program, const QStringList& arguments) const {
        QProcess process;
        process.start(u"ip"_s, m_net.on(role, program, arguments));
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QStringList roomTool(const QString& role, const QStringList& arguments) const {
        return m_net.on(role, QCoreApplication::applicationDirPath() + u"/mirelune-room"_s, arguments);
    }
    QString leases() const { return QString::fromUtf8(testsupport::readAll(m_files.filePath(u"leases"_s))); }

    const QString m_daemon = QStandardPaths::findExecutable(u"miniupnpd"_s, {u"/usr/sbin"_s, u"/sbin"_s});
    const QString m_nft = QStandardPaths::findExecutable(u"nft"_s, {u"/usr/sbin"_s, u"/sbin"_s});
    testsupport::Namespaces m_net; // outlives the router's daemon
    QTemporaryDir m_files;
    std::unique_ptr<ChildProcess> m_router;
};

TEST_F(BehindARouter, TheRouterForwardsTheRoomPortWhileTheRoomIsOpen) {
    ChildProcess host(u"ip"_s, roomTool(u"home"_s, {u"host"_s, u"外の部屋"_s, u"--name"_s, u"受付"_s, u"--upnp"_s}));
    const QString reachable = u"room \"外の部屋\" is reachable from the Internet at 192.0.3.1:47811"_s;
    ASSERT_TRUE(testsupport::waitUntil([&] { return host.errors().contains(reachable); }, 15s))
        << host.errors().toStdString() << m_router->errors().toStdString();
    EXPECT_TRUE(leases().startsWith(u"TCP:47811:10.231.9.2:47811:"_s)) << leases().toStdString();
    EXPECT_TRUE(leases().contains(u"Mirelune room"_s));

    // A friend outside finds the room at the router's address.
    ChildProcess friendOutside(u"ip"_s, roomTool(u"outside"_s, {u"list"_s, u"--address"_s, u"192.0.3.1"_s}));
    EXPECT_TRUE(friendOutside.exitsWith(0, 15s));
    EXPECT_EQ(friendOutside.lines(), QStringList{u"外の部屋\t192.0.3.1:47811"_s});

    // The connectivity check finds the router as well.
    QProcess doctor;
    doctor.start(u"ip"_s, roomTool(u"home"_s, {u"doctor"_s}));
    ASSERT_TRUE(doctor.waitForFinished(20000));
    EXPECT_TRUE(doctor.readAllStandardOutput().contains("the router answers UPnP (public address 192.0.3.1)"));

    host.endInput();
    EXPECT_TRUE(host.exitsWith(0, 10s));
    EXPECT_EQ(leases().trimmed(), QString()) << "the mapping outlived the room";
}

} // namespace
