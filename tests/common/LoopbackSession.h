#pragma once

#include "session/SessionConfig.h"

#include <QTcpServer>
#include <QUdpSocket>
#include <chrono>

namespace testsupport {

inline quint16 freeTcpPort() {
    QTcpServer server;
    server.listen(QHostAddress::Any, 0);
    return server.serverPort();
}

inline quint16 freeUdpPort() {
    QUdpSocket socket;
    socket.bind(QHostAddress::AnyIPv4, 0);
    return socket.localPort();
}

// Ports of the test's own, discovery on loopback only, short listing times.
inline session::SessionConfig loopbackConfig() {
    using namespace std::chrono_literals;
    session::SessionConfig config;
    config.discoveryPort = freeUdpPort();
    config.firstHostPort = freeTcpPort();
    config.lastHostPort = config.firstHostPort;
    config.loopbackDiscoveryOnly = true;
    config.listQuietPeriod = 100ms;
    config.listTimeout = 600ms;
    config.connectTimeout = 2000ms;
    return config;
}

} // namespace testsupport
