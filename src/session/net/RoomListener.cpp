#include "session/net/RoomListener.h"

#include "session/net/HostSocket.h"

#include <QNetworkProxy>
#include <algorithm>
#include <utility>

namespace session {

RoomListener::RoomListener(QObject* parent) : QTcpServer(parent) {
    // Members come straight to the room; asking the system for a proxy would only
    // start a look-up thread.
    setProxy(QNetworkProxy::NoProxy);
    m_expiry.setSingleShot(true);
    QObject::connect(&m_expiry, &QTimer::timeout, this, [this] { expire(); });
}

RoomListener::~RoomListener() {
    for (const Waiting& waiting : m_waiting) {
        HostSocket::refuse(static_cast<int>(waiting.descriptor));
    }
}

bool RoomListener::listenInRange(const SessionConfig& config) {
    m_maxWaiting = config.maxPendingHandshakes;
    m_maxWaitingPerAddress = config.maxHandshakesPerAddress;
    m_maxWait = config.successorTimeout;
    // The system's queue of connections not yet accepted holds as many as the room's
    // handshakes (as far as the system allows): a burst of strangers does not leave
    // the members' connections unanswered.
    setListenBacklogSize(config.maxPendingHandshakes);
    bool listening = false;
    for (quint32 port = config.firstHostPort; port != 0 && port <= config.lastHostPort && !listening; ++port) {
        listening = listen(QHostAddress::Any, static_cast<quint16>(port));
    }
    if (!listening) {
        listening = listen(QHostAddress::Any, 0);
    }
    return listening;
}

void RoomListener::setAcceptor(std::function<void(qintptr)> acceptor) {
    m_acceptor = std::move(acceptor);
    if (!m_acceptor) {
        return;
    }
    // What was kept is handed over from the event loop of the thread the listener
    // then lives in: a host that takes over a standby listener moves to its own thread
    // first, and whatever it makes for a connection must be made there.
    QMetaObject::invokeMethod(
        this, [this] { handOverKept(); }, Qt::QueuedConnection);
}

void RoomListener::handOverKept() {
    m_expiry.stop();
    for (const Waiting& waiting : std::exchange(m_waiting, {})) {
        if (m_acceptor) {
            m_acceptor(waiting.descriptor);
        } else {
            HostSocket::refuse(static_cast<int>(waiting.descriptor));
        }
    }
}

void RoomListener::incomingConnection(qintptr descriptor) {
    // Behind those kept, until they are handed over, so that they go in order.
    if (m_acceptor && m_waiting.empty()) {
        m_acceptor(descriptor);
    } else {
        keep(descriptor);
    }
}

void RoomListener::keep(qintptr descriptor) {
    expire();
    const QByteArray source = HostSocket::sourceKey(static_cast<int>(descriptor));
    const auto fromSource = [&] {
        return std::count_if(m_waiting.cbegin(), m_waiting.cend(),
                             [&](const Waiting& w) { return w.source == source; });
    };
    if (fromSource() >= m_maxWaitingPerAddress) {
        // As at the room's port: the oldest from the address that has sent nothing
        // makes way for the newcomer.
        const auto silent = std::find_if(m_waiting.begin(), m_waiting.end(), [&](const Waiting& w) {
            return w.source == source && !HostSocket::hasInput(static_cast<int>(w.descriptor));
        });
        if (silent != m_waiting.end()) {
            HostSocket::refuse(static_cast<int>(silent->descriptor));
            m_waiting.erase(silent);
        }
    }
    if (std::cmp_greater_equal(m_waiting.size(), m_maxWaiting) || fromSource() >= m_maxWaitingPerAddress) {
        HostSocket::refuse(static_cast<int>(descriptor));
        return;
    }
    m_waiting.push_back(Waiting{descriptor, source, {}});
    m_waiting.back().since.start();
    if (!m_expiry.isActive()) {
        m_expiry.start(m_maxWait);
    }
}

void RoomListener::expire() {
    // A member waits this long for a candidate's answer, then tries the next one.
    while (!m_waiting.empty() && m_waiting.front().since.elapsed() >= m_maxWait.count()) {
        HostSocket::refuse(static_cast<int>(m_waiting.front().descriptor));
        m_waiting.pop_front();
    }
    if (!m_waiting.empty()) {
        m_expiry.start(std::max<qint64>(0, m_maxWait.count() - m_waiting.front().since.elapsed()));
    }
}

} // namespace session
