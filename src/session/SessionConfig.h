#pragma once

#include <QtGlobal>
#include <chrono>

namespace session {

using namespace std::chrono_literals;

// Every tunable of the network session service in one place. Tests shrink the
// times and move the ports so that they run fast and side by side.
struct SessionConfig {
    // UDP port every copy on a machine shares for room discovery.
    quint16 discoveryPort = 47810;
    // A hosting copy listens on the first free port of this range, then on any port.
    quint16 firstHostPort = 47811;
    quint16 lastHostPort = 47830;

    // A LAN listing returns this long after the last answer, and never later than
    // listTimeout.
    std::chrono::milliseconds listQuietPeriod = 150ms;
    std::chrono::milliseconds listTimeout = 1000ms;
    // Asking one host over the Internet connection, and connecting to join.
    std::chrono::milliseconds connectTimeout = 3000ms;

    // A silent connection is dropped after heartbeatTimeout; both ends send a
    // heartbeat every heartbeatInterval when they have nothing else to send.
    std::chrono::milliseconds heartbeatInterval = 5000ms;
    std::chrono::milliseconds heartbeatTimeout = 15000ms;
    std::chrono::milliseconds handshakeTimeout = 5000ms;

    // Protecting the host.
    int maxMembers = 1000;
    int maxPendingHandshakes = 64;
    qint64 maxBufferedBytesPerMember = 8 * 1024 * 1024;
    quint32 maxFrameBytes = 1024 * 1024;

    // Discovery queries go only to 127.255.255.255 (tests on one machine).
    bool loopbackDiscoveryOnly = false;
};

} // namespace session
