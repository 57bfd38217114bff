#pragma once

#include "common/ChildProcess.h"
#include "session/SessionConfig.h"

#include <QCoreApplication>
#include <QStringList>

namespace sessiontest {

// A session_peer process (found beside the test executable): it reports PLAYER and
// MSG lines and takes commands such as "send 0 text".
using PeerProcess = testsupport::ChildProcess;

inline QString peerProgram() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/session_peer");
}

// A peer that hosts (mode "host") or joins ("join") the room "room" on `config`'s ports.
inline QStringList peerArguments(const QString& mode, const session::SessionConfig& config, const QString& name) {
    return {mode,
            QStringLiteral("--room"),
            QStringLiteral("room"),
            QStringLiteral("--name"),
            name,
            QStringLiteral("--discovery-port"),
            QString::number(config.discoveryPort),
            QStringLiteral("--first-port"),
            QString::number(config.firstHostPort),
            QStringLiteral("--last-port"),
            QString::number(config.lastHostPort),
            QStringLiteral("--loopback-only")};
}

} // namespace sessiontest
