#pragma once

#include "common/ChildProcess.h"
#include "common/LoopbackSession.h"
#include "common/TestNetwork.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

namespace testsupport {

inline QStringList sorted(QStringList lines) {
    lines.sort();
    return lines;
}

// Copies of the headless client (found beside the test executable): on loopback, on
// ports of the test's own, or, given a network, each on a host of it with the
// standard ports. `extra` goes to every copy (shrunk times).
class RoomCopies {
public:
    RoomCopies() = default;
    explicit RoomCopies(const TestNetwork* network) : m_network(network) {}

    // A copy on `host` (a, b or c) of the network, or on loopback; with `configHome`, a
    // user of its own there (its own device and room keys).
    std::unique_ptr<ChildProcess> start(QStringList arguments, const QString& host = QStringLiteral("b"),
                                        const QString& configHome = {}) const {
        QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/mirelune-room");
        arguments += extra;
        if (!configHome.isEmpty()) {
            arguments.prepend(program);
            arguments.prepend(QStringLiteral("XDG_CONFIG_HOME=") + configHome);
            program = QStandardPaths::findExecutable(QStringLiteral("env"));
        }
        if (m_network != nullptr)
            return std::make_unique<ChildProcess>(QStandardPaths::findExecutable(QStringLiteral("ip")),
                                                  m_network->on(host, program, arguments));
        return std::make_unique<ChildProcess>(
            program, arguments + QStringList{QStringLiteral("--loopback-only"), QStringLiteral("--discovery-port"),
                                             QString::number(discoveryPort), QStringLiteral("--host-port"),
                                             QString::number(roomPort)});
    }
    // Lists (with `extra`) until a line starting with `prefix` shows up: a room just
    // started (or just taken over) may not answer yet.
    bool waitListed(const QString& prefix, const QStringList& extra = {}) const {
        return waitUntil(
            [&] {
                const auto lister = start(QStringList{QStringLiteral("list")} + extra);
                return lister->exitsWith(0) &&
                       std::any_of(lister->lines().begin(), lister->lines().end(),
                                   [&](const QString& line) { return line.startsWith(prefix); });
            },
            std::chrono::seconds(10));
    }

    // アキラ hosts 広場 (on a), then ベン (b, with `benExtra`) and `chikaName` (c) join: true
    // once everybody has seen the joins.
    bool fillRoom(const QStringList& benExtra = {}) {
        const auto as = [](const QString& command, const QString& name) {
            return QStringList{command, QStringLiteral("広場"), QStringLiteral("--name"), name};
        };
        akira = start(as(QStringLiteral("host"), QStringLiteral("アキラ")), QStringLiteral("a"));
        if (!waitListed(QStringLiteral("広場\t")))
            return false;
        ben = start(as(QStringLiteral("join"), QStringLiteral("ベン")) + benExtra, QStringLiteral("b"));
        if (!akira->shows(QStringLiteral("ベン さんが参加しました")))
            return false;
        chika = start(as(QStringLiteral("join"), chikaName), QStringLiteral("c"));
        const QString joined = chikaName + QStringLiteral(" さんが参加しました");
        return akira->shows(joined) && ben->shows(joined);
    }
    // Each of `lines` reaches every copy of fillRoom, and once a line doubled would have
    // come too, each copy shows just these and the joins it saw.
    void expectSettlesOn(const QStringList& lines, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        const QStringList joins{QStringLiteral("ベン さんが参加しました"),
                                chikaName + QStringLiteral(" さんが参加しました")};
        const std::pair<ChildProcess*, QStringList> copies[] = {
            {akira.get(), lines + joins}, {ben.get(), lines + joins.mid(1)}, {chika.get(), lines}};
        for (const auto& [copy, expected] : copies)
            for (const QString& line : lines)
                EXPECT_TRUE(copy->shows(line, timeout)) << line.toStdString();
        spinFor(std::chrono::seconds(1));
        for (const auto& [copy, expected] : copies) {
            EXPECT_EQ(sorted(copy->lines()), sorted(expected));
            // Qt's only word of an object used from a thread it does not belong to.
            EXPECT_FALSE(copy->errors().contains(QStringLiteral("another thread"))) << copy->errors().toStdString();
        }
    }

    const quint16 discoveryPort = freeUdpPort();
    const quint16 roomPort = freeTcpPort();
    QStringList extra;
    QString chikaName = QStringLiteral("チカ");
    std::unique_ptr<ChildProcess> akira, ben, chika;

private:
    const TestNetwork* m_network = nullptr;
};

// Stops or continues a copy, as a closed laptop lid or a debugger would.
inline bool sendSignal(const ChildProcess& copy, int number) {
    return ::kill(static_cast<pid_t>(copy.processId()), number) == 0;
}

} // namespace testsupport
