#include "session/tcp/HostedRoom.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/member/RoomMember.h"
#include "session/net/HostEventDispatcher.h"
#include "session/net/PortMapping.h"
#include "session/tcp/TcpTransport.h"
#include "session/wire/WireBuffer.h"

#include <QMutex>
#include <QSet>
#include <QThread>
#include <optional>

namespace session {

// What the room host hands to this copy's player, in the order it happened.
struct HostEvent {
    enum class Kind { Joined, Left, Resumed, Delivered, FilePart } kind = Kind::Delivered;
    PlayerId from = 0; // the player who joined or left, or the sender
    PlayerId to = 0;
    quint32 seq = 0;
    QByteArray payload; // a file part's
    QString name;
    // A delivered line, in the batch's lines (HostInbox::pushLine).
    qsizetype lineAt = 0;
    qsizetype lineBytes = 0;
};

// Carries the host's events from the host's thread to the link's. The host adds to it
// under a lock and posts one call to take everything waiting only when it was empty,
// so a busy room costs one wake-up per batch, not one per line.
//
// Delivered lines are copied into one buffer per batch, which the two threads swap
// back and forth: a line copied on its own was allocated on the host's thread and
// freed on this one, and every such free waited for the host thread's allocator.
class HostInbox {
public:
    explicit HostInbox(std::function<void()> post) : m_post(std::move(post)) {}

    void push(HostEvent event) {
        // Posting under the lock: once detach() has returned, nothing is posted any more.
        const QMutexLocker lock(&m_mutex);
        if (m_detached) {
            return;
        }
        add(std::move(event));
    }
    void pushLine(PlayerId from, PlayerId to, quint32 seq, QByteArrayView line) {
        const QMutexLocker lock(&m_mutex);
        if (m_detached) {
            return;
        }
        HostEvent event{HostEvent::Kind::Delivered, from, to, seq, {}, {}, m_lines.size(), line.size()};
        m_lines.append(line);
        add(std::move(event));
    }
    // Swaps the waiting events and their lines into `into` and `lines`, which are
    // emptied first: they keep their capacity, so a busy room does not grow new ones
    // for every batch.
    void take(std::vector<HostEvent>& into, QByteArray& lines) {
        into.clear();
        lines.resize(0);
        if (lines.capacity() > kKeptLineBytes) {
            lines = QByteArray();
        }
        const QMutexLocker lock(&m_mutex);
        m_events.swap(into);
        m_lines.swap(lines);
    }
    // Comings and goings up to now are in the list of players just read.
    void forgetPending() {
        const QMutexLocker lock(&m_mutex);
        m_events.clear();
        m_lines.resize(0);
    }
    void detach() {
        const QMutexLocker lock(&m_mutex);
        m_detached = true;
        m_events.clear();
        m_lines = QByteArray();
    }

private:
    static constexpr qsizetype kKeptLineBytes = 1024 * 1024;

    void add(HostEvent event) {
        m_events.push_back(std::move(event));
        if (m_events.size() == 1) {
            m_post();
        }
    }

    QMutex m_mutex;
    std::vector<HostEvent> m_events;
    QByteArray m_lines;
    bool m_detached = false;
    std::function<void()> m_post;
};

namespace {

// Runs `call` with the host on the host's thread and waits for its result.
template <typename Call>
auto onHostThread(RoomHost* host, Call call) {
    std::optional<decltype(call(*host))> value;
    QMetaObject::invokeMethod(
        host, [&] { value.emplace(call(*host)); }, Qt::BlockingQueuedConnection);
    return std::move(*value);
}

} // namespace

HostedRoomLink::HostedRoomLink(TcpTransport& transport, QObject* parent) : RoomLink(parent), m_transport(transport) {
    m_loneTimer.setSingleShot(true);
    connect(&m_loneTimer, &QTimer::timeout, this, &HostedRoomLink::lookForTheRoomElsewhere);
    connect(&m_watch, &QTimer::timeout, this, &HostedRoomLink::onWatchTick);
}

HostedRoomLink::~HostedRoomLink() {
    leave();
}

void HostedRoomLink::open(const RoomDescription& room, OpenMode mode) {
    if (mode != OpenMode::CreateAndHost) {
        Q_EMIT openFailed(Error{kErrorInvalidParameter, QStringLiteral("unknown open mode")});
        return;
    }
    m_settings = RoomHost::Settings{room.applicationId, room.name, room.password, room.numericAttribute,
                                    secure::creatorAuthority(room.name, &m_keyNotice)};
    auto* host = new RoomHost(m_transport.config(), m_settings, this);
    const Status started = host->start(m_transport.onLan());
    if (!started) {
        host->shutDown();
        Q_EMIT openFailed(started.error());
        return;
    }
    attach(host);
    Q_EMIT opened();
}

Status HostedRoomLink::takeOver(const RoomHost::Settings& settings, const RoomSnapshot& snapshot, RoomListener* standby,
                                const QList<Resend>& resends, const std::function<void()>& started) {
    m_settings = settings;
    auto* host = new RoomHost(m_transport.config(), settings, snapshot, this);
    m_settings.identity = host->identity();
    const Status start = host->start(false, standby);
    if (!start) {
        host->shutDown();
        return start;
    }
    started();
    for (const Resend& resend : resends) {
        host->resendFromLocal(resend.to, resend.seq, resend.payload);
    }
    // The members look for the room's new host in the election's order, each
    // candidate before this copy costing them up to successorTimeout.
    QSet<PlayerId> members;
    int triedFirst = 0;
    bool beforeLocal = true;
    for (const RoomPlayer& player : snapshot.players) {
        if (player.id == snapshot.localPlayer) {
            beforeLocal = false;
        } else {
            members.insert(player.id);
            triedFirst += beforeLocal && player.endpoint.port != 0 ? 1 : 0;
            if (player.endpoint.port != 0) {
                m_elsewhere.append(player.endpoint);
            }
        }
    }
    if (!members.isEmpty()) {
        const SessionConfig& config = m_transport.config();
        m_unconfirmed = true;
        for (const Resend& resend : resends) {
            if (resend.to == kEveryone || members.contains(resend.to)) { // not those to the old host
                m_held.append({resend.to, resend.payload});
            }
        }
        m_loneTimer.start(config.successorDelay + config.successorTimeout * (triedFirst + 1));
    }
    attach(host);
    return {};
}

void HostedRoomLink::attach(RoomHost* host) {
    // The host's signals are taken where they are raised, on the host's thread, and
    // go through the inbox.
    auto inbox = std::make_shared<HostInbox>(
        [this] { QMetaObject::invokeMethod(this, &HostedRoomLink::takeHostEvents, Qt::QueuedConnection); });
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
        host, &RoomHost::playerResumed, host,
        [inbox](PlayerId id) {
            inbox->push({HostEvent::Kind::Resumed, id, 0, 0, {}, {}});
        },
        Qt::DirectConnection);
    connect(
        host, &RoomHost::deliveredLocally, host,
        [inbox](PlayerId from, PlayerId to, quint32 seq, QByteArrayView payload) {
            inbox->pushLine(from, to, seq, payload);
        },
        Qt::DirectConnection);
    connect(
        host, &RoomHost::filePartLocally, host,
        [inbox](PlayerId from, const QByteArray& part) {
            inbox->push({HostEvent::Kind::FilePart, from, 0, 0, part, {}});
        },
        Qt::DirectConnection);
    m_inbox = inbox;
    m_host = host;
    m_port = host->port();
    m_roomSecret = host->roomSecret();
    if (m_settings.numericAttribute == kMigratingRoomAttribute) {
        m_watch.start(m_transport.config().heartbeatInterval / 2);
        m_lastTick.start();
    }
    host->setParent(nullptr);
    auto* thread = new QThread;
    thread->setObjectName(QStringLiteral("room host"));
    if (std::unique_ptr<HostEventDispatcher> loop = HostEventDispatcher::create()) {
        thread->setEventDispatcher(loop.release());
    }
    host->moveToThread(thread);
    // Once its goodbyes are out the host deletes itself, and its thread ends.
    connect(host, &QObject::destroyed, thread, &QThread::quit, Qt::DirectConnection);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_transport.adoptHostThread(thread);
    thread->start();
    // A room hosted here, from the start or after taking it over, asks the router to
    // forward its port where the connection calls for it.
    if (m_transport.mapsPorts()) {
        const SessionConfig& config = m_transport.config();
        m_mapping = std::make_unique<PortMapping>();
        connect(m_mapping.get(), &PortMapping::changed, this, &RoomLink::portMappingChanged);
        m_mapping->start(PortMapping::Request{m_port, config.firstHostPort, config.lastHostPort,
                                              config.routerDiscoveryTime, config.portMappingLease});
    }
}

void HostedRoomLink::createPlayer(const QString& name, const QString& secondName) {
    Q_UNUSED(secondName);
    if (!m_host) {
        Q_EMIT playerRefused(Error{kErrorNoRoom, QStringLiteral("no room is open")});
        return;
    }
    const std::shared_ptr<HostInbox> inbox = m_inbox;
    auto [id, players] = onHostThread(m_host, [&inbox, &name](RoomHost& host) {
        const Result<PlayerId> added = host.addLocalPlayer(name);
        if (added) {
            inbox->forgetPending(); // their outcome is in the list below
        }
        return std::pair(added, host.players());
    });
    if (!id) {
        Q_EMIT playerRefused(id.error());
        return;
    }
    Q_EMIT playerCreated(*id, players);
}

void HostedRoomLink::destroyPlayer() {
    if (m_host) {
        QMetaObject::invokeMethod(m_host, &RoomHost::removeLocalPlayer);
    }
}

Status HostedRoomLink::send(PlayerId to, const QByteArray& payload) {
    if (!m_host) {
        return failure(kErrorNoRoom, QStringLiteral("no room is open"));
    }
    if (m_watch.isActive()) {
        onWatchTick(); // a line typed the moment this copy runs again is held as well
    }
    QMetaObject::invokeMethod(m_host, [host = m_host.data(), to, payload] { host->sendFromLocal(to, payload); });
    if (m_unconfirmed || m_asking > 0) {
        m_held.append({to, payload});
    }
    return {};
}

Status HostedRoomLink::sendFilePart(PlayerId to, const QByteArray& part) {
    if (!m_host) {
        return failure(kErrorNoRoom, QStringLiteral("no room is open"));
    }
    QMetaObject::invokeMethod(m_host, [host = m_host.data(), to, part] { host->sendFilePartFromLocal(to, part); });
    return {};
}

void HostedRoomLink::setHistoryObeysSysclear(bool obeys) {
    if (m_host) {
        // In order with the lines the local player sends.
        QMetaObject::invokeMethod(m_host, [host = m_host.data(), obeys] { host->setHistoryObeysSysclear(obeys); });
    }
}

void HostedRoomLink::taken(qint64 bytes) {
    if (m_host) {
        m_host->localTaken(bytes);
    }
}

void HostedRoomLink::leave() {
    m_loneTimer.stop();
    m_watch.stop();
    m_unconfirmed = false;
    m_held.clear();
    stopHosting();
}

void HostedRoomLink::stopHosting() {
    if (m_inbox) {
        m_inbox->detach();
        m_inbox.reset();
    }
    if (m_host) {
        // The room stops listening and says goodbye before this returns.
        onHostThread(m_host, [](RoomHost& host) {
            host.shutDown();
            return true;
        });
        m_host = nullptr;
    }
    m_port = 0;
    if (m_mapping) {
        // On the way out of the program too: a short wait for the router, so that the
        // forwarding ends with the room rather than with its lease.
        m_mapping->disconnect(this);
        m_mapping->release(PortMapping::kReleaseWait);
        m_mapping.reset();
    }
}

void HostedRoomLink::confirm() {
    m_loneTimer.stop();
    m_unconfirmed = false;
    m_held.clear();
}

void HostedRoomLink::onWatchTick() {
    const qint64 since = m_lastTick.restart();
    if (since < m_transport.config().heartbeatTimeout.count() || !m_host || m_unconfirmed || m_asking > 0) {
        return;
    }
    qCDebug(lcSession) << "this copy stood still for" << since << "ms; is the room hosted elsewhere now?";
    // The members' endpoints, as the room has them now.
    m_elsewhere = onHostThread(m_host, [](RoomHost& host) {
        QList<Endpoint> endpoints;
        for (const std::unique_ptr<HostedPlayer>& player : host.roomPlayers()) {
            WireReader in(player->succession);
            const std::optional<RoomPlayer> fields = readSuccession(in, player->id, player->name);
            if (!player->local && fields && fields->endpoint.port != 0 && !fields->endpoint.isHost()) {
                endpoints.append(fields->endpoint);
            }
        }
        return endpoints;
    });
    lookForTheRoomElsewhere();
}

void HostedRoomLink::lookForTheRoomElsewhere() {
    if (m_asking > 0 || !m_host) {
        return;
    }
    if (m_elsewhere.isEmpty()) {
        if (m_unconfirmed) {
            m_loneTimer.start(); // nowhere to ask; a member may still come
        }
        return;
    }
    const SessionConfig& config = m_transport.config();
    for (const Endpoint& endpoint : std::as_const(m_elsewhere)) {
        // A host there must prove the room's secret, which only the room's members have.
        auto* probe = new RoomMember(config, this);
        ++m_asking;
        // A member's standby port takes a connection and says nothing until its copy
        // hosts the room: silence is a no.
        auto* silence = new QTimer(probe);
        silence->setSingleShot(true);
        const auto done = [this, probe, silence](bool hosted) {
            silence->stop();
            probe->disconnect(this);
            probe->leave();
            --m_asking;
            if (hosted) {
                endRoomHostedElsewhere();
            } else if (m_asking == 0 && m_unconfirmed) {
                m_loneTimer.start();
            } else if (m_asking == 0) {
                m_held.clear(); // after a standstill: the room is still here
            }
        };
        connect(probe, &RoomMember::opened, this, [done] { done(true); });
        connect(probe, &RoomMember::openFailed, this, [done] { done(false); });
        connect(silence, &QTimer::timeout, this, [done] { done(false); });
        silence->start(config.connectTimeout);
        // And the room's key: a copy of another key is not this room's host.
        probe->expectRoomKey(m_settings.identity->chain().roomKey);
        probe->open(endpoint.address.toString(), endpoint.port, m_settings.applicationId, m_settings.password,
                    m_roomSecret);
    }
}

RoomKeyInfo HostedRoomLink::roomKey() const {
    if (!m_settings.identity) {
        return {};
    }
    return RoomKeyInfo{m_settings.roomName, secure::toBytes(m_settings.identity->chain().roomKey), m_keyNotice};
}

void HostedRoomLink::endRoomHostedElsewhere() {
    if (!m_host) {
        return;
    }
    qCDebug(lcSession) << "the room is hosted elsewhere now; ending it here";
    const bool mapped = m_mapping != nullptr;
    stopHosting();
    m_watch.stop();
    m_loneTimer.stop();
    m_unconfirmed = false;
    const QList<std::pair<PlayerId, QByteArray>> held = std::exchange(m_held, {});
    Q_EMIT ended();
    for (const auto& [to, payload] : held) {
        Q_EMIT undelivered(to, payload);
    }
    if (mapped) {
        Q_EMIT portMappingChanged();
    }
}

PortMappingState HostedRoomLink::portMapping() const {
    return m_mapping ? m_mapping->state() : PortMappingState{};
}

void HostedRoomLink::takeHostEvents() {
    if (!m_inbox) {
        return;
    }
    // A handler that runs an event loop may come back here: each round has its own list.
    std::vector<HostEvent> events = std::exchange(m_spareEvents, {});
    QByteArray lines = std::exchange(m_spareLines, {});
    m_inbox->take(events, lines);
    for (HostEvent& event : events) {
        switch (event.kind) {
        case HostEvent::Kind::Joined:
            confirm();
            Q_EMIT playerJoined(event.from, event.name);
            break;
        case HostEvent::Kind::Resumed:
            confirm();
            break;
        case HostEvent::Kind::Left:
            Q_EMIT playerLeft(event.from);
            break;
        case HostEvent::Kind::Delivered:
            Q_EMIT delivered(event.from, event.to, event.seq, lines.sliced(event.lineAt, event.lineBytes));
            break;
        case HostEvent::Kind::FilePart:
            if (m_host) {
                m_host->localFilePartTaken(event.payload.size());
            }
            Q_EMIT filePartReceived(event.from, event.payload);
            break;
        }
        if (!m_inbox) {
            return; // left from inside a handler
        }
    }
    events.clear();
    m_spareEvents = std::move(events);
    m_spareLines = std::move(lines);
}

} // namespace session
