#pragma once

#include "session/RoomTransport.h"
#include "session/wire/Succession.h"

#include <QPointer>
#include <QSet>
#include <optional>

namespace session {

class RoomListener;
class RoomMember;
class TcpTransport;

// A room hosted by another copy, joined over TCP: the member's link to the host (which
// resumes after a break), and the room's succession. In a room that outlives its host,
// this copy keeps a standby listener; when the host's copy goes, it tries the room's
// members in the election's order as the new host, and when its own turn comes it
// takes the room over and hands the room on to a HostedRoomLink.
class JoinedRoomLink : public RoomLink {
    Q_OBJECT

public:
    JoinedRoomLink(TcpTransport& transport, QObject* parent);
    ~JoinedRoomLink() override;

    void open(const RoomDescription& room, OpenMode mode) override;
    void createPlayer(const QString& name, const QString& secondName) override;
    bool answersAtOnce() const override { return false; }
    void destroyPlayer() override;
    bool reportsWithoutPlayer() const override { return false; }
    Status sendFilePart(PlayerId to, const QByteArray& part) override;
    bool carriesFiles() const override { return true; }
    Status send(PlayerId to, const QByteArray& payload) override;
    void setHistoryObeysSysclear(bool obeys) override;
    void leave() override;
    RoomKeyInfo roomKey() const override;

private:
    void onOpened();
    void onLost();
    // The room's host is gone; try the candidates in turn, or host the room.
    void onHostGone(PlayerId oldHost);
    void tryNextCandidate();
    bool takeOver();
    // A line to the old host's player that it had not acknowledged reaches nobody now.
    void giveBackLinesToOldHost();

    TcpTransport& m_transport;
    // Not a child: once told to leave, it says goodbye and deletes itself, which may be
    // after this link is gone.
    QPointer<RoomMember> m_member;
    RoomDescription m_room;
    // A member of a room that outlives its host listens here, should the room move to
    // this copy; nothing is accepted before it does.
    QPointer<RoomListener> m_standby;
    std::optional<Election> m_election;
    PlayerId m_oldHost = 0;
    // The seqs of lines to an old host that have come back to the user already.
    QSet<quint32> m_givenBack;
};

} // namespace session
