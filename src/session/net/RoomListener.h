#pragma once

#include "session/SessionConfig.h"

#include <QTcpServer>
#include <functional>

namespace session {

// The TCP listener of a room: the host's, or the standby listener every member of a
// room that outlives its host keeps open, which the member's copy takes over should
// it become the host. Accepted descriptors go to the acceptor as they are, without a
// QTcpSocket. Until it has an acceptor the listener takes nobody: connections wait in
// the system's backlog, so a member that reaches a successor a moment before the
// successor knows it is one is answered once it does.
class RoomListener : public QTcpServer {
public:
    explicit RoomListener(QObject* parent = nullptr);

    // Listens on the first free port of the room range, else on any port.
    bool listenInRange(const SessionConfig& config);
    void setAcceptor(std::function<void(qintptr)> acceptor);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    std::function<void(qintptr)> m_acceptor;
};

} // namespace session
