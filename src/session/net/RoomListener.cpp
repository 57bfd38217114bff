#include "session/net/RoomListener.h"

#include "session/net/HostSocket.h"

#include <QNetworkProxy>

namespace session {

RoomListener::RoomListener(QObject* parent) : QTcpServer(parent) {
    // Members come straight to the room; asking the system for a proxy would only
    // start a look-up thread.
    setProxy(QNetworkProxy::NoProxy);
}

bool RoomListener::listenInRange(const SessionConfig& config) {
    bool listening = false;
    for (quint32 port = config.firstHostPort; port != 0 && port <= config.lastHostPort && !listening; ++port) {
        listening = listen(QHostAddress::Any, static_cast<quint16>(port));
    }
    if (!listening) {
        listening = listen(QHostAddress::Any, 0);
    }
    if (listening && !m_acceptor) {
        pauseAccepting();
    }
    return listening;
}

void RoomListener::setAcceptor(std::function<void(qintptr)> acceptor) {
    m_acceptor = std::move(acceptor);
    if (m_acceptor && isListening()) {
        resumeAccepting();
    }
}

void RoomListener::incomingConnection(qintptr descriptor) {
    if (m_acceptor) {
        m_acceptor(descriptor);
    } else {
        HostSocket::refuse(static_cast<int>(descriptor));
    }
}

} // namespace session
