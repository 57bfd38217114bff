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

// Network namespaces of the test's own, named after the process, a counter and their
// role, each with its loopback up; deleted when it goes.
class Namespaces {
public:
    Namespaces() {
        static int counter = 0;
        m_prefix = QStringLiteral("mlt%1x%2").arg(::getpid()).arg(++counter);
    }
    ~Namespaces() {
        for (const QString& ns : std::as_const(m_created))
            ip(QStringLiteral("netns del %1").arg(ns));
    }
    Namespaces(const Namespaces&) = delete;
    Namespaces& operator=(const Namespaces&) = delete;

    bool add(const QString& role) {
        if (!ip(QStringLiteral("netns add %1").arg(name(role))))
            return false;
        m_created.append(name(role));
        return ip(QStringLiteral("-n %1 link set lo up").arg(name(role)));
    }
    QString name(const QString& role) const { return m_prefix + QStringLiteral("-") + role; }
    // The arguments of `ip` that run `program arguments` in the namespace of `role`.
    QStringList on(const QString& role, const QString& program, const QStringList& arguments) const {
        return QStringList{QStringLiteral("netns"), QStringLiteral("exec"), name(role), program} + arguments;
    }

private:
    QString m_prefix;
    QStringList m_created;
};

// Three hosts a, b, c on one bridge (10.231.1.1-3/24), each in a namespace of its own.
class TestNetwork : public Namespaces {
public:
    // Root and iproute2: without them there is no network to build.
    static bool available() {
        return ::geteuid() == 0 && !QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty();
    }

    TestNetwork() {
        const QString br = name(QStringLiteral("br"));
        m_ok = add(QStringLiteral("br")) && ip(QStringLiteral("-n %1 link add br0 type bridge").arg(br)) &&
               ip(QStringLiteral("-n %1 link set br0 up").arg(br));
        for (const QString& host : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
            const QString ns = name(host);
            m_ok = m_ok && add(host) &&
                   ip(QStringLiteral("-n %1 link add v%2 type veth peer name eth0 netns %3").arg(br, host, ns)) &&
                   ip(QStringLiteral("-n %1 link set v%2 master br0").arg(br, host)) &&
                   ip(QStringLiteral("-n %1 link set v%2 up").arg(br, host)) &&
                   ip(QStringLiteral("-n %1 addr add %2/24 dev eth0").arg(ns, address(host))) &&
                   ip(QStringLiteral("-n %1 link set eth0 up").arg(ns)) &&
                   ip(QStringLiteral("-n %1 route add default dev eth0").arg(ns));
        }
    }

    bool ok() const { return m_ok; }
    // The address of host a, b or c on the bridge.
    static QString address(const QString& host) {
        return QStringLiteral("10.231.1.%1").arg(host.at(0).unicode() - u'a' + 1);
    }

private:
    bool m_ok = false;
};

} // namespace testsupport
