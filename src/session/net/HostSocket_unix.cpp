#include "session/net/HostSocket.h"
#include "session/net/SocketSend.h"

#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace session {

namespace {
// At most this much is read per turn from one member, so one that floods the host
// cannot keep it from the others; the rest is reported again on the next turn. It is
// about one file part: a chat line from another member waits behind no more than
// opening and sealing that much again.
constexpr qsizetype kReadPerTurn = 64 * 1024;
constexpr qsizetype kReadChunk = 64 * 1024;

void closeDescriptor(int descriptor) {
    while (::close(descriptor) < 0 && errno == EINTR) {
    }
}
} // namespace

HostSocket::HostSocket(int descriptor, QObject* parent) : QObject(parent), m_descriptor(descriptor) {
    ::fcntl(m_descriptor, F_SETFL, O_NONBLOCK);
    const int on = 1;
    ::setsockopt(m_descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_readNotifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &HostSocket::onReadable);
}

HostSocket::~HostSocket() {
    if (m_descriptor >= 0) {
        m_readNotifier->setEnabled(false);
        if (m_writeNotifier != nullptr) {
            m_writeNotifier->setEnabled(false);
        }
        closeDescriptor(m_descriptor);
    }
}

void HostSocket::refuse(int descriptor) {
    closeDescriptor(descriptor);
}

bool HostSocket::hasInput(int descriptor) {
    char byte = 0;
    return ::recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

QByteArray HostSocket::sourceKey(int descriptor) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        return QByteArray(reinterpret_cast<const char*>(&v4->sin_addr), 4);
    }
    if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        const auto* bytes = reinterpret_cast<const char*>(&v6->sin6_addr);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            return QByteArray(bytes + 12, 4);
        }
        return QByteArray(bytes, 8);
    }
    return {};
}

QHostAddress HostSocket::peerAddress(int descriptor) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    QHostAddress peer(reinterpret_cast<const sockaddr*>(&address));
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : peer;
}

void HostSocket::onReadable() {
    if (m_state == State::Closed) {
        return;
    }
    bool ended = false;
    const qsizetype before = m_inbox.size();
    thread_local char chunk[kReadChunk];
    while (m_inbox.size() - before < kReadPerTurn) {
        const ssize_t got = ::recv(m_descriptor, chunk, sizeof chunk, 0);
        if (got > 0) {
            m_inbox.append(chunk, static_cast<qsizetype>(got));
            if (got < kReadChunk) {
                break; // the kernel had no more
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        ended = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    if (m_inbox.size() > before) {
        Q_EMIT readyRead();
    }
    if (ended && m_state != State::Closed) {
        finish();
    }
}

void HostSocket::write(const char* data, qint64 size) {
    if (m_state != State::Connected || size <= 0) {
        return;
    }
    if (bytesToWrite() == 0) {
        m_pending.clear();
        m_sent = 0;
        ssize_t taken;
        do {
            taken = ::send(m_descriptor, data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (taken < 0 && errno == EINTR);
        if (taken < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            broken();
            return;
        }
        if (taken > 0) {
            data += taken;
            size -= taken;
        }
        if (size == 0) {
            return;
        }
    }
    if (bytesToWrite() == 0) {
        m_progress.start(); // a wait begins
    }
    m_pending.append(data, static_cast<qsizetype>(size));
    if (m_writeNotifier == nullptr) {
        m_writeNotifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Write, this);
        connect(m_writeNotifier, &QSocketNotifier::activated, this, &HostSocket::sendPending);
    }
    m_writeNotifier->setEnabled(true);
}

void HostSocket::write(const QList<QByteArray>& pieces) {
    if (m_state != State::Connected) {
        return;
    }
    qint64 skip = bytesToWrite() == 0 ? sendNow(m_descriptor, pieces) : 0;
    for (const QByteArray& piece : pieces) {
        if (skip >= piece.size()) {
            skip -= piece.size();
            continue;
        }
        write(piece.constData() + skip, piece.size() - skip);
        skip = 0;
    }
}

void HostSocket::sendPending() {
    const qint64 before = bytesToWrite();
    while (bytesToWrite() > 0) {
        const ssize_t taken = ::send(m_descriptor, m_pending.constData() + m_sent, static_cast<size_t>(bytesToWrite()),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (taken > 0) {
            m_sent += taken;
            continue;
        }
        if (taken < 0 && errno == EINTR) {
            continue;
        }
        if (taken < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The notifier stays on.
            if (bytesToWrite() < before) {
                m_progress.start();
                reportDrain(before);
            }
            return;
        }
        broken();
        return;
    }
    m_pending.clear();
    m_sent = 0;
    m_writeNotifier->setEnabled(false);
    if (m_state == State::Closing) {
        finish();
        return;
    }
    reportDrain(before);
}

void HostSocket::reportDrain(qint64 before) {
    const qint64 now = bytesToWrite();
    const auto crossed = [&](qint64 mark) { return mark >= 0 && before > mark && now <= mark; };
    if (crossed(m_drainMark) || crossed(m_secondDrainMark)) {
        Q_EMIT drained();
    }
}

void HostSocket::setReadEnabled(bool enabled) {
    if (m_state == State::Connected) {
        m_readNotifier->setEnabled(enabled);
    }
}

void HostSocket::broken() {
    // Nothing more can be sent. The end is reported from the event loop, never from
    // inside the write that found it, so no caller sees the connection vanish mid-call.
    m_pending.clear();
    m_sent = 0;
    if (m_writeNotifier != nullptr) {
        m_writeNotifier->setEnabled(false);
    }
    if (m_state == State::Connected) {
        m_state = State::Closing;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_state != State::Closed) {
                finish();
            }
        },
        Qt::QueuedConnection);
}

void HostSocket::disconnectFromHost() {
    if (m_state == State::Closed) {
        return;
    }
    m_state = State::Closing;
    m_readNotifier->setEnabled(false);
    if (bytesToWrite() == 0) {
        finish();
    }
}

void HostSocket::finish() {
    m_state = State::Closed;
    m_readNotifier->setEnabled(false);
    if (m_writeNotifier != nullptr) {
        m_writeNotifier->setEnabled(false);
    }
    closeDescriptor(m_descriptor);
    m_descriptor = -1;
    m_pending.clear();
    m_sent = 0;
    Q_EMIT disconnected();
}

} // namespace session
