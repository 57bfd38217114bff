#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <unistd.h>

namespace testsupport {

// Runs `ip` with the words of `command`; true when it succeeded.
inline bool ip(const QString& command) {
    QProcess process;
    process.start(QStringLiteral("ip"), command.split(u' '));
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Three hosts a, b, c on one bridge (10.231.1.1-3/24), each in a network namespace of
// its own, named after the process and a counter; torn down in the destructor.
class TestNetwork {
public:
    // Root and iproute2: without them there is no network to build.
    static bool available() {
        return ::geteuid() == 0 && !QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty();
    }

    TestNetwork() {
        static int counter = 0;
        m_prefix = QStringLiteral("mlt%1x%2").arg(::getpid()).arg(++counter);
        const QString br = name(QStringLiteral("br"));
        m_ok = add(br) && ip(QStringLiteral("-n %1 link add br0 type bridge").arg(br)) &&
               ip(QStringLiteral("-n %1 link set br0 up").arg(br));
        for (const QString& host : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
            const QString ns = name(host);
            m_ok = m_ok && add(ns) &&
                   ip(QStringLiteral("-n %1 link add v%2 type veth peer name eth0 netns %3").arg(br, host, ns)) &&
                   ip(QStringLiteral("-n %1 link set v%2 master br0").arg(br, host)) &&
                   ip(QStringLiteral("-n %1 link set v%2 up").arg(br, host)) &&
                   ip(QStringLiteral("-n %1 addr add %2/24 dev eth0").arg(ns, address(host))) &&
                   ip(QStringLiteral("-n %1 link set eth0 up").arg(ns)) &&
                   ip(QStringLiteral("-n %1 route add default dev eth0").arg(ns));
        }
    }
    ~TestNetwork() {
        for (const QString& ns : std::as_const(m_created))
            ip(QStringLiteral("netns del %1").arg(ns));
    }
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    bool ok() const { return m_ok; }
    // The address of host a, b or c on the bridge.
    static QString address(const QString& host) {
        return QStringLiteral("10.231.1.%1").arg(host.at(0).unicode() - u'a' + 1);
    }
    // The namespace of host a, b or c (or "br" for the bridge's).
    QString name(const QString& host) const { return m_prefix + QStringLiteral("-") + host; }
    // The arguments of `ip` that run `program arguments` on `host`.
    QStringList on(const QString& host, const QString& program, const QStringList& arguments) const {
        return QStringList{QStringLiteral("netns"), QStringLiteral("exec"), name(host), program} + arguments;
    }

private:
    bool add(const QString& ns) {
        if (!ip(QStringLiteral("netns add %1").arg(ns)))
            return false;
        m_created.append(ns);
        return ip(QStringLiteral("-n %1 link set lo up").arg(ns));
    }

    QString m_prefix;
    QStringList m_created;
    bool m_ok = false;
};

} // namespace testsupport
