#include "session/NetworkSessionService.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/discovery/RoomDiscovery.h"
#include "session/host/RoomHost.h"
#include "session/member/RoomMember.h"
#include "session/net/RoomListener.h"
#include "session/wire/DiscoveryDatagram.h"
#include "session/wire/Succession.h"

#include <QEventLoop>
#include <QMutex>
#include <QPointer>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <deque>
#include <memory>
#include <vector>

namespace session {

namespace {

enum class ServiceState {
    Uninitialized,
    Initialized, // a connection is chosen; no room
    Hosting,
    Member,
    Lost, // was a member; the host went away
};

// What waits in the local player's queue.
struct Queued {
    PlayerId from = 0;
    PlayerId to = 0;
    QByteArray payload;
    PlayerId leaving = 0;     // a leave notice: this player goes from the list once it is read
    bool undelivered = false; // the local player's own message, which did not go out
};

struct Player {
    PlayerId id = 0;
    QString name;
    bool departed = false; // left, but its leave notice has not been read yet
};

bool hasControlCharacter(const QString& text) {
    for (const QChar ch : text) {
        if (ch.category() == QChar::Other_Control) {
            return true;
        }
    }
    return false;
}

QByteArray systemPayload(qint32 type, PlayerId player) {
    Message message;
    message.writeInt32(type);
    message.writeInt32(kPlayerTypePlayer);
    message.writeInt32(player);
    return message.payload();
}

// What the room host hands to this copy's player, in the order it happened.
struct HostEvent {
    enum class Kind { Joined, Left, Delivered } kind = Kind::Delivered;
    PlayerId from = 0; // the player who joined or left, or the sender
    PlayerId to = 0;
    quint32 seq = 0;
    QByteArray payload;
    QString name;
};

// Carries the host's events from the host's thread to the service's. The host adds
// to it under a lock and posts one call to take everything waiting only when it was
// empty, so a busy room costs one wake-up per batch, not one per line.
class HostInbox {
public:
    explicit HostInbox(std::function<void()> post) : m_post(std::move(post)) {}

    void push(HostEvent event) {
        // Posting under the lock: once detach() has returned, nothing is posted any more.
        const QMutexLocker lock(&m_mutex);
        if (m_detached) {
            return;
        }
        m_events.push_back(std::move(event));
        if (m_events.size() == 1) {
            m_post();
        }
    }
    // Swaps the waiting events into `into`, which is emptied first: the vectors keep
    // their capacity, so a busy room does not grow a new one for every batch.
    void take(std::vector<HostEvent>& into) {
        into.clear();
        const QMutexLocker lock(&m_mutex);
        m_events.swap(into);
    }
    // Comings and goings up to now are in the list of players the service just read.
    void forgetPending() {
        const QMutexLocker lock(&m_mutex);
        m_events.clear();
    }
    void detach() {
        const QMutexLocker lock(&m_mutex);
        m_detached = true;
        m_events.clear();
    }

private:
    QMutex m_mutex;
    std::vector<HostEvent> m_events;
    bool m_detached = false;
    std::function<void()> m_post;
};

// Runs `call` with the host on the host's thread and waits for its result.
template <typename Call>
auto onHostThread(RoomHost* host, Call call) {
    std::optional<decltype(call(*host))> value;
    QMetaObject::invokeMethod(
        host, [&] { value.emplace(call(*host)); }, Qt::BlockingQueuedConnection);
    return std::move(*value);
}

} // namespace

struct NetworkSessionService::Impl {
    SessionConfig config;
    ServiceState state = ServiceState::Uninitialized;
    Connection connection;
    HostAndPort internetHost;

    QPointer<RoomHost> host;
    quint16 hostPort = 0;
    std::shared_ptr<HostInbox> inbox;
    std::vector<HostEvent> spareHostEvents;
    // Threads of hosts that are saying goodbye; they end once their host is gone.
    QList<QPointer<QThread>> hostThreads;
    QPointer<RoomMember> member;
    // A member of a room that outlives its host listens here, should the room move to
    // this copy; nothing is accepted before it does.
    QPointer<RoomListener> standby;
    // The room as it was opened: a copy that takes it over hosts it with these.
    RoomDescription room;
    // Looking for the room's new host after its host's copy went.
    std::optional<Election> election;
    // Per sender, the seq of the last message taken: after the room moved, a message
    // that comes again is dropped.
    QHash<PlayerId, quint32> lastSeq;
    // The seqs of lines to an old host that have come back to the user already.
    QSet<quint32> givenBack;
    PlayerId oldHost = 0;
    // Asks the router to forward the hosted room's port; gone with the room.
    std::unique_ptr<PortMapping> mapping;

    PlayerId localPlayer = 0;
    // Events raised for a player's messages may still be on their way after the
    // player is destroyed; asking for its count then gives 0, not an error.
    PlayerId destroyedPlayer = 0;
    qint32 eventHandle = 0;
    QList<Player> players; // joining order
    std::deque<Queued> queue;

    // A blocking call in progress: its loop, and a counter that close() moves on so
    // the waiting call knows the ground went away under it.
    QEventLoop* activeLoop = nullptr;
    quint64 generation = 0;
    int deferredEvents = 0;
    // Cleared when the service is destroyed. A waiting call keeps a copy, since the
    // service may be destroyed by a handler that runs inside its wait (the user quits
    // while a room is listed); the call must then return without touching it.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    Player* findPlayer(PlayerId id) {
        for (Player& player : players) {
            if (player.id == id) {
                return &player;
            }
        }
        return nullptr;
    }
    void wake() {
        if (activeLoop != nullptr) {
            activeLoop->quit();
        }
    }
};

NetworkSessionService::NetworkSessionService(SessionConfig config, QObject* parent)
    : SessionService(parent), d(std::make_unique<Impl>()) {
    d->config = config;
}

NetworkSessionService::~NetworkSessionService() {
    *d->alive = false;
    close();
    // A closed room's goodbyes take at most a moment; a host thread that does not end
    // by then is left running rather than destroyed under its host.
    for (const QPointer<QThread>& thread : std::as_const(d->hostThreads)) {
        if (thread && thread->wait(QDeadlineTimer(3000)) && thread) {
            delete thread.data();
        }
    }
}

bool NetworkSessionService::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const std::shared_ptr<bool> alive = d->alive;
    const quint64 generation = d->generation;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeout);
    d->activeLoop = &loop;
    while (*alive && !done() && timer.isActive() && d->generation == generation) {
        loop.exec();
    }
    if (!*alive || d->generation != generation) {
        return false;
    }
    d->activeLoop = nullptr;
    // Events for messages that came in meanwhile are raised only now: delivered inside
    // the wait, they would reach a caller that does not know its player id yet.
    for (; d->deferredEvents > 0; --d->deferredEvents) {
        raiseEvent(d->eventHandle);
    }
    return done();
}

void NetworkSessionService::notify() {
    if (d->activeLoop != nullptr) {
        ++d->deferredEvents;
    } else {
        raiseEvent(d->eventHandle);
    }
}

Result<OneBasedList<Connection>> NetworkSessionService::listConnections() {
    return OneBasedList<Connection>({
        Connection{Connection::Kind::Lan, QStringLiteral("ローカルネットワーク (TCP/IP)")},
        Connection{Connection::Kind::Internet, QStringLiteral("インターネット (TCP/IP)")},
    });
}

Status NetworkSessionService::initialize(const Connection& connection) {
    if (d->state != ServiceState::Uninitialized) {
        return failure(kErrorAlreadyInitialized, QStringLiteral("the session is already initialised"));
    }
    if (connection.kind == Connection::Kind::Internet) {
        if (!addressPrompt()) {
            return failure(kErrorCancelled, QStringLiteral("no way to ask for the host's address"));
        }
        const std::optional<QString> answer = addressPrompt()();
        if (!answer) {
            return failure(kErrorCancelled, QStringLiteral("no host address given"));
        }
        // Without a port, listing asks the whole room range.
        const std::optional<HostAndPort> parsed = parseHostAndPort(*answer, 0);
        if (!parsed) {
            return failure(kErrorInvalidParameter, QStringLiteral("not a host address: %1").arg(*answer));
        }
        d->internetHost = *parsed;
    }
    d->connection = connection;
    d->state = ServiceState::Initialized;
    return {};
}

Result<OneBasedList<RoomDescription>> NetworkSessionService::listRooms(const RoomDescription& query, int timeoutMs) {
    if (d->state == ServiceState::Uninitialized) {
        return failure(kErrorNotInitialized, QStringLiteral("the session is not initialised"));
    }
    if (d->activeLoop != nullptr) {
        return failure(kErrorBusy, QStringLiteral("another session call is still waiting"));
    }
    auto* discovery = new RoomDiscovery(d->config, this);
    connect(discovery, &RoomDiscovery::finished, this, [this] { d->wake(); });
    std::chrono::milliseconds limit = d->config.listTimeout;
    if (d->connection.kind == Connection::Kind::Internet) {
        discovery->startInternet(d->internetHost.host, d->internetHost.port, query);
        limit = d->config.connectTimeout;
    } else {
        if (timeoutMs > 0) {
            limit = std::chrono::milliseconds(timeoutMs);
        }
        discovery->startLan(query, limit);
    }
    const QPointer<RoomDiscovery> guard(discovery);
    const std::shared_ptr<bool> alive = d->alive;
    const bool completed =
        waitFor([guard] { return guard.isNull() || guard->isFinished(); }, limit + std::chrono::milliseconds(500));
    if (!*alive || guard.isNull()) {
        return failure(kErrorCancelled, QStringLiteral("the session was closed during the listing"));
    }
    QList<RoomDescription> rooms = discovery->rooms();
    discovery->deleteLater();
    if (!completed && d->state == ServiceState::Uninitialized) {
        return failure(kErrorCancelled, QStringLiteral("the session was closed during the listing"));
    }
    // The caller sets the password it joins with; the listing's is not handed back.
    return OneBasedList<RoomDescription>(std::move(rooms));
}

Status NetworkSessionService::openRoom(const RoomDescription& room, OpenMode mode) {
    if (d->state == ServiceState::Uninitialized) {
        return failure(kErrorNotInitialized, QStringLiteral("the session is not initialised"));
    }
    if (d->state != ServiceState::Initialized) {
        return failure(kErrorAlreadyInRoom, QStringLiteral("this copy is already in a room"));
    }
    if (d->activeLoop != nullptr) {
        return failure(kErrorBusy, QStringLiteral("another session call is still waiting"));
    }
    if (room.applicationId.isEmpty()) {
        return failure(kErrorInvalidParameter, QStringLiteral("the room has no application id"));
    }

    if (mode == OpenMode::CreateAndHost) {
        if (hasUnsafeCharacter(room.name) || room.name.size() > kMaxNameChars) {
            return failure(kErrorInvalidName, QStringLiteral("the room name is not allowed"));
        }
        auto* host = new RoomHost(
            d->config, RoomHost::Settings{room.applicationId, room.name, room.password, room.numericAttribute}, this);
        const Status started = host->start(d->connection.kind == Connection::Kind::Lan);
        if (!started) {
            host->shutDown();
            return started;
        }
        attachHost(host);
        return {};
    }

    if (mode != OpenMode::Join) {
        return failure(kErrorInvalidParameter, QStringLiteral("unknown open mode"));
    }
    if (room.hostAddress.isEmpty() || room.hostPort == 0) {
        return failure(kErrorInvalidParameter, QStringLiteral("the room description does not say where the room is"));
    }
    auto* member = new RoomMember(d->config, this);
    std::optional<Error> failed;
    bool opened = false;
    connect(member, &RoomMember::opened, this, [this, &opened] {
        opened = true;
        d->wake();
    });
    connect(member, &RoomMember::openFailed, this, [this, &failed](const Error& error) {
        failed = error;
        d->wake();
    });
    member->open(room.hostAddress, room.hostPort, room.applicationId, room.password);
    const QPointer<RoomMember> guard(member);
    const std::shared_ptr<bool> alive = d->alive;
    const bool done = waitFor([&] { return opened || failed.has_value(); }, d->config.connectTimeout);
    if (!*alive || guard.isNull()) {
        return failure(kErrorCancelled, QStringLiteral("the session was closed while joining"));
    }
    member->disconnect(this);
    if (!done || !opened) {
        member->leave();
        if (failed) {
            return platform::Failure<Error>{*failed};
        }
        if (d->state == ServiceState::Uninitialized) {
            return failure(kErrorCancelled, QStringLiteral("the session was closed while joining"));
        }
        return failure(kErrorTimedOut, QStringLiteral("the room's host did not answer in time"));
    }

    connect(member, &RoomMember::playerJoined, this, [this](PlayerId id, const QString& name) {
        if (d->localPlayer == 0 || d->findPlayer(id) != nullptr) {
            return;
        }
        d->players.append(Player{id, name, false});
        d->queue.push_back(Queued{kSystemSender, d->localPlayer, systemPayload(kSystemPlayerJoined, id), 0});
        notify();
    });
    connect(member, &RoomMember::playerLeft, this, [this](PlayerId id) { onPlayerLeft(id); });
    connect(member, &RoomMember::delivered, this, &NetworkSessionService::onDelivered);
    connect(member, &RoomMember::hostGone, this, &NetworkSessionService::onHostGone);
    connect(member, &RoomMember::moveFailed, this, &NetworkSessionService::tryNextCandidate);
    connect(member, &RoomMember::moved, this, [this] {
        d->election.reset();
        giveBackLinesToOldHost();
    });
    connect(member, &RoomMember::lost, this, [this, member] {
        onHostLost();
        // The lines the host never acknowledged go back to the user, oldest first.
        if (d->localPlayer != 0) {
            for (RoomMember::PendingSend& pending : member->takeUnacknowledged()) {
                if (d->givenBack.contains(pending.seq)) {
                    continue; // to the old host: given back when it was seen leaving
                }
                d->queue.push_back(Queued{d->localPlayer, pending.to, std::move(pending.payload), 0, true});
                notify();
            }
        }
    });
    d->member = member;
    d->room = room;
    d->state = ServiceState::Member;
    return {};
}

void NetworkSessionService::attachHost(RoomHost* host) {
    // The host's signals are taken where they are raised, on the host's thread, and
    // go through the inbox.
    auto inbox = std::make_shared<HostInbox>(
        [this] { QMetaObject::invokeMethod(this, &NetworkSessionService::takeHostEvents, Qt::QueuedConnection); });
    connect(
        host, &RoomHost::playerJoined, host,
        [inbox](PlayerId id, const QString& name) {
            inbox->push({HostEvent::Kind::Joined, id, 0, 0, {}, name});
        },
        Qt::DirectConnection);
    connect(
        host, &RoomHost::playerLeft, host,
        [inbox](PlayerId id) {
            inbox->push({HostEvent::Kind::Left, id, 0, 0, {}, {}});
        },
        Qt::DirectConnection);
    connect(
        host, &RoomHost::deliveredLocally, host,
        [inbox](PlayerId from, PlayerId to, quint32 seq, const QByteArray& payload) {
            inbox->push({HostEvent::Kind::Delivered, from, to, seq, payload, {}});
        },
        Qt::DirectConnection);
    d->inbox = inbox;
    d->host = host;
    d->hostPort = host->port();
    d->state = ServiceState::Hosting;
    // The room relays on a thread of its own, so members never wait for this copy's
    // own player (its window, sounds or output).
    host->setParent(nullptr);
    auto* thread = new QThread;
    thread->setObjectName(QStringLiteral("room host"));
    host->moveToThread(thread);
    // Once its goodbyes are out the host deletes itself, and its thread ends.
    connect(host, &QObject::destroyed, thread, &QThread::quit, Qt::DirectConnection);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    d->hostThreads.removeIf([](const QPointer<QThread>& t) { return t.isNull(); });
    d->hostThreads.append(thread);
    thread->start();
    // A room hosted here, from the start or after taking it over, asks the router to
    // forward its port where the connection calls for it.
    using Use = SessionConfig::PortMappingUse;
    if (d->config.portMapping == Use::Always ||
        (d->config.portMapping == Use::OnInternet && d->connection.kind == Connection::Kind::Internet)) {
        d->mapping = std::make_unique<PortMapping>();
        connect(d->mapping.get(), &PortMapping::changed, this, &SessionService::portMappingChanged);
        d->mapping->start(PortMapping::Request{d->hostPort, d->config.firstHostPort, d->config.lastHostPort,
                                               d->config.routerDiscoveryTime, d->config.portMappingLease});
    }
}

void NetworkSessionService::onHostGone(PlayerId oldHost) {
    if (d->state != ServiceState::Member || !d->member) {
        return;
    }
    // The only notice anybody sees: every copy shows it itself.
    onPlayerLeft(oldHost);
    d->oldHost = oldHost;
    d->election.emplace(d->member->roomPlayers(), oldHost, d->localPlayer);
    tryNextCandidate();
}

void NetworkSessionService::giveBackLinesToOldHost() {
    // A line to the old host's player that it had not acknowledged reaches nobody now.
    // It stays queued (the next host drops it), keeping the seqs without a gap. (When
    // the room ends instead, every line comes back in order with the others.) A host
    // whose player left before its copy closed the room is known by no id any more
    // (0): a line to everybody is not one to it, and goes on to the next host.
    if (d->localPlayer == 0 || !d->member || d->oldHost == 0) {
        return;
    }
    for (const RoomMember::PendingSend& pending : d->member->unacknowledged()) {
        if (pending.to == d->oldHost && !d->givenBack.contains(pending.seq)) {
            d->givenBack.insert(pending.seq);
            d->queue.push_back(Queued{d->localPlayer, pending.to, pending.payload, 0, true});
            notify();
        }
    }
}

void NetworkSessionService::tryNextCandidate() {
    if (!d->election || !d->member) {
        return;
    }
    switch (d->election->next()) {
    case Election::Step::Try:
        qCDebug(lcSession) << "trying player" << d->election->candidate().id << "as the room's new host";
        d->member->moveTo(d->election->candidate());
        return;
    case Election::Step::BecomeHost:
        if (takeOver()) {
            return;
        }
        [[fallthrough]];
    case Election::Step::GiveUp:
        d->election.reset();
        d->member->giveUp();
        return;
    }
}

bool NetworkSessionService::takeOver() {
    RoomMember* member = d->member;
    RoomSnapshot snapshot = member->snapshot(d->localPlayer);
    snapshot.localSeq = member->lastSeq();
    auto* host = new RoomHost(
        d->config,
        RoomHost::Settings{d->room.applicationId, d->room.name, member->password(), member->numericAttribute()},
        snapshot, this);
    const Status started = host->start(false, d->standby);
    if (!started) {
        qCDebug(lcSession) << "cannot take the room over:" << started.error().description;
        host->shutDown();
        return false;
    }
    qCDebug(lcSession) << "hosting the room on port" << host->port() << "after its host went";
    d->standby = nullptr; // the host's now
    d->election.reset();
    giveBackLinesToOldHost();
    // What the old host had not acknowledged goes again; whoever has it already drops it.
    for (const RoomMember::PendingSend& pending : member->unacknowledged()) {
        host->resendFromLocal(pending.to, pending.seq, pending.payload);
    }
    member->disconnect(this);
    member->abandon();
    d->member = nullptr;
    attachHost(host);
    return true;
}

void NetworkSessionService::onPlayerLeft(PlayerId id) {
    Player* player = d->findPlayer(id);
    if (player == nullptr || player->departed || id == d->localPlayer) {
        return;
    }
    if (d->localPlayer == 0) {
        d->players.removeIf([id](const Player& p) { return p.id == id; });
        return;
    }
    // The name stays readable until the notice has been read.
    player->departed = true;
    d->queue.push_back(Queued{kSystemSender, d->localPlayer, systemPayload(kSystemPlayerLeft, id), id});
    notify();
}

void NetworkSessionService::onDelivered(PlayerId from, PlayerId to, quint32 seq, const QByteArray& payload) {
    if (d->localPlayer == 0 || from == d->localPlayer) {
        return;
    }
    // Per sender, seqs only grow: one not above the last is a message sent again after
    // the room moved, which this copy has had (as a member, when it hosts the room now).
    quint32& last = d->lastSeq[from];
    if (seq != 0 && seq <= last) {
        return;
    }
    last = seq;
    d->queue.push_back(Queued{from, to, payload, 0});
    notify();
}

bool NetworkSessionService::roomEnded() const {
    return d->state == ServiceState::Lost;
}

void NetworkSessionService::onHostLost() {
    d->wake();
    if (d->state != ServiceState::Member) {
        return;
    }
    d->state = ServiceState::Lost;
    // Nobody is to reach this copy any more: a standby port left open would take
    // connections and never answer them.
    delete d->standby;
    // Everybody else is gone from this copy's point of view, the host's player too.
    const QList<Player> players = d->players;
    for (const Player& player : players) {
        if (player.id != d->localPlayer) {
            onPlayerLeft(player.id);
        }
    }
    // After the lines that did not go out have been queued as well.
    QMetaObject::invokeMethod(this, &SessionService::roomLost, Qt::QueuedConnection);
}

Result<PlayerId> NetworkSessionService::createLocalPlayer(const QString& name, const QString& secondName,
                                                          qint32 eventHandle, qint32 flags) {
    Q_UNUSED(flags);
    if (!isAllowedHandleName(name) || hasControlCharacter(secondName)) {
        return failure(kErrorInvalidName, QStringLiteral("the handle name is not allowed"));
    }
    if (name.size() > kMaxNameChars || secondName.size() > kMaxNameChars) {
        return failure(kErrorInvalidName, QStringLiteral("the handle name is too long"));
    }
    if (d->localPlayer != 0) {
        return failure(kErrorPlayerExists, QStringLiteral("this copy already has a player in the room"));
    }
    if (d->state == ServiceState::Lost) {
        return failure(kErrorConnectionLost, QStringLiteral("the connection to the room's host is gone"));
    }
    if (d->state == ServiceState::Hosting) {
        const std::shared_ptr<HostInbox> inbox = d->inbox;
        auto [id, players] = onHostThread(d->host, [&inbox, &name](RoomHost& host) {
            const Result<PlayerId> added = host.addLocalPlayer(name);
            if (added) {
                inbox->forgetPending(); // their outcome is in the list below
            }
            return std::pair(added, host.players());
        });
        if (!id) {
            return id;
        }
        d->localPlayer = *id;
        d->eventHandle = eventHandle;
        d->players.clear();
        for (const PlayerEntry& entry : std::as_const(players)) {
            d->players.append(Player{entry.id, entry.name, false});
        }
        return *id;
    }
    if (d->state != ServiceState::Member) {
        return failure(kErrorNoRoom, QStringLiteral("no room is open"));
    }
    if (d->activeLoop != nullptr) {
        return failure(kErrorBusy, QStringLiteral("another session call is still waiting"));
    }

    RoomMember* member = d->member;
    std::optional<Error> refused;
    bool created = false;
    // The player is set up inside the signal, before the frames that follow it in the
    // same read (joins, messages) are handled.
    const QMetaObject::Connection onCreated =
        connect(member, &RoomMember::playerCreated, this,
                [this, &created, eventHandle](PlayerId id, const QList<PlayerEntry>& roster) {
                    d->localPlayer = id;
                    d->eventHandle = eventHandle;
                    d->players.clear();
                    for (const PlayerEntry& entry : roster) {
                        d->players.append(Player{entry.id, entry.name, false});
                    }
                    created = true;
                    d->wake();
                });
    const QMetaObject::Connection onRefused =
        connect(member, &RoomMember::playerRefused, this, [this, &refused](const Error& error) {
            refused = error;
            d->wake();
        });
    if (member->numericAttribute() == kMigratingRoomAttribute && !d->standby) {
        auto* standby = new RoomListener(this);
        if (standby->listenInRange(d->config)) {
            d->standby = standby;
        } else {
            // Without it this copy cannot take the room over; the room goes on without that.
            qCDebug(lcSession) << "no standby port:" << standby->errorString();
            delete standby;
        }
    }
    member->createPlayer(name, secondName, d->standby ? d->standby->serverPort() : 0);
    const std::shared_ptr<bool> alive = d->alive;
    const bool done = waitFor([&] { return created || refused.has_value(); }, d->config.connectTimeout);
    if (!*alive) {
        return failure(kErrorCancelled, QStringLiteral("the session was closed while the player was created"));
    }
    disconnect(onCreated);
    disconnect(onRefused);
    if (created) {
        return d->localPlayer;
    }
    if (refused) {
        return platform::Failure<Error>{*refused};
    }
    if (!done && d->state == ServiceState::Member) {
        // A host that does not answer cannot be trusted with the connection any more.
        onHostLost();
        if (d->member) {
            d->member->disconnect(this);
            d->member->leave();
        }
        return failure(kErrorTimedOut, QStringLiteral("the room's host did not answer in time"));
    }
    return failure(kErrorConnectionLost, QStringLiteral("the connection to the room's host is gone"));
}

Status NetworkSessionService::destroyPlayer(PlayerId id) {
    if (id == 0 || id != d->localPlayer) {
        return failure(kErrorInvalidPlayer, QStringLiteral("player %1 is not this copy's player").arg(id));
    }
    if (d->state == ServiceState::Hosting && d->host) {
        QMetaObject::invokeMethod(d->host, &RoomHost::removeLocalPlayer);
    } else if (d->state == ServiceState::Member && d->member) {
        d->member->destroyPlayer();
        d->players.clear();
        // Without a player this copy is no candidate to take the room over.
        delete d->standby;
    }
    d->players.removeIf([id](const Player& p) { return p.id == id; });
    d->destroyedPlayer = id;
    d->localPlayer = 0;
    d->queue.clear();
    d->deferredEvents = 0;
    return {};
}

Result<OneBasedList<PlayerEntry>> NetworkSessionService::listPlayers() {
    if (d->state == ServiceState::Uninitialized || d->state == ServiceState::Initialized) {
        return failure(kErrorNoRoom, QStringLiteral("no room is open"));
    }
    QList<PlayerEntry> out;
    out.reserve(d->players.size());
    for (const Player& player : std::as_const(d->players)) {
        out.append(PlayerEntry{player.id, player.name});
    }
    return OneBasedList<PlayerEntry>(std::move(out));
}

Result<QString> NetworkSessionService::playerName(PlayerId id) {
    if (const Player* player = d->findPlayer(id)) {
        return player->name;
    }
    return failure(kErrorInvalidPlayer, QStringLiteral("no player %1 in the room").arg(id));
}

Result<int> NetworkSessionService::waitingMessageCount(PlayerId localPlayer) {
    if (localPlayer != 0 && localPlayer == d->destroyedPlayer && d->localPlayer == 0) {
        return 0;
    }
    if (localPlayer == 0 || localPlayer != d->localPlayer) {
        return failure(kErrorInvalidPlayer, QStringLiteral("player %1 is not this copy's player").arg(localPlayer));
    }
    return static_cast<int>(d->queue.size());
}

Result<ReceivedMessage> NetworkSessionService::receive() {
    if (d->queue.empty()) {
        return failure(kErrorNoMessage, QStringLiteral("no message is waiting"));
    }
    Queued next = std::move(d->queue.front());
    d->queue.pop_front();
    if (d->host && next.from != kSystemSender && !next.undelivered) {
        d->host->localTaken(next.payload.size());
    }
    if (next.leaving != 0) {
        const PlayerId leaving = next.leaving;
        d->players.removeIf([leaving](const Player& p) { return p.id == leaving && p.departed; });
    }
    return ReceivedMessage{next.from, next.to, Message(std::move(next.payload)), next.undelivered};
}

Status NetworkSessionService::send(PlayerId from, PlayerId to, const Message& message) {
    if (d->state == ServiceState::Lost) {
        return failure(kErrorConnectionLost, QStringLiteral("the connection to the room's host is gone"));
    }
    if (d->state != ServiceState::Hosting && d->state != ServiceState::Member) {
        return failure(kErrorNoRoom, QStringLiteral("no room is open"));
    }
    if (from == 0 || from != d->localPlayer) {
        return failure(kErrorInvalidPlayer, QStringLiteral("player %1 is not this copy's player").arg(from));
    }
    if (to != kEveryone) {
        const Player* target = d->findPlayer(to);
        if (target == nullptr || target->departed) {
            return failure(kErrorInvalidPlayer, QStringLiteral("no player %1 in the room").arg(to));
        }
    }
    if (message.payload().size() > d->config.maxPayloadBytes()) {
        return failure(kErrorInvalidParameter, QStringLiteral("the message is too large"));
    }
    if (d->state == ServiceState::Hosting) {
        QMetaObject::invokeMethod(
            d->host, [host = d->host.data(), to, payload = message.payload()] { host->sendFromLocal(to, payload); });
        return {};
    }
    return d->member->send(to, message.payload());
}

void NetworkSessionService::close() {
    ++d->generation;
    d->wake();
    d->activeLoop = nullptr;
    dropEventReceivers();
    if (d->inbox) {
        d->inbox->detach();
        d->inbox.reset();
    }
    if (d->host) {
        // The room stops listening and says goodbye before close() returns.
        onHostThread(d->host, [](RoomHost& host) {
            host.shutDown();
            return true;
        });
        d->host = nullptr;
    }
    d->hostPort = 0;
    if (d->mapping) {
        // On the way out of the program too: a short wait for the router, so that the
        // forwarding ends with the room rather than with its lease.
        d->mapping->release(PortMapping::kReleaseWait);
        d->mapping.reset();
        if (*d->alive) {
            Q_EMIT portMappingChanged();
        }
    }
    if (d->member) {
        d->member->disconnect(this);
        d->member->leave();
        d->member = nullptr;
    }
    delete d->standby;
    d->election.reset();
    d->lastSeq.clear();
    d->givenBack.clear();
    d->queue.clear();
    d->deferredEvents = 0;
    d->players.clear();
    d->localPlayer = 0;
    d->eventHandle = 0;
    d->state = ServiceState::Uninitialized;
}

quint16 NetworkSessionService::hostingPort() const {
    return d->hostPort;
}

void NetworkSessionService::takeHostEvents() {
    if (!d->inbox) {
        return;
    }
    // A handler that runs an event loop may come back here: each round has its own list.
    std::vector<HostEvent> events = std::exchange(d->spareHostEvents, {});
    d->inbox->take(events);
    for (HostEvent& event : events) {
        switch (event.kind) {
        case HostEvent::Kind::Joined:
            if (d->findPlayer(event.from) != nullptr) {
                break;
            }
            d->players.append(Player{event.from, event.name, false});
            if (d->localPlayer != 0) {
                d->queue.push_back(
                    Queued{kSystemSender, d->localPlayer, systemPayload(kSystemPlayerJoined, event.from), 0});
                notify();
            }
            break;
        case HostEvent::Kind::Left:
            onPlayerLeft(event.from);
            break;
        case HostEvent::Kind::Delivered:
            onDelivered(event.from, event.to, event.seq, event.payload);
            break;
        }
    }
    events.clear();
    d->spareHostEvents = std::move(events);
}

PortMappingState NetworkSessionService::portMapping() const {
    return d->mapping ? d->mapping->state() : PortMappingState{};
}

} // namespace session
