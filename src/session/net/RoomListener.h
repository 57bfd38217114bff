#pragma once

#include "session/SessionConfig.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <deque>
#include <functional>

namespace session {

// The TCP listener of a room: the host's, or the standby listener every member of a
// room that outlives its host keeps open, which the member's copy takes over should
// it become the host. Accepted descriptors go to the acceptor as they are, without a
// QTcpSocket. Until it has an acceptor the listener reads nobody: it keeps what
// arrives, so a member that reaches a successor a moment before the successor knows it
// is one is answered once it does. What it keeps is bounded as a room's handshakes
// are (in total and per source address), and each for as long as a member waits for
// a candidate: connections queued there by a stranger cannot crowd out the members.
class RoomListener : public QTcpServer {
public:
    explicit RoomListener(QObject* parent = nullptr);
    ~RoomListener() override;

    // Listens on the first free port of the room range, else on any port.
    bool listenInRange(const SessionConfig& config);
    // Hands what was kept to `acceptor`, oldest first, from the event loop of the
    // thread the listener lives in by then, and every later connection.
    void setAcceptor(std::function<void(qintptr)> acceptor);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void keep(qintptr descriptor);
    void handOverKept();
    void expire();

    struct Waiting {
        qintptr descriptor;
        QByteArray source;
        QElapsedTimer since;
    };
    std::function<void(qintptr)> m_acceptor;
    std::deque<Waiting> m_waiting;
    QTimer m_expiry{this}; // a child: it moves with the listener to the host's thread
    int m_maxWaiting = 0;
    int m_maxWaitingPerAddress = 0;
    std::chrono::milliseconds m_maxWait{0};
};

} // namespace session
