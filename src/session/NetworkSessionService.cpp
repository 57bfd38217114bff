#include "session/NetworkSessionService.h"

#include "session/RoomTransport.h"
#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/nats/NatsCluster.h"
#include "session/nats/NatsTransport.h"
#include "session/secure/RoomIdentity.h"
#include "session/tcp/TcpTransport.h"
#include "session/wire/NameRules.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <memory>

namespace session {

namespace {

enum class ServiceState {
    Uninitialized,
    Initialized, // a connection is chosen; no room
    InRoom,      // hosting or a member, as the link has it
    Lost,        // was a member; the room is gone for this copy
};

// What waits in the local player's queue.
struct Queued {
    PlayerId from = 0;
    PlayerId to = 0;
    QByteArray payload;
    PlayerId leaving = 0;     // a leave notice: this player goes from the list once it is read
    bool undelivered = false; // the local player's own message, which did not go out
    bool history = false;     // said before the local player came; `name` its author's
    QString name{};
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

} // namespace

struct NetworkSessionService::Impl {
    SessionConfig config;
    ServiceState state = ServiceState::Uninitialized;
    Connection connection;
    // Carries the LAN's and the Internet's rooms; made once, as it keeps the threads of
    // rooms that are still saying goodbye until the service goes.
    std::unique_ptr<TcpTransport> tcp;
    std::unique_ptr<NatsTransport> nats;
    RoomTransport* transport = nullptr;
    // The room this copy is in, once opened.
    QPointer<RoomLink> link;
    QString fingerprint; // of its key
    QString keyNotice;
    // Per sender, the seq of the last message taken: after the room moved, a message
    // that comes again is dropped.
    QHash<PlayerId, quint32> lastSeq;

    PlayerId localPlayer = 0;
    // Events raised for a player's messages may still be on their way after the
    // player is destroyed; asking for its count then gives 0, not an error.
    PlayerId destroyedPlayer = 0;
    qint32 eventHandle = 0;
    QList<Player> players; // joining order
    std::deque<Queued> queue;
    bool obeysSysclear = false;

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
    // How long opening a room or entering it may take: a cluster rides out a server's
    // loss inside that time, and gives up on its own a little before it.
    std::chrono::milliseconds roomWait() const {
        return connection.kind == Connection::Kind::Nats
                   ? std::max(config.connectTimeout, std::chrono::milliseconds(natsroom::kStoreDeadlineMs + 5000))
                   : config.connectTimeout;
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
    d->tcp = std::make_unique<TcpTransport>(config);
}

NetworkSessionService::~NetworkSessionService() {
    *d->alive = false;
    close();
    // Links left behind by a call that was waiting when the service went.
    qDeleteAll(findChildren<RoomLink*>(Qt::FindDirectChildrenOnly));
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
        Connection{Connection::Kind::Nats, QStringLiteral("NATS クラスタ (常設の部屋)")},
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
        d->tcp->setConnection(connection.kind, *parsed);
    } else if (connection.kind == Connection::Kind::Nats) {
        if (!serversPrompt()) {
            return failure(kErrorCancelled, QStringLiteral("no way to ask for the cluster's servers"));
        }
        const std::optional<QString> answer = serversPrompt()();
        if (!answer) {
            return failure(kErrorCancelled, QStringLiteral("no server address given"));
        }
        const std::optional<QStringList> servers = parseNatsServers(*answer);
        if (!servers) {
            return failure(kErrorInvalidParameter, QStringLiteral("not a list of NATS servers: %1").arg(*answer));
        }
        d->nats = std::make_unique<NatsTransport>(d->config);
        d->nats->setServers(*servers);
        d->transport = d->nats.get();
        d->connection = connection;
        d->state = ServiceState::Initialized;
        return {};
    } else {
        d->tcp->setConnection(connection.kind);
    }
    d->transport = d->tcp.get();
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
    std::chrono::milliseconds limit{0};
    RoomListing* listing = d->transport->listRooms(query, timeoutMs, limit, this);
    connect(listing, &RoomListing::finished, this, [this] { d->wake(); });
    const QPointer<RoomListing> guard(listing);
    const std::shared_ptr<bool> alive = d->alive;
    const bool completed =
        waitFor([guard] { return guard.isNull() || guard->isFinished(); }, limit + std::chrono::milliseconds(500));
    if (!*alive || guard.isNull()) {
        return failure(kErrorCancelled, QStringLiteral("the session was closed during the listing"));
    }
    QList<RoomDescription> rooms = listing->rooms();
    listing->deleteLater();
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

    if (mode == OpenMode::CreateAndHost && (hasUnsafeCharacter(room.name) || room.name.size() > kMaxNameChars)) {
        return failure(kErrorInvalidName, QStringLiteral("the room name is not allowed"));
    }
    RoomLink* link = d->transport->newLink(mode, this);
    if (link == nullptr) {
        return failure(kErrorInvalidParameter, QStringLiteral("unknown open mode"));
    }
    std::optional<Error> failed;
    bool opened = false;
    connect(link, &RoomLink::opened, this, [this, &opened] {
        opened = true;
        d->wake();
    });
    connect(link, &RoomLink::openFailed, this, [this, &failed](const Error& error) {
        failed = error;
        d->wake();
    });
    link->open(room, mode);
    const QPointer<RoomLink> guard(link);
    const std::shared_ptr<bool> alive = d->alive;
    const bool done = waitFor([&] { return opened || failed.has_value(); }, d->roomWait());
    if (!*alive || guard.isNull()) {
        return failure(kErrorCancelled, QStringLiteral("the session was closed while joining"));
    }
    link->disconnect(this);
    if (!done || !opened) {
        link->leave();
        link->deleteLater();
        if (failed) {
            return platform::Failure<Error>{*failed};
        }
        if (d->state == ServiceState::Uninitialized) {
            return failure(kErrorCancelled, QStringLiteral("the session was closed while joining"));
        }
        return failure(kErrorTimedOut, QStringLiteral("the room's host did not answer in time"));
    }
    if (Status key = checkRoomKey(link, mode, room.name); !key) {
        if (!*alive) {
            return key;
        }
        if (guard) {
            link->leave();
            link->deleteLater();
        }
        return key;
    }
    follow(link);
    d->state = ServiceState::InRoom;
    return {};
}

Status NetworkSessionService::checkRoomKey(RoomLink* link, OpenMode mode, const QString& listedName) {
    const RoomKeyInfo info = link->roomKey();
    d->fingerprint.clear();
    d->keyNotice = info.notice;
    secure::RoomKey key{};
    if (!secure::fromBytes(info.key, key)) {
        return {}; // a room without a key
    }
    const QString fingerprint = secure::fingerprint(key);
    if (mode == OpenMode::Join) {
        secure::KeyStore store(secure::KeyStore::defaultFolder());
        const QString name = info.roomName.isEmpty() ? listedName : info.roomName;
        const secure::KeyStore::PinCheck pin = store.checkPin(name, key);
        const auto tell = [this](const QString& notice) {
            if (!notice.isEmpty()) {
                qCWarning(lcSession).noquote() << notice;
                d->keyNotice += (d->keyNotice.isEmpty() ? QString() : QStringLiteral("\n")) + notice;
            }
        };
        tell(pin.notice);
        const RoomKeySeen seen{name, fingerprint,
                               pin.state == secure::KeyStore::PinState::Unknown ? QString()
                                                                                : secure::fingerprint(pin.pinned)};
        const std::shared_ptr<bool> alive = d->alive;
        const QPointer<RoomLink> guard(link);
        const bool goOn = roomKeyCheck() ? roomKeyCheck()(seen) : !seen.changed();
        if (!*alive || guard.isNull()) {
            return failure(kErrorCancelled, QStringLiteral("the session was closed while joining"));
        }
        if (!goOn) {
            return failure(kErrorCancelled, seen.changed()
                                                ? QStringLiteral("the room's key is not the one it had; not joined")
                                                : QStringLiteral("the room's key was not accepted; not joined"));
        }
        if (pin.state != secure::KeyStore::PinState::Same) {
            if (const platform::Status pinned = store.pin(name, key); !pinned) {
                tell(pinned.error());
            }
        }
    }
    d->fingerprint = fingerprint;
    return {};
}

QString NetworkSessionService::roomFingerprint() const {
    return d->state == ServiceState::InRoom ? d->fingerprint : QString();
}

QString NetworkSessionService::rememberedFingerprint(const QString& roomName) const {
    if (d->connection.kind == Connection::Kind::Nats) {
        return {};
    }
    const std::optional<secure::RoomKey> key = secure::KeyStore(secure::KeyStore::defaultFolder()).pinned(roomName);
    return key ? secure::fingerprint(*key) : QString();
}

QString NetworkSessionService::takeKeyNotice() {
    return std::exchange(d->keyNotice, {});
}

void NetworkSessionService::follow(RoomLink* link) {
    connect(link, &RoomLink::playerJoined, this, &NetworkSessionService::onPlayerJoined);
    connect(link, &RoomLink::playerLeft, this, &NetworkSessionService::onPlayerLeft);
    connect(link, &RoomLink::delivered, this, &NetworkSessionService::onDelivered);
    connect(link, &RoomLink::undelivered, this, &NetworkSessionService::onUndelivered);
    connect(link, &RoomLink::recordsMissed, this, &NetworkSessionService::onRecordsMissed);
    connect(link, &RoomLink::historyReceived, this, &NetworkSessionService::onHistory);
    connect(link, &RoomLink::filePartReceived, this, &SessionService::filePartReceived);
    connect(link, &RoomLink::handedOver, this, &NetworkSessionService::onHandedOver);
    connect(link, &RoomLink::ended, this, &NetworkSessionService::onRoomEnded);
    connect(link, &RoomLink::portMappingChanged, this, &SessionService::portMappingChanged);
    d->link = link;
    link->setHistoryObeysSysclear(d->obeysSysclear);
}

void NetworkSessionService::onHandedOver(RoomLink* next) {
    RoomLink* old = d->link;
    if (old != nullptr) {
        old->disconnect(this);
        old->deleteLater(); // it is raising this signal
    }
    follow(next);
}

void NetworkSessionService::onPlayerJoined(PlayerId id, const QString& name) {
    if (d->findPlayer(id) != nullptr) {
        return;
    }
    d->players.append(Player{id, name, false});
    if (d->localPlayer != 0) {
        d->queue.push_back(Queued{kSystemSender, d->localPlayer, systemPayload(kSystemPlayerJoined, id), 0});
        notify();
    }
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

void NetworkSessionService::onUndelivered(PlayerId to, const QByteArray& payload) {
    if (d->localPlayer == 0) {
        return;
    }
    d->queue.push_back(Queued{d->localPlayer, to, payload, 0, true});
    notify();
}

void NetworkSessionService::onRecordsMissed(quint64 count) {
    if (d->localPlayer == 0 || count == 0) {
        return;
    }
    Message message;
    message.writeInt32(kSystemRecordsMissed);
    message.writeInt32(static_cast<qint32>(std::min<quint64>(count, std::numeric_limits<qint32>::max())));
    d->queue.push_back(Queued{kSystemSender, d->localPlayer, message.payload(), 0});
    notify();
}

void NetworkSessionService::onHistory(const QList<HistoryLine>& lines) {
    if (d->localPlayer == 0) {
        return;
    }
    for (const HistoryLine& line : lines) {
        Message message;
        message.writeInt32(0);
        message.writeString(line.text);
        Queued queued{line.from, kEveryone, message.payload(), 0};
        queued.history = true;
        queued.name = line.name;
        d->queue.push_back(std::move(queued));
        notify();
    }
}

void NetworkSessionService::setHistoryObeysSysclear(bool obeys) {
    d->obeysSysclear = obeys;
    if (d->link) {
        d->link->setHistoryObeysSysclear(obeys);
    }
}

bool NetworkSessionService::roomEnded() const {
    return d->state == ServiceState::Lost;
}

void NetworkSessionService::onRoomEnded() {
    d->wake();
    if (d->state != ServiceState::InRoom) {
        return;
    }
    d->state = ServiceState::Lost;
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
    if (d->state != ServiceState::InRoom || !d->link) {
        return failure(kErrorNoRoom, QStringLiteral("no room is open"));
    }
    RoomLink* link = d->link;
    if (d->activeLoop != nullptr && !link->answersAtOnce()) {
        return failure(kErrorBusy, QStringLiteral("another session call is still waiting"));
    }
    std::optional<Error> refused;
    bool created = false;
    // The player is set up inside the signal, before the frames that follow it in the
    // same read (joins, messages) are handled.
    const QMetaObject::Connection onCreated =
        connect(link, &RoomLink::playerCreated, this,
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
        connect(link, &RoomLink::playerRefused, this, [this, &refused](const Error& error) {
            refused = error;
            d->wake();
        });
    link->createPlayer(name, secondName);
    const std::shared_ptr<bool> alive = d->alive;
    const bool done =
        (created || refused.has_value()) || waitFor([&] { return created || refused.has_value(); }, d->roomWait());
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
    if (!done && d->state == ServiceState::InRoom) {
        // A room that does not answer cannot be trusted with the connection any more.
        onRoomEnded();
        if (d->link) {
            d->link->disconnect(this);
            d->link->leave();
            d->link->deleteLater();
            d->link = nullptr;
        }
        return failure(kErrorTimedOut, QStringLiteral("the room's host did not answer in time"));
    }
    return failure(kErrorConnectionLost, QStringLiteral("the connection to the room's host is gone"));
}

Status NetworkSessionService::destroyPlayer(PlayerId id) {
    if (id == 0 || id != d->localPlayer) {
        return failure(kErrorInvalidPlayer, QStringLiteral("player %1 is not this copy's player").arg(id));
    }
    if (d->state == ServiceState::InRoom && d->link) {
        d->link->destroyPlayer();
        if (!d->link->reportsWithoutPlayer()) {
            d->players.clear();
        }
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
    if (d->link && next.from != kSystemSender && !next.undelivered && !next.history) {
        d->link->taken(next.payload.size());
    }
    if (next.leaving != 0) {
        const PlayerId leaving = next.leaving;
        d->players.removeIf([leaving](const Player& p) { return p.id == leaving && p.departed; });
    }
    return ReceivedMessage{next.from,        next.to,      Message(std::move(next.payload)),
                           next.undelivered, next.history, next.name};
}

Status NetworkSessionService::send(PlayerId from, PlayerId to, const Message& message) {
    if (d->state == ServiceState::Lost) {
        return failure(kErrorConnectionLost, QStringLiteral("the connection to the room's host is gone"));
    }
    if (d->state != ServiceState::InRoom || !d->link) {
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
    return d->link->send(to, message.payload());
}

Status NetworkSessionService::sendFilePart(PlayerId to, const QByteArray& part) {
    if (d->state != ServiceState::InRoom || !d->link || d->localPlayer == 0) {
        return failure(kErrorNoRoom, QStringLiteral("no room is open"));
    }
    if (!d->link->carriesFiles()) {
        return failure(kErrorNoRoom, QStringLiteral("this room carries no files"));
    }
    const Player* target = d->findPlayer(to);
    if (to == d->localPlayer || target == nullptr || target->departed) {
        return failure(kErrorInvalidPlayer, QStringLiteral("no player %1 in the room").arg(to));
    }
    if (part.isEmpty() || part.size() > kMaxFilePartBytes) {
        return failure(kErrorInvalidParameter, QStringLiteral("a file part of %1 bytes").arg(part.size()));
    }
    return d->link->sendFilePart(to, part);
}

bool NetworkSessionService::carriesFiles() const {
    return d->state == ServiceState::InRoom && d->link && d->link->carriesFiles();
}

void NetworkSessionService::close() {
    ++d->generation;
    d->wake();
    d->activeLoop = nullptr;
    dropEventReceivers();
    if (d->link) {
        RoomLink* link = d->link;
        const bool mapped = link->portMapping().stage != PortMappingState::Stage::Off;
        link->disconnect(this);
        link->leave();
        link->deleteLater();
        d->link = nullptr;
        if (mapped && *d->alive) {
            Q_EMIT portMappingChanged();
        }
    }
    d->lastSeq.clear();
    d->queue.clear();
    d->deferredEvents = 0;
    d->players.clear();
    d->localPlayer = 0;
    d->eventHandle = 0;
    d->state = ServiceState::Uninitialized;
}

quint16 NetworkSessionService::hostingPort() const {
    return d->link ? d->link->hostingPort() : 0;
}

PortMappingState NetworkSessionService::portMapping() const {
    return d->link ? d->link->portMapping() : PortMappingState{};
}

} // namespace session
