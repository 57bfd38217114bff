#include "session/tcp/JoinedRoom.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/member/RoomMember.h"
#include "session/net/RoomListener.h"
#include "session/tcp/HostedRoom.h"
#include "session/tcp/TcpTransport.h"

namespace session {

JoinedRoomLink::JoinedRoomLink(TcpTransport& transport, QObject* parent) : RoomLink(parent), m_transport(transport) {}

JoinedRoomLink::~JoinedRoomLink() {
    leave();
}

void JoinedRoomLink::open(const RoomDescription& room, OpenMode mode) {
    if (mode != OpenMode::Join) {
        Q_EMIT openFailed(Error{kErrorInvalidParameter, QStringLiteral("unknown open mode")});
        return;
    }
    if (room.hostAddress.isEmpty() || room.hostPort == 0) {
        Q_EMIT openFailed(
            Error{kErrorInvalidParameter, QStringLiteral("the room description does not say where the room is")});
        return;
    }
    m_room = room;
    auto* member = new RoomMember(m_transport.config(), parent());
    m_member = member;
    connect(member, &RoomMember::opened, this, &JoinedRoomLink::onOpened);
    connect(member, &RoomMember::openFailed, this, &RoomLink::openFailed);
    member->open(room.hostAddress, room.hostPort, room.applicationId, room.password);
}

void JoinedRoomLink::onOpened() {
    RoomMember* member = m_member;
    member->disconnect(this);
    connect(member, &RoomMember::playerCreated, this, &RoomLink::playerCreated);
    connect(member, &RoomMember::playerRefused, this, &RoomLink::playerRefused);
    connect(member, &RoomMember::playerJoined, this, [this](PlayerId id, const QString& name) {
        if (m_member && m_member->playerId() != 0) { // one in flight after the player went is stale
            Q_EMIT playerJoined(id, name);
        }
    });
    connect(member, &RoomMember::playerLeft, this, &RoomLink::playerLeft);
    connect(member, &RoomMember::delivered, this, &RoomLink::delivered);
    connect(member, &RoomMember::historyReceived, this, &RoomLink::historyReceived);
    connect(member, &RoomMember::filePartReceived, this, &RoomLink::filePartReceived);
    connect(member, &RoomMember::unconfirmed, this, &RoomLink::undelivered);
    connect(member, &RoomMember::hostGone, this, &JoinedRoomLink::onHostGone);
    connect(member, &RoomMember::moveFailed, this, &JoinedRoomLink::tryNextCandidate);
    connect(member, &RoomMember::moved, this, [this] {
        m_election.reset();
        giveBackLinesToOldHost();
    });
    connect(member, &RoomMember::lost, this, &JoinedRoomLink::onLost);
    Q_EMIT opened();
}

void JoinedRoomLink::setHistoryObeysSysclear(bool obeys) {
    if (m_member) {
        m_member->setHistoryObeysSysclear(obeys);
    }
}

void JoinedRoomLink::createPlayer(const QString& name, const QString& secondName) {
    if (!m_member) {
        Q_EMIT playerRefused(Error{kErrorConnectionLost, QStringLiteral("the connection to the room's host is gone")});
        return;
    }
    if (m_member->numericAttribute() == kMigratingRoomAttribute && !m_standby) {
        auto* standby = new RoomListener(this);
        if (standby->listenInRange(m_transport.config())) {
            m_standby = standby;
        } else {
            // Without it this copy cannot take the room over; the room goes on without that.
            qCDebug(lcSession) << "no standby port:" << standby->errorString();
            delete standby;
        }
    }
    m_member->createPlayer(name, secondName, m_standby ? m_standby->serverPort() : 0);
}

void JoinedRoomLink::destroyPlayer() {
    if (m_member) {
        m_member->destroyPlayer();
    }
    // Without a player this copy is no candidate to take the room over.
    delete m_standby;
}

Status JoinedRoomLink::send(PlayerId to, const QByteArray& payload) {
    if (!m_member) {
        return failure(kErrorConnectionLost, QStringLiteral("the connection to the room's host is gone"));
    }
    return m_member->send(to, payload);
}

Status JoinedRoomLink::sendFilePart(PlayerId to, const QByteArray& part) {
    if (!m_member) {
        return failure(kErrorNoRoom, QStringLiteral("no room is open"));
    }
    return m_member->sendFilePart(to, part);
}

void JoinedRoomLink::leave() {
    if (m_member) {
        m_member->disconnect(this);
        m_member->leave();
        m_member = nullptr;
    }
    delete m_standby;
    m_election.reset();
    m_givenBack.clear();
}

RoomKeyInfo JoinedRoomLink::roomKey() const {
    if (!m_member || !m_member->roomKey()) {
        return {};
    }
    return RoomKeyInfo{m_member->roomName(), secure::toBytes(*m_member->roomKey()), {}};
}

void JoinedRoomLink::onLost() {
    // Nobody is to reach this copy any more: a standby port left open would take
    // connections and never answer them.
    delete m_standby;
    Q_EMIT ended();
    // The lines the host never acknowledged go back to the user, oldest first.
    if (m_member) {
        for (RoomMember::PendingSend& pending : m_member->takeUnacknowledged()) {
            if (!m_givenBack.contains(pending.seq)) { // to the old host: given back when it was seen leaving
                Q_EMIT undelivered(pending.to, pending.payload);
            }
        }
    }
}

void JoinedRoomLink::onHostGone(PlayerId oldHost) {
    if (!m_member) {
        return;
    }
    // The only notice anybody sees: every copy shows it itself.
    Q_EMIT playerLeft(oldHost);
    m_oldHost = oldHost;
    m_election.emplace(m_member->roomPlayers(), oldHost, m_member->playerId());
    tryNextCandidate();
}

void JoinedRoomLink::giveBackLinesToOldHost() {
    // It stays queued (the next host drops it), keeping the seqs without a gap. (When
    // the room ends instead, every line comes back in order with the others.) A host
    // whose player left before its copy closed the room is known by no id any more
    // (0): a line to everybody is not one to it, and goes on to the next host.
    if (!m_member || m_member->playerId() == 0 || m_oldHost == 0) {
        return;
    }
    for (const RoomMember::PendingSend& pending : m_member->unacknowledged()) {
        if (pending.to == m_oldHost && !m_givenBack.contains(pending.seq)) {
            m_givenBack.insert(pending.seq);
            Q_EMIT undelivered(pending.to, pending.payload);
        }
    }
}

void JoinedRoomLink::tryNextCandidate() {
    if (!m_election || !m_member) {
        return;
    }
    switch (m_election->next()) {
    case Election::Step::Try:
        qCDebug(lcSession) << "trying player" << m_election->candidate().id << "as the room's new host";
        m_member->moveTo(m_election->candidate());
        return;
    case Election::Step::BecomeHost:
        if (takeOver()) {
            return;
        }
        [[fallthrough]];
    case Election::Step::GiveUp:
        m_election.reset();
        m_member->giveUp();
        return;
    }
}

bool JoinedRoomLink::takeOver() {
    RoomMember* member = m_member;
    RoomSnapshot snapshot = member->snapshot(member->playerId());
    snapshot.localSeq = member->lastSeq();
    auto* next = new HostedRoomLink(m_transport, parent());
    // What the old host had not acknowledged goes again; whoever has it already drops it.
    QList<HostedRoomLink::Resend> resends;
    for (const RoomMember::PendingSend& pending : member->unacknowledged()) {
        resends.append({pending.to, pending.seq, pending.payload});
    }
    const Status started = next->takeOver(
        RoomHost::Settings{m_room.applicationId, member->roomName(), member->password(), member->numericAttribute()},
        snapshot, m_standby, resends, [this] {
            m_standby = nullptr; // the host's now
            m_election.reset();
            giveBackLinesToOldHost();
        });
    if (!started) {
        qCDebug(lcSession) << "cannot take the room over:" << started.error().description;
        delete next;
        return false;
    }
    qCDebug(lcSession) << "hosting the room on port" << next->hostingPort() << "after its host went";
    member->disconnect(this);
    member->abandon();
    m_member = nullptr;
    Q_EMIT handedOver(next);
    return true;
}

} // namespace session
