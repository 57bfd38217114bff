#pragma once

#include "session/RoomTransport.h"
#include "session/SessionConfig.h"
#include "session/wire/RoomHistory.h"

#include <QHash>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <vector>

namespace session {

class LinkInbox;
class NatsWorker;
struct NatsRoomState;

// A room on a NATS cluster (docs/protocol.md): a JetStream stream carries its joins,
// leaves and lines in one order, a bucket its members' names, a plain subject their
// pulses. The cluster's calls block and run on a worker thread; what the cluster
// delivers (on the client's threads) comes over to this link's thread in order.
class NatsRoomLink : public RoomLink {
    Q_OBJECT

public:
    NatsRoomLink(const SessionConfig& config, QStringList servers, QObject* parent);
    ~NatsRoomLink() override;

    void open(const RoomDescription& room, OpenMode mode) override;
    void createPlayer(const QString& name, const QString& secondName) override;
    bool answersAtOnce() const override { return false; }
    void destroyPlayer() override;
    bool reportsWithoutPlayer() const override { return false; }
    Status send(PlayerId to, const QByteArray& payload) override;
    void leave() override;

    // One record of the room's stream, as this link reads it.
    struct Record {
        // Other: a record this copy cannot read (another version's kind, or sealed with
        // another key); it only counts for the stream's order.
        enum class Kind { Joined, Left, Line, Other } kind = Kind::Line;
        quint64 streamSeq = 0;
        PlayerId from = 0;
        PlayerId to = 0;
        quint32 seq = 0;
        QByteArray data; // the line, or the joining player's name
    };

private:
    // Every record in the order the consumer delivers it: tells of the records that
    // were gone from the stream before this copy could read them.
    void onArrived(const Record& record);
    void onRecord(const Record& record);
    // After records were lost: whoever joined among them, by the members bucket, then
    // the records held back meanwhile.
    void onMembersRead(const Result<QList<PlayerEntry>>& members);
    // `before`: the stream's last record when this member began to read it.
    void onJoinStored(PlayerId id, quint64 joinSeq, quint64 before, const QList<PlayerEntry>& base);
    // A record from before the join: what a newcomer is given of the room's past.
    void keepInHistory(const Record& record);
    void apply(const Record& record, bool quietly);
    void onPulse(PlayerId id);
    // Reports members whose pulse stopped as gone, through the room.
    void checkPresence();
    void stopPlayer();

    SessionConfig m_config;
    QStringList m_servers;
    std::shared_ptr<LinkInbox> m_inbox;
    std::shared_ptr<NatsRoomState> m_state;
    std::unique_ptr<NatsWorker> m_worker;
    std::unique_ptr<NatsWorker> m_pulse;

    enum class Phase { Idle, Joining, Member } m_phase = Phase::Idle;
    PlayerId m_me = 0;
    quint64 m_joinSeq = 0;      // this copy's own join
    quint64 m_lastArrived = 0;  // the stream sequence of the last record delivered
    bool m_catchingUp = false;  // the members are read again after lost records
    std::vector<Record> m_held; // records that came meanwhile
    bool m_joinKnown = false;
    std::vector<Record> m_early; // records that came before the join was known
    // While joining: the records up to m_historyEnd (and those before the join) make
    // the history given with the player; the authors' names as far as known.
    quint64 m_historyEnd = 0;
    RoomHistory m_history;
    QHash<PlayerId, QString> m_names;
    QList<PlayerEntry> m_roster;
    QHash<PlayerId, qint64> m_lastPulse;
    QHash<PlayerId, qint64> m_reportedGone;
    qint64 m_ownPulse = 0; // when this copy last heard its own pulse come back
    quint32 m_nextSeq = 1;
    QTimer m_presence;
};

} // namespace session
