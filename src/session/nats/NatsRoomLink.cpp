#include "session/nats/NatsRoomLink.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/nats/NatsCluster.h"
#include "session/nats/NatsRoomKey.h"
#include "session/wire/NameRules.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <nats/nats.h>

namespace session {

// What the worker thread keeps for a link: the connection, the room, the player. The
// client's callbacks reach the link only through the inbox.
struct NatsRoomState {
    NatsClient client;
    QByteArray roomId;
    natsSubscription* records = nullptr;
    natsSubscription* pulses = nullptr;
    std::atomic<PlayerId> me = 0;
    QByteArray myKey;
    // A room with a password: what its members store is sealed with this.
    std::shared_ptr<const NatsRoomKey> seal;
};

namespace {

constexpr char kFromHeader[] = "Mirelune-From";
constexpr char kToHeader[] = "Mirelune-To";
constexpr char kSeqHeader[] = "Mirelune-Seq";

// What a subscription's callback needs; freed once the subscription has delivered its
// last message.
struct Sink {
    std::shared_ptr<LinkInbox> inbox;
    NatsRoomLink* link;
    std::function<void(LinkInbox&, NatsRoomLink*, natsMsg*)> handle;
};

void onSinkMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* sink = static_cast<Sink*>(closure);
    sink->handle(*sink->inbox, sink->link, msg);
    natsMsg_Destroy(msg);
}

void onSinkComplete(void* closure) {
    delete static_cast<Sink*>(closure);
}

qint64 headerNumber(natsMsg* msg, const char* key) {
    const char* value = nullptr;
    if (natsMsgHeader_Get(msg, key, &value) != NATS_OK || value == nullptr) {
        return 0;
    }
    bool ok = false;
    const qint64 number = QByteArray(value).toLongLong(&ok);
    return ok ? number : 0;
}

void unsubscribe(natsSubscription*& sub) {
    if (sub != nullptr) {
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
        sub = nullptr;
    }
}

// Stores `msg` in the room's stream under `msgId`, trying again (the same id, so the
// cluster keeps it once) until it is stored or `deadlineMs` has passed: the stream's
// sequence, or 0.
quint64 store(NatsRoomState& state, natsMsg* msg, const QByteArray& msgId, int deadlineMs, const NatsWorker* worker) {
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MsgId = msgId.constData();
    options.MaxWait = 2000;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        jsPubAck* ack = nullptr;
        jsErrCode code = jsErrCode(0);
        const natsStatus status = js_PublishMsg(&ack, state.client.jetStream(), msg, &options, &code);
        if (status == NATS_OK) {
            const quint64 seq = ack->Sequence;
            jsPubAck_Destroy(ack);
            return seq;
        }
        if (clock.elapsed() >= deadlineMs || (worker != nullptr && worker->cancelled())) {
            qCDebug(lcSession) << "the cluster did not store" << msgId << natsStatus_GetText(status) << code;
            return 0;
        }
        // A leader is being elected, or this copy is moving to another server.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// What a sealed record's body is bound to: its room, kind and headers.
QByteArray recordBound(const QByteArray& roomId, QByteArrayView kind, PlayerId from, PlayerId to, quint32 seq) {
    return roomId + '.' + kind.toByteArray() + ' ' + QByteArray::number(from) + ' ' + QByteArray::number(to) + ' ' +
           QByteArray::number(seq);
}

quint64 storeRecord(NatsRoomState& state, const char* kind, PlayerId from, const QByteArray& msgId,
                    const QByteArray& plain, int deadlineMs, const NatsWorker* worker, PlayerId to = 0,
                    quint32 seq = 0) {
    natsMsg* msg = nullptr;
    const QByteArray subject = natsroom::subject(state.roomId, kind);
    const QByteArray data = state.seal && qstrcmp(kind, "leave") != 0
                                ? state.seal->seal(plain, recordBound(state.roomId, kind, from, to, seq))
                                : plain;
    if (natsMsg_Create(&msg, subject.constData(), nullptr, data.constData(), static_cast<int>(data.size())) !=
        NATS_OK) {
        return 0;
    }
    natsMsgHeader_Set(msg, kFromHeader, QByteArray::number(from).constData());
    if (qstrcmp(kind, "line") == 0) {
        natsMsgHeader_Set(msg, kToHeader, QByteArray::number(to).constData());
        natsMsgHeader_Set(msg, kSeqHeader, QByteArray::number(seq).constData());
    }
    const quint64 stored = store(state, msg, msgId, deadlineMs, worker);
    natsMsg_Destroy(msg);
    return stored;
}

QByteArray leaveId(PlayerId id) {
    return "leave-" + QByteArray::number(id);
}

// Takes `name`'s entry out of the members bucket if it is still player `id`'s.
void releaseName(NatsRoomState& state, const QByteArray& key, PlayerId id) {
    kvEntry* entry = nullptr;
    if (kvStore_Get(&entry, state.client.members(), key.constData()) == NATS_OK && entry != nullptr) {
        if (kvEntry_Revision(entry) == static_cast<uint64_t>(id)) {
            kvStore_Delete(state.client.members(), key.constData());
        }
        kvEntry_Destroy(entry);
    }
}

// On the worker: stops taking the room's records and pulses and, with a player, gives
// its name back and stores its leave. Name first, then the leave: a member list read in
// between never holds a member whose leave is already stored.
void endPlayer(NatsRoomState& state, const NatsWorker* worker) {
    unsubscribe(state.records);
    unsubscribe(state.pulses);
    const PlayerId id = state.me.exchange(0);
    if (id != 0) {
        releaseName(state, state.myKey, id);
        storeRecord(state, "leave", id, leaveId(id), {}, natsroom::kPulseMs, worker);
    }
}

// Whether player `id` of the room still pulses (listening up to the time-out).
bool stillPulses(NatsRoomState& state, PlayerId id) {
    natsSubscription* sub = nullptr;
    const QByteArray subject = natsroom::pulseSubject(state.roomId);
    if (natsConnection_SubscribeSync(&sub, state.client.connection(), subject.constData()) != NATS_OK) {
        return true;
    }
    bool alive = false;
    QElapsedTimer clock;
    clock.start();
    while (!alive && clock.elapsed() < natsroom::kPresenceTimeoutMs) {
        natsMsg* msg = nullptr;
        if (natsSubscription_NextMsg(&msg, sub, natsroom::kPresenceTimeoutMs - clock.elapsed()) == NATS_OK) {
            alive = QByteArray(natsMsg_GetData(msg), natsMsg_GetDataLength(msg)).toInt() == id;
            natsMsg_Destroy(msg);
        }
    }
    natsSubscription_Destroy(sub);
    return alive;
}

// A name in the members bucket, as stored (sealed in a room with a password).
QByteArray sealName(const NatsRoomState& state, const QByteArray& name) {
    return state.seal ? state.seal->seal(name, recordBound(state.roomId, "member", 0, 0, 0)) : name;
}
std::optional<QByteArray> openName(const NatsRoomState& state, const QByteArray& stored, PlayerId) {
    return state.seal ? state.seal->open(stored, recordBound(state.roomId, "member", 0, 0, 0))
                      : std::optional<QByteArray>(stored);
}

// The members bucket's key for a name: hashed with the room's key in a room with a
// password, so the bucket does not tell who is in the room to whoever guesses names.
QByteArray memberKey(const NatsRoomState& state, const QString& name) {
    return state.seal ? state.roomId + '.' + state.seal->nameHash(handleNameKey(name).toUtf8())
                      : natsroom::memberKey(state.roomId, name);
}

// The members of the room by the bucket, in joining order.
Result<QList<PlayerEntry>> readMembers(NatsRoomState& state) {
    kvWatchOptions options;
    kvWatchOptions_Init(&options);
    options.IgnoreDeletes = true;
    kvWatcher* watcher = nullptr;
    const QByteArray keys = state.roomId + ".*";
    natsStatus status = kvStore_Watch(&watcher, state.client.members(), keys.constData(), &options);
    if (status != NATS_OK) {
        return platform::Failure<Error>{
            natsError(kErrorConnectionLost, QStringLiteral("the room's members could not be read"), status)};
    }
    QList<PlayerEntry> members;
    for (;;) {
        kvEntry* entry = nullptr;
        status = kvWatcher_Next(&entry, watcher, 3000);
        if (status != NATS_OK || entry == nullptr) {
            break; // a null entry ends what the bucket held
        }
        if (kvEntry_Operation(entry) == kvOp_Put) {
            const QByteArray value(static_cast<const char*>(kvEntry_Value(entry)), kvEntry_ValueLen(entry));
            const auto id = static_cast<PlayerId>(kvEntry_Revision(entry));
            // A name this room's key does not open is nobody of the room's.
            if (const auto name = openName(state, value, id)) {
                members.append(PlayerEntry{id, QString::fromUtf8(*name)});
            }
        }
        kvEntry_Destroy(entry);
    }
    kvWatcher_Destroy(watcher);
    if (status != NATS_OK) {
        return platform::Failure<Error>{
            natsError(kErrorConnectionLost, QStringLiteral("the room's members could not be read"), status)};
    }
    std::sort(members.begin(), members.end(), [](const PlayerEntry& a, const PlayerEntry& b) { return a.id < b.id; });
    return members;
}

NatsRoomLink::Record readRecord(natsMsg* msg, const QByteArray& roomId, const NatsRoomKey* seal) {
    NatsRoomLink::Record record;
    jsMsgMetaData* meta = nullptr;
    if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
        record.streamSeq = meta->Sequence.Stream;
        jsMsgMetaData_Destroy(meta);
    }
    const QByteArray subject(natsMsg_GetSubject(msg));
    if (subject.endsWith(".join")) {
        record.kind = NatsRoomLink::Record::Kind::Joined;
    } else if (subject.endsWith(".leave")) {
        record.kind = NatsRoomLink::Record::Kind::Left;
    } else if (subject.endsWith(".line")) {
        record.kind = NatsRoomLink::Record::Kind::Line;
        record.to = static_cast<PlayerId>(headerNumber(msg, kToHeader));
        record.seq = static_cast<quint32>(headerNumber(msg, kSeqHeader));
    } else {
        record.kind = NatsRoomLink::Record::Kind::Other; // not a record of this version
    }
    record.from = static_cast<PlayerId>(headerNumber(msg, kFromHeader));
    record.data = QByteArray(natsMsg_GetData(msg), natsMsg_GetDataLength(msg));
    if (seal != nullptr &&
        (record.kind == NatsRoomLink::Record::Kind::Joined || record.kind == NatsRoomLink::Record::Kind::Line)) {
        const QByteArrayView kind = record.kind == NatsRoomLink::Record::Kind::Joined ? "join" : "line";
        const auto opened = seal->open(record.data, recordBound(roomId, kind, record.from, record.to, record.seq));
        if (!opened) {
            // Not sealed with the room's key (a copy without the password, or a
            // record changed on the cluster): nobody sees it.
            qCInfo(lcSession) << "a record of the room does not open with its key; skipped";
            record.kind = NatsRoomLink::Record::Kind::Other;
        } else {
            record.data = *opened;
        }
    }
    return record;
}

qint64 now() {
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

NatsRoomLink::NatsRoomLink(const SessionConfig& config, QStringList servers, QObject* parent)
    : RoomLink(parent), m_config(config), m_servers(std::move(servers)) {
    m_presence.setInterval(1000);
    connect(&m_presence, &QTimer::timeout, this, &NatsRoomLink::checkPresence);
}

NatsRoomLink::~NatsRoomLink() {
    leave();
}

void NatsRoomLink::open(const RoomDescription& room, OpenMode mode) {
    if (mode == OpenMode::Join && room.instanceId.isEmpty()) {
        Q_EMIT openFailed(Error{kErrorInvalidParameter, QStringLiteral("the room description does not name a room")});
        return;
    }
    m_inbox = std::make_shared<LinkInbox>(this);
    m_state = std::make_shared<NatsRoomState>();
    m_worker = std::make_unique<NatsWorker>();
    m_worker->post([state = m_state, inbox = m_inbox, servers = m_servers, credentials = m_config.natsCredentialsFile,
                    room, mode, historyAge = m_config.natsHistoryAge, historyRecords = m_config.natsHistoryRecords,
                    historyBytes = m_config.natsHistoryBytes, this] {
        const auto fail = [&](const Error& error) { inbox->push([this, error] { Q_EMIT openFailed(error); }); };
        if (Status connected = state->client.connect(servers, credentials); !connected) {
            return fail(connected.error());
        }
        jsErrCode code = jsErrCode(0);
        if (mode == OpenMode::CreateAndHost) {
            state->roomId = newRoomId();
            const QByteArray name = natsroom::streamName(state->roomId);
            int jsCode = 0;
            const RoomStreamLimits limits{std::chrono::duration_cast<std::chrono::milliseconds>(historyAge).count(),
                                          historyRecords, historyBytes};
            if (const int status = addRoomStream(state->client, state->roomId, limits, jsCode); status != NATS_OK) {
                return fail(natsError(kErrorCannotHost, QStringLiteral("the cluster did not make the room's stream"),
                                      status, jsCode));
            }
            QJsonObject described{{QStringLiteral("name"), room.name},
                                  {QStringLiteral("app"), room.applicationId},
                                  {QStringLiteral("attr"), room.numericAttribute},
                                  {QStringLiteral("created"), now()}};
            if (!room.password.isEmpty()) {
                auto key = NatsRoomKey::create(room.password);
                if (!key) {
                    js_DeleteStream(state->client.jetStream(), name.constData(), nullptr, nullptr);
                    return fail(Error{kErrorCannotHost, QStringLiteral("the room's key could not be made")});
                }
                described.insert(QStringLiteral("seal"), key->sealEntry());
                state->seal = std::make_shared<const NatsRoomKey>(std::move(*key));
            }
            const QByteArray entry = QJsonDocument(described).toJson(QJsonDocument::Compact);
            uint64_t revision = 0;
            const natsStatus listed = kvStore_Create(&revision, state->client.rooms(), state->roomId.constData(),
                                                     entry.constData(), static_cast<int>(entry.size()));
            if (listed != NATS_OK) {
                js_DeleteStream(state->client.jetStream(), name.constData(), nullptr, nullptr);
                return fail(natsError(kErrorCannotHost, QStringLiteral("the cluster did not list the room"), listed));
            }
        } else {
            state->roomId = room.instanceId;
            jsStreamInfo* info = nullptr;
            const natsStatus status = js_GetStreamInfo(&info, state->client.jetStream(),
                                                       natsroom::streamName(state->roomId).constData(), nullptr, &code);
            if (status != NATS_OK) {
                return fail(
                    natsError(kErrorConnectFailed, QStringLiteral("the room is not on the cluster"), status, code));
            }
            jsStreamInfo_Destroy(info);
            kvEntry* listed = nullptr;
            if (const natsStatus read = kvStore_Get(&listed, state->client.rooms(), state->roomId.constData());
                read != NATS_OK || listed == nullptr) {
                return fail(
                    natsError(kErrorConnectFailed, QStringLiteral("the room is not listed on the cluster"), read));
            }
            const QJsonObject described =
                QJsonDocument::fromJson(
                    QByteArray(static_cast<const char*>(kvEntry_Value(listed)), kvEntry_ValueLen(listed)))
                    .object();
            kvEntry_Destroy(listed);
            // A room with a password is proved by its key's check value, derived from
            // the password typed (a slow derivation, on this worker); a room without
            // one is joined whatever password was typed, as a hosted room is.
            if (described.contains(QStringLiteral("seal"))) {
                auto key = NatsRoomKey::derive(room.password, described.value(QStringLiteral("seal")).toObject());
                if (!key) {
                    return fail(Error{kErrorConnectFailed, QStringLiteral("the room's key cannot be derived")});
                }
                if (!key->matches()) {
                    return fail(Error{kErrorAccessDenied, QStringLiteral("wrong password")});
                }
                state->seal = std::make_shared<const NatsRoomKey>(std::move(*key));
            }
        }
        inbox->push([this] { Q_EMIT opened(); });
    });
}

void NatsRoomLink::createPlayer(const QString& name, const QString& secondName) {
    Q_UNUSED(secondName);
    if (!m_worker || m_phase != Phase::Idle) {
        Q_EMIT playerRefused(Error{kErrorNoRoom, QStringLiteral("no room is open")});
        return;
    }
    m_phase = Phase::Joining;
    m_joinKnown = false;
    m_lastArrived = 0;
    m_catchingUp = false;
    m_held.clear();
    m_early.clear();
    m_worker->post([state = m_state, inbox = m_inbox, worker = m_worker.get(), name, maxMembers = m_config.maxMembers,
                    this] {
        const auto refuse = [&](const Error& error) {
            unsubscribe(state->records);
            unsubscribe(state->pulses);
            inbox->push([this, error] {
                m_phase = Phase::Idle;
                Q_EMIT playerRefused(error);
            });
        };
        jsErrCode code = jsErrCode(0);
        const QByteArray stream = natsroom::streamName(state->roomId);
        jsStreamInfo* info = nullptr;
        natsStatus status = js_GetStreamInfo(&info, state->client.jetStream(), stream.constData(), nullptr, &code);
        if (status != NATS_OK) {
            return refuse(
                natsError(kErrorConnectionLost, QStringLiteral("the room's stream is out of reach"), status, code));
        }
        const quint64 last = info->State.LastSeq;
        jsStreamInfo_Destroy(info);
        // Everything from here on, in the stream's order; the client takes the
        // consumer up again where it was after a lost server or connection.
        auto* records = new Sink{
            inbox, this, [roomId = state->roomId, seal = state->seal](LinkInbox& to, NatsRoomLink* link, natsMsg* msg) {
                const Record record = readRecord(msg, roomId, seal.get());
                if (record.streamSeq != 0) {
                    to.push([link, record] { link->onArrived(record); });
                }
            }};
        jsSubOptions options;
        jsSubOptions_Init(&options);
        options.Stream = stream.constData();
        options.Ordered = true;
        options.Config.DeliverPolicy = js_DeliverByStartSequence;
        // From a little before: what was said before this member came.
        options.Config.OptStartSeq = last + 1 - std::min(last, natsroom::kHistoryReadRecords);
        // Missed heartbeats tell the client its consumer went with a server: it makes
        // a new one from where it was. Short, so that costs a second or two.
        options.Config.Heartbeat = 1000LL * 1000 * 1000;
        const QByteArray all = "mirelune.room." + state->roomId + ".>";
        status = js_Subscribe(&state->records, state->client.jetStream(), all.constData(), onSinkMessage, records,
                              nullptr, &options, &code);
        if (status != NATS_OK) {
            delete records;
            return refuse(
                natsError(kErrorConnectionLost, QStringLiteral("the room's stream cannot be read"), status, code));
        }
        natsSubscription_SetOnCompleteCB(state->records, onSinkComplete, records);
        auto* pulses = new Sink{inbox, this, [](LinkInbox& to, NatsRoomLink* link, natsMsg* msg) {
                                    const PlayerId id =
                                        QByteArray(natsMsg_GetData(msg), natsMsg_GetDataLength(msg)).toInt();
                                    to.push([link, id] { link->onPulse(id); });
                                }};
        const QByteArray pulseSubject = natsroom::pulseSubject(state->roomId);
        if (natsConnection_Subscribe(&state->pulses, state->client.connection(), pulseSubject.constData(),
                                     onSinkMessage, pulses) == NATS_OK) {
            natsSubscription_SetOnCompleteCB(state->pulses, onSinkComplete, pulses);
        } else {
            delete pulses;
        }
        const Result<QList<PlayerEntry>> read = readMembers(*state);
        if (!read) {
            return refuse(read.error());
        }
        QList<PlayerEntry> members = *read;
        if (members.size() >= maxMembers) {
            return refuse(Error{kErrorRoomFull, QStringLiteral("the room is full")});
        }
        // The bucket's compare-and-set keeps names unique: creating a key that is
        // there fails. The entry's revision, unique in the bucket, is the player's id.
        const QByteArray key = memberKey(*state, name);
        const QByteArray utf8 = name.toUtf8();
        const QByteArray stored = sealName(*state, utf8);
        uint64_t revision = 0;
        status = kvStore_Create(&revision, state->client.members(), key.constData(), stored.constData(),
                                static_cast<int>(stored.size()));
        if (status != NATS_OK) {
            kvEntry* taken = nullptr;
            if (kvStore_Get(&taken, state->client.members(), key.constData()) != NATS_OK || taken == nullptr) {
                return refuse(
                    natsError(kErrorConnectionLost, QStringLiteral("the room did not take the name"), status));
            }
            const auto holder = static_cast<PlayerId>(kvEntry_Revision(taken));
            kvEntry_Destroy(taken);
            // A copy that vanished while nobody else was in the room still holds its
            // name: once it is seen not to pulse, it leaves, and the name is free.
            if (stillPulses(*state, holder)) {
                return refuse(Error{kErrorInvalidName, QStringLiteral("the handle name is not allowed")});
            }
            releaseName(*state, key, holder);
            storeRecord(*state, "leave", holder, leaveId(holder), {}, natsroom::kPulseMs, worker);
            members.removeIf([holder](const PlayerEntry& entry) { return entry.id == holder; });
            status = kvStore_Create(&revision, state->client.members(), key.constData(), stored.constData(),
                                    static_cast<int>(stored.size()));
            if (status != NATS_OK) {
                return refuse(Error{kErrorInvalidName, QStringLiteral("the handle name is not allowed")});
            }
        }
        if (revision > static_cast<uint64_t>(std::numeric_limits<PlayerId>::max())) {
            kvStore_Delete(state->client.members(), key.constData());
            return refuse(Error{kErrorRoomFull, QStringLiteral("the cluster has run out of player ids")});
        }
        const auto id = static_cast<PlayerId>(revision);
        const quint64 joinSeq =
            storeRecord(*state, "join", id, "join-" + QByteArray::number(id), utf8, natsroom::kStoreDeadlineMs, worker);
        if (joinSeq == 0) {
            kvStore_Delete(state->client.members(), key.constData());
            return refuse(Error{kErrorTimedOut, QStringLiteral("the cluster did not store the join")});
        }
        state->me = id;
        state->myKey = key;
        inbox->push([this, id, joinSeq, last, base = members] { onJoinStored(id, joinSeq, last, base); });
    });
}

void NatsRoomLink::onJoinStored(PlayerId id, quint64 joinSeq, quint64 before, const QList<PlayerEntry>& base) {
    if (m_phase != Phase::Joining) {
        return; // the player was destroyed meanwhile; its leave is on its way
    }
    m_me = id;
    m_joinSeq = joinSeq;
    m_historyEnd = before;
    m_history = RoomHistory();
    m_history.setLimit(m_config.historyChars);
    m_names.clear();
    for (const PlayerEntry& entry : base) {
        m_names.insert(entry.id, entry.name);
    }
    m_joinKnown = true;
    m_roster = base;
    m_lastPulse.clear();
    m_reportedGone.clear();
    for (const PlayerEntry& entry : base) {
        m_lastPulse.insert(entry.id, now());
    }
    m_ownPulse = now();
    m_pulse = std::make_unique<NatsWorker>();
    m_pulse->setTick(
        [state = m_state] {
            const QByteArray id = QByteArray::number(state->me.load());
            const QByteArray subject = natsroom::pulseSubject(state->roomId);
            natsConnection_Publish(state->client.connection(), subject.constData(), id.constData(),
                                   static_cast<int>(id.size()));
        },
        natsroom::kPulseMs);
    m_presence.start();
    const std::vector<Record> early = std::exchange(m_early, {});
    for (const Record& record : early) {
        onRecord(record);
    }
}

void NatsRoomLink::onArrived(const Record& record) {
    // The consumer goes on from the record after the last one it delivered; when the
    // stream has dropped that one meanwhile (it keeps so many records, or so long, and
    // this copy was away), it goes on from the oldest there is. The records in between
    // are lost to this member: it is told how many, once.
    const quint64 expected = m_lastArrived + 1;
    if (m_lastArrived != 0 && record.streamSeq <= m_lastArrived) {
        return; // had already
    }
    m_lastArrived = record.streamSeq;
    if (m_catchingUp) {
        m_held.push_back(record);
        return;
    }
    if (expected > 1 && record.streamSeq > expected && m_phase == Phase::Member && m_worker) {
        qCInfo(lcSession) << "the room's stream no longer has records" << expected << "to" << record.streamSeq - 1;
        Q_EMIT recordsMissed(record.streamSeq - expected);
        // Members who joined among the lost records would be strangers to this copy:
        // the bucket names them before anything of theirs is shown.
        m_catchingUp = true;
        m_held.push_back(record);
        m_worker->post([state = m_state, inbox = m_inbox, this] {
            const Result<QList<PlayerEntry>> members = readMembers(*state);
            inbox->push([this, members] { onMembersRead(members); });
        });
        return;
    }
    onRecord(record);
}

void NatsRoomLink::onMembersRead(const Result<QList<PlayerEntry>>& members) {
    if (!m_catchingUp) {
        return;
    }
    if (m_phase == Phase::Member && members) {
        // Without this copy's name the others took it for gone meanwhile, and its leave
        // was among the lost records: it is out of the room, as when it reads that leave.
        if (std::none_of(members->cbegin(), members->cend(), [&](const PlayerEntry& e) { return e.id == m_me; })) {
            stopPlayer();
            Q_EMIT ended();
            return;
        }
        for (const PlayerEntry& entry : *members) {
            if (entry.id != m_me && std::none_of(m_roster.cbegin(), m_roster.cend(),
                                                 [&](const PlayerEntry& e) { return e.id == entry.id; })) {
                apply(Record{Record::Kind::Joined, 0, entry.id, 0, 0, entry.name.toUtf8()}, false);
            }
        }
    }
    m_catchingUp = false;
    const std::vector<Record> held = std::exchange(m_held, {});
    for (const Record& record : held) {
        onRecord(record);
    }
}

void NatsRoomLink::onRecord(const Record& record) {
    if (record.kind == Record::Kind::Other) {
        return;
    }
    switch (m_phase) {
    case Phase::Idle:
        return;
    case Phase::Joining:
        if (!m_joinKnown) {
            m_early.push_back(record);
            return;
        }
        if (record.streamSeq <= m_historyEnd) {
            // Before this member looked: said before it came, and nothing for the roster,
            // which the members bucket gave as it is now.
            keepInHistory(record);
            return;
        }
        if (record.streamSeq < m_joinSeq) {
            apply(record, true);
            keepInHistory(record);
            return;
        }
        m_phase = Phase::Member;
        m_roster.removeIf([this](const PlayerEntry& entry) { return entry.id == m_me; });
        m_roster.append(PlayerEntry{m_me, QString::fromUtf8(record.data)});
        Q_EMIT playerCreated(m_me, m_roster);
        if (const QList<HistoryLine> lines = std::exchange(m_history, RoomHistory()).lines(); !lines.isEmpty()) {
            Q_EMIT historyReceived(lines);
        }
        m_names.clear();
        if (record.streamSeq == m_joinSeq) {
            return;
        }
        [[fallthrough]];
    case Phase::Member:
        apply(record, false);
        return;
    }
}

void NatsRoomLink::apply(const Record& record, bool quietly) {
    switch (record.kind) {
    case Record::Kind::Other:
        return;
    case Record::Kind::Joined: {
        if (record.from == m_me || std::any_of(m_roster.cbegin(), m_roster.cend(),
                                               [&](const PlayerEntry& e) { return e.id == record.from; })) {
            return;
        }
        const QString name = QString::fromUtf8(record.data);
        m_roster.append(PlayerEntry{record.from, name});
        m_lastPulse.insert(record.from, now());
        if (!quietly) {
            Q_EMIT playerJoined(record.from, name);
        }
        return;
    }
    case Record::Kind::Left:
        if (record.from == m_me) {
            if (!quietly) {
                // The others took this copy for gone (it was cut off too long).
                stopPlayer();
                Q_EMIT ended();
            }
            return;
        }
        if (m_roster.removeIf([&](const PlayerEntry& e) { return e.id == record.from; }) > 0) {
            m_lastPulse.remove(record.from);
            m_reportedGone.remove(record.from);
            if (!quietly) {
                Q_EMIT playerLeft(record.from);
            }
        }
        return;
    case Record::Kind::Line:
        // Private lines travel to every member's copy; only the addressee's shows them.
        if (quietly || record.from == m_me || (record.to != kEveryone && record.to != m_me)) {
            return;
        }
        Q_EMIT delivered(record.from, record.to, record.seq, record.data);
        return;
    }
}

void NatsRoomLink::keepInHistory(const Record& record) {
    switch (record.kind) {
    case Record::Kind::Other:
        return;
    case Record::Kind::Joined:
        m_names.insert(record.from, QString::fromUtf8(record.data));
        m_history.addNotice();
        return;
    case Record::Kind::Left:
        m_history.addNotice();
        return;
    case Record::Kind::Line:
        // Only lines to everybody; one whose author's name the stream no longer holds
        // (joined before the oldest record read, and gone) cannot be shown as theirs.
        if (record.to == kEveryone && m_names.contains(record.from)) {
            m_history.addPublic(record.from, m_names.value(record.from), record.seq, record.data);
        }
        return;
    }
}

void NatsRoomLink::onPulse(PlayerId id) {
    if (id == m_me) {
        // Back after a break of this copy's own: the others get a fresh time-out.
        if (now() - m_ownPulse > 2 * natsroom::kPulseMs) {
            for (qint64& last : m_lastPulse) {
                last = now();
            }
        }
        m_ownPulse = now();
    } else if (m_lastPulse.contains(id)) {
        m_lastPulse[id] = now();
    }
}

void NatsRoomLink::checkPresence() {
    if (m_phase != Phase::Member || !m_worker) {
        return;
    }
    const qint64 at = now();
    // A copy that does not hear its own pulse is the one cut off: it judges nobody.
    if (at - m_ownPulse > 2 * natsroom::kPulseMs) {
        return;
    }
    for (const PlayerEntry& entry : std::as_const(m_roster)) {
        if (entry.id == m_me || at - m_lastPulse.value(entry.id, at) < natsroom::kPresenceTimeoutMs) {
            continue;
        }
        // Every member that misses the pulse says so; the stream keeps one leave.
        if (at - m_reportedGone.value(entry.id, 0) < natsroom::kPresenceTimeoutMs) {
            continue;
        }
        m_reportedGone[entry.id] = at;
        m_worker->post([state = m_state, worker = m_worker.get(), id = entry.id, name = entry.name] {
            releaseName(*state, memberKey(*state, name), id);
            storeRecord(*state, "leave", id, leaveId(id), {}, natsroom::kPulseMs * 2, worker);
        });
    }
}

Status NatsRoomLink::send(PlayerId to, const QByteArray& payload) {
    if (m_phase != Phase::Member || !m_worker) {
        return failure(kErrorConnectionLost, QStringLiteral("this copy is not in the room any more"));
    }
    const quint32 seq = m_nextSeq++;
    m_worker->post([state = m_state, inbox = m_inbox, worker = m_worker.get(), me = m_me, to, seq, payload, this] {
        const QByteArray msgId = QByteArray::number(me) + '-' + QByteArray::number(seq);
        if (storeRecord(*state, "line", me, msgId, payload, natsroom::kStoreDeadlineMs, worker, to, seq) == 0) {
            inbox->push([this, to, payload] { Q_EMIT undelivered(to, payload); });
        }
    });
    return {};
}

void NatsRoomLink::stopPlayer() {
    m_presence.stop();
    m_pulse.reset();
    m_phase = Phase::Idle;
    m_me = 0;
    m_roster.clear();
    m_early.clear();
    m_catchingUp = false;
    m_held.clear();
}

void NatsRoomLink::destroyPlayer() {
    if (m_phase == Phase::Idle || !m_worker) {
        return;
    }
    stopPlayer();
    m_worker->post([state = m_state, worker = m_worker.get()] { endPlayer(*state, worker); });
}

void NatsRoomLink::leave() {
    if (m_inbox) {
        m_inbox->detach();
    }
    m_presence.stop();
    m_pulse.reset();
    if (m_worker) {
        const std::shared_ptr<NatsRoomState> state = m_state;
        const NatsWorker* worker = m_worker.get();
        m_worker->finish([state, worker] { endPlayer(*state, worker); }, 3000);
        m_worker.reset();
    }
    m_state.reset();
    m_phase = Phase::Idle;
}

} // namespace session
