#include "PeerProcess.h"
#include "SessionTestSupport.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace sessiontest;

namespace {

// Runs `ip` with the words of `command`.
bool ip(const QString& command) {
    QProcess process;
    process.start(QStringLiteral("ip"), command.split(u' '));
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Three hosts a, b, c on one bridge (10.231.1.1-3/24), each in a network namespace of
// its own, named for this process so that parallel runs do not meet. Torn down in
// the destructor, whatever the test did.
class TestNetwork {
public:
    TestNetwork() : m_prefix(QStringLiteral("mlt%1").arg(::getpid())) {
        const QString br = name(QStringLiteral("br"));
        m_ok = add(br) && ip(QStringLiteral("-n %1 link add br0 type bridge").arg(br)) &&
               ip(QStringLiteral("-n %1 link set br0 up").arg(br));
        int number = 1;
        for (const QString& host : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
            const QString ns = name(host);
            m_ok = m_ok && add(ns) &&
                   ip(QStringLiteral("-n %1 link add v%2 type veth peer name eth0 netns %3").arg(br, host, ns)) &&
                   ip(QStringLiteral("-n %1 link set v%2 master br0").arg(br, host)) &&
                   ip(QStringLiteral("-n %1 link set v%2 up").arg(br, host)) &&
                   ip(QStringLiteral("-n %1 addr add 10.231.1.%2/24 dev eth0").arg(ns).arg(number)) &&
                   ip(QStringLiteral("-n %1 link set eth0 up").arg(ns)) &&
                   ip(QStringLiteral("-n %1 route add default dev eth0").arg(ns));
            ++number;
        }
    }
    ~TestNetwork() {
        for (const QString& ns : std::as_const(m_created)) {
            ip(QStringLiteral("netns del %1").arg(ns));
        }
    }
    bool ok() const { return m_ok; }
    QString name(const QString& host) const { return m_prefix + QStringLiteral("-") + host; }

private:
    bool add(const QString& ns) {
        if (!ip(QStringLiteral("netns add %1").arg(ns))) {
            return false;
        }
        m_created.append(ns);
        return ip(QStringLiteral("-n %1 link set lo up").arg(ns));
    }

    QString m_prefix;
    QStringList m_created;
    bool m_ok = false;
};

QStringList inNamespace(const QString& ns, const QStringList& peerArguments) {
    return QStringList{QStringLiteral("netns"), QStringLiteral("exec"), ns, PeerProcess::program()} + peerArguments;
}

} // namespace

TEST(Namespaces, ARoomHostedOnOneHostIsListedAndJoinedFromTheOthersByBroadcast) {
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty()) {
        GTEST_SKIP() << "needs root and iproute2 to build network namespaces";
    }
    TestNetwork network;
    if (!network.ok()) {
        GTEST_SKIP() << "network namespaces are not available here";
    }
    const QString ipProgram = QStandardPaths::findExecutable(QStringLiteral("ip"));
    const QStringList room{QStringLiteral("--room"), QStringLiteral("網の部屋"), QStringLiteral("--password"),
                           QStringLiteral("Aikotoba")};

    PeerProcess host(
        ipProgram,
        inNamespace(network.name(QStringLiteral("a")),
                    QStringList{QStringLiteral("host"), QStringLiteral("--name"), QStringLiteral("a")} + room));
    ASSERT_EQ(host.waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 1"));
    PeerProcess b(
        ipProgram,
        inNamespace(network.name(QStringLiteral("b")),
                    QStringList{QStringLiteral("join"), QStringLiteral("--name"), QStringLiteral("b")} + room));
    ASSERT_EQ(b.waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 2"));
    PeerProcess c(
        ipProgram,
        inNamespace(network.name(QStringLiteral("c")),
                    QStringList{QStringLiteral("join"), QStringLiteral("--name"), QStringLiteral("c")} + room));
    ASSERT_EQ(c.waitForLine(QStringLiteral("PLAYER")), QStringLiteral("PLAYER 3"));

    b.command(QStringLiteral("send 0 b から皆へ"));
    c.command(QStringLiteral("send 2 c から b へ"));
    EXPECT_EQ(host.waitForLine(QStringLiteral("MSG")), QStringLiteral("MSG 2 0 b から皆へ"));
    EXPECT_EQ(c.waitForLine(QStringLiteral("MSG")), QStringLiteral("MSG 2 0 b から皆へ"));
    EXPECT_EQ(b.waitForLine(QStringLiteral("MSG")), QStringLiteral("MSG 3 2 c から b へ"));
    EXPECT_EQ(host.waitForLine(QStringLiteral("SYS 3 3")), QStringLiteral("SYS 3 3 c"));

    c.killHard();
    EXPECT_EQ(b.waitForLine(QStringLiteral("SYS 5")), QStringLiteral("SYS 5 3 "));
}
