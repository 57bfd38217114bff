#pragma once

#include "session/SessionService.h"
#include "transfer/TransferWire.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <memory>
#include <optional>

namespace transfer {

// What the window and the console show of one transfer.
struct TransferInfo {
    enum class State { Offered, Waiting, Running, Done, Failed, Declined, Cancelled };
    int number = 0; // this copy's own number for it, from 1
    bool incoming = false;
    session::PlayerId peer = 0; // the sender of an incoming one; the receiver (0: the room) of an outgoing one
    QString peerName;
    bool toRoom = false;
    QString fileName; // as offered (incoming: already made safe)
    qint64 size = 0;
    qint64 done = 0;           // bytes; an outgoing room offer shows its most advanced receiver
    double bytesPerSecond = 0; // while running
    qint64 secondsLeft = -1;   // -1 unknown
    int receiversDone = 0;     // outgoing: how many receivers hold the whole file
    State state = State::Offered;
    QString savedPath; // incoming, once done
    QString message;   // why it failed, or what it waits for
};

// The largest file a user may set to take, in MiB (1 TiB): a setting above it is no
// limit this program can count in bytes.
inline constexpr qint64 kMostLargestFileMb = 1024 * 1024;

// Time-outs of the transfers, in milliseconds; tests shorten them.
struct TransferTimings {
    int stallMs = 2000;   // receiver: nothing for this long with credit out: ask again from what it holds
    int silentMs = 30000; // receiver: nothing at all for this long: the transfer fails
    int forgetMs = 60000; // sender: a receiver that sent no Want for this long is forgotten
};

struct Incoming;
struct Outgoing;

// The file transfers of this copy, offered over the chat (kind 2 messages) and carried
// in file parts (docs/protocol.md, "Transfers"). Lives on the user-interface thread; the
// only work elsewhere is hashing a file before its offer goes out.
//
// Receiving writes nothing before accept(); the file grows in a temporary file beside
// the target and gets its final name only once its hash matched the offer's.
class FileTransfers : public QObject {
    Q_OBJECT

public:
    explicit FileTransfers(session::SessionService& service, QObject* parent = nullptr);
    ~FileTransfers() override;

    void setLocalPlayer(session::PlayerId id);
    // Offers a bigger than this are shown as refused and cannot be accepted.
    void setLargestFile(qint64 bytes);
    qint64 largestFile() const { return m_largestFile; }
    void setTimings(const TransferTimings& timings);

    // Hashes the file off this thread and offers it to `to` (0: the room) once done.
    // Nothing (and a notice) when the file cannot be read or the room carries no files.
    std::optional<int> offerFile(const QString& path, session::PlayerId to);
    // Every kind-2 chat message goes here; false when it was no valid offer.
    bool offerReceived(session::PlayerId from, session::PlayerId to, const session::Message& payload);

    // Saves offer `number` as `targetPath`; an existing file there is replaced only
    // with `overwrite`, otherwise the transfer fails with a message.
    void accept(int number, const QString& targetPath, bool overwrite);
    void decline(int number);
    void cancel(int number);

    // An offer of this copy's that the room handed back undelivered: it fails.
    void offerUndelivered(const session::Message& payload);
    // Transfers with `id` fail, their temporary files removed.
    void playerLeft(session::PlayerId id);
    // Every transfer ends, temporary files removed.
    void roomEnded();

    QList<TransferInfo> transfers() const;
    std::optional<TransferInfo> transfer(int number) const;

Q_SIGNALS:
    void transferAdded(int number);
    // At most about four times a second per transfer while it runs.
    void transferChanged(int number);
    // A line for the log.
    void notice(const QString& text);

private:
    void onPart(session::PlayerId from, const QByteArray& bytes);
    void onWant(session::PlayerId from, const Want& want);
    void onChunk(session::PlayerId from, const Chunk& chunk);
    void onCancel(session::PlayerId from, const Cancel& cancel);
    void onDone(session::PlayerId from, const Done& done);
    void onHashed(int number, QString hash, qint64 size, QString error);
    void tick();

    void sendPart(session::PlayerId to, const Part& part);
    void sendOffer(Outgoing& out);
    void startOutgoingQueued();
    void pumpOutgoing(Outgoing& out, session::PlayerId to);
    void startIncoming(Incoming& in);
    void startIncomingQueued(session::PlayerId sender);
    void sendWant(Incoming& in, bool restart);
    void finishIncoming(Incoming& in);
    void failIncoming(Incoming& in, TransferInfo::State state, const QString& message,
                      std::optional<CancelReason> tell);
    void endOutgoingReceiver(Outgoing& out, session::PlayerId receiver, TransferInfo::State outcome);
    void failOutgoing(Outgoing& out, TransferInfo::State state, const QString& message,
                      std::optional<CancelReason> tell);
    void answerUnknown(session::PlayerId to, quint32 transferId, CancelSide side);
    void changed(int number, bool force);
    QString nameOf(session::PlayerId id) const;
    Incoming* incomingByNumber(int number);
    Outgoing* outgoingByNumber(int number);
    Incoming* incomingById(session::PlayerId sender, quint32 transferId);
    Outgoing* outgoingById(quint32 transferId);

    session::SessionService& m_service;
    session::PlayerId m_local = 0;
    qint64 m_largestFile = 2LL * 1024 * 1024 * 1024;
    TransferTimings m_timings;
    int m_nextNumber = 1;
    quint32 m_nextTransferId = 1;
    QList<std::shared_ptr<Incoming>> m_incoming;
    QList<std::shared_ptr<Outgoing>> m_outgoing;
    QHash<quint64, qint64> m_unknownAnswered; // (player, transfer id) -> when a Cancel 3 last went
    QHash<int, qint64> m_lastChanged;
    QSet<session::PlayerId> m_floodNoticed; // senders told once that their old offers were dropped
    QSet<quint64> m_seenOffers;             // (sender, transfer id) of every offer taken
    QElapsedTimer m_clock;
    QTimer m_timer;
    QThreadPool m_hashers;
    std::shared_ptr<std::atomic<bool>> m_stopping;
};

} // namespace transfer
