#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <utility>

class QSocketNotifier;

namespace session {

// The host's end of one member's TCP connection: an accepted descriptor watched by
// the event loop. The host queues and batches its frames itself (RoomHost), so this
// holds only what the kernel did not take yet, and costs no look-ups when a member
// arrives: it is the host's most frequent object, and QTcpSocket's generality (its
// own read buffer, address queries on accept, a write notifier per write) was a good
// part of what a join and a broadcast cost.
class HostSocket : public QObject {
    Q_OBJECT

public:
    enum class State {
        Connected,
        Closing, // closes once what was written is out
        Closed,
    };

    // Takes over `descriptor`, an accepted TCP connection.
    explicit HostSocket(int descriptor, QObject* parent = nullptr);
    ~HostSocket() override;

    // Closes an accepted descriptor the host does not want.
    static void refuse(int descriptor);
    // The peer's address as limits per source count it: the 4 bytes of an IPv4
    // address (IPv4-mapped IPv6 included), the first 8 bytes (the /64 prefix, what
    // one site is given) of an IPv6 address. Empty when it cannot be told.
    static QByteArray sourceKey(int descriptor);
    // Whether the peer has sent anything not read yet.
    static bool hasInput(int descriptor);
    // The peer's address as it is; null when it cannot be told.
    static QHostAddress peerAddress(int descriptor);

    State state() const { return m_state; }
    int descriptor() const { return m_descriptor; }
    // Bytes handed to write() that the kernel has not taken yet.
    qint64 bytesToWrite() const { return m_pending.size() - m_sent; }

    // What arrived since the last call.
    QByteArray readAll() { return std::exchange(m_inbox, {}); }
    // Sends what the kernel takes at once and keeps the rest, in order, for later.
    void write(const char* data, qint64 size);
    void write(const QByteArray& data) { write(data.constData(), data.size()); }
    // The same for several pieces, gathered into as few system calls as it takes, and
    // never ahead of bytes still waiting from earlier writes.
    void write(const QList<QByteArray>& pieces);
    // Closes once everything written is out (or the peer is gone); `disconnected`
    // follows, synchronously when nothing is left to send.
    void disconnectFromHost();

    // Stops or resumes reading: what the peer sends meanwhile waits in the kernel,
    // and TCP slows the peer down.
    void setReadEnabled(bool enabled);
    // While bytes wait to be sent: milliseconds since the kernel last took any.
    qint64 msSinceProgress() const { return m_progress.elapsed(); }
    // `drained` is emitted whenever the bytes waiting fall to `bytes` or below, and to
    // the second mark (a lower one) or below.
    void setDrainMark(qint64 bytes) { m_drainMark = bytes; }
    void setSecondDrainMark(qint64 bytes) { m_secondDrainMark = bytes; }

Q_SIGNALS:
    // Something arrived: readAll() has it.
    void readyRead();
    // The connection is over: closed by the peer, broken, or closed here.
    void disconnected();
    // The waiting bytes fell to the drain mark.
    void drained();

private:
    void onReadable();
    void sendPending();
    void reportDrain(qint64 before);
    void broken();
    void finish();

    int m_descriptor = -1;
    State m_state = State::Connected;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr; // made when the kernel is first full
    QByteArray m_pending;
    qsizetype m_sent = 0; // bytes of m_pending already taken by the kernel
    QByteArray m_inbox;
    QElapsedTimer m_progress; // restarted whenever the kernel takes waiting bytes
    qint64 m_drainMark = -1;
    qint64 m_secondDrainMark = -1;
};

} // namespace session
