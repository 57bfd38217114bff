#pragma once

#include "session/SessionErrors.h"
#include "session/SessionTypes.h"
#include "session/net/PortMapping.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <chrono>

namespace session {

// What the session service needs from a room, whatever carries it: a room hosted by a
// copy over TCP (tcp/), and any other way of carrying one. The service keeps the local
// player's queue, the player list and the events; a link only opens the room, runs the
// local player in it and reports what happens, in order.
//
// Every call runs on the thread that owns the link, and every signal is raised there.
// A signal may be raised inside a call (a room hosted here answers at once); none is
// raised after leave().
// The key of a room as a link knows it: the key the host proved (or, hosting, its own),
// the room's name, and a sentence for the user about the keys on disk (a damaged room
// key file made anew), empty when there is nothing to tell. An empty key: the room has
// none (a room on a NATS cluster).
struct RoomKeyInfo {
    QString roomName;
    QByteArray key;
    QString notice;
};

class RoomLink : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~RoomLink() override = default;

    // Hosts a new room (CreateAndHost) or joins a listed one (Join): opened() or
    // openFailed() follows.
    virtual void open(const RoomDescription& room, OpenMode mode) = 0;

    // Creates this copy's player: playerCreated() or playerRefused() follows. A link that
    // answers inside the call says so here; the service then need not wait for it.
    virtual void createPlayer(const QString& name, const QString& secondName) = 0;
    virtual bool answersAtOnce() const = 0;
    virtual void destroyPlayer() = 0;
    // Whether comings and goings are still reported once the local player is destroyed
    // (a room hosted here knows them; a member hears of them only while it has a player).
    virtual bool reportsWithoutPlayer() const = 0;

    // Queues a message of the local player for `to` (kEveryone: every other member). The
    // room delivers it in order, once, or hands it back by undelivered().
    virtual Status send(PlayerId to, const QByteArray& payload) = 0;
    // A file part for `to` (see SessionService::sendFilePart()); a room that carries none
    // fails. Best effort: the part may be lost, never duplicated.
    virtual Status sendFilePart(PlayerId to, const QByteArray& part) {
        Q_UNUSED(to);
        Q_UNUSED(part);
        return failure(kErrorNoRoom, QStringLiteral("this room carries no files"));
    }
    virtual bool carriesFiles() const { return false; }
    // The local player has taken a delivered message of `bytes` bytes: a room that holds
    // its senders back for a slow reader may go on.
    virtual void taken(qint64 bytes) { Q_UNUSED(bytes); }
    // Whether this copy obeys "@sysclear;" (its user allowed scripts): in a room it
    // hosts, or may host after a takeover, such a line then empties the room's history.
    virtual void setHistoryObeysSysclear(bool obeys) { Q_UNUSED(obeys); }

    // Leaves the room at once (what the room needs to hear of it goes out before this
    // returns, or shortly after without the link) and releases what it holds. The link
    // may be deleted right after.
    virtual void leave() = 0;

    // The TCP port of a room this copy hosts, and the router's forwarding of it.
    virtual quint16 hostingPort() const { return 0; }
    virtual PortMappingState portMapping() const { return {}; }
    // Once opened.
    virtual RoomKeyInfo roomKey() const { return {}; }

Q_SIGNALS:
    void opened();
    void openFailed(const session::Error& error);
    // The local player is in the room; `roster` is every member in joining order, the
    // local player included.
    void playerCreated(session::PlayerId id, const QList<session::PlayerEntry>& roster);
    void playerRefused(const session::Error& error);
    void playerJoined(session::PlayerId id, const QString& name);
    void playerLeft(session::PlayerId id);
    // A message for the local player, with its sender's seq (per sender, seqs grow; one
    // not above the last is a message the service has had and drops).
    void delivered(session::PlayerId from, session::PlayerId to, quint32 seq, const QByteArray& payload);
    // Right after playerCreated(), before any later arrival: the room's last public
    // lines, said before the local player came, oldest first.
    void historyReceived(const QList<session::HistoryLine>& lines);
    // A file part another player sent to the local player.
    void filePartReceived(session::PlayerId from, const QByteArray& part);
    // `count` records of the room were gone before this copy could have them (the room
    // keeps only so many, or for so long, and this copy was away meanwhile): what they
    // held is lost to the local player, between what was delivered before and what
    // follows. Lines, private lines to others and notices alike are counted.
    void recordsMissed(quint64 count);
    // A message of the local player's own that reaches nobody, in the order sent.
    void undelivered(session::PlayerId to, const QByteArray& payload);
    // The room goes on over `next`, which this link has opened and set up (this copy took
    // the room over); this link is done and the service deletes it.
    void handedOver(session::RoomLink* next);
    // The room is gone for this copy; what it had not delivered follows as undelivered().
    void ended();
    void portMappingChanged();
};

// One listing of rooms: wait for finished(), then read rooms().
class RoomListing : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~RoomListing() override = default;

    virtual bool isFinished() const = 0;
    virtual const QList<RoomDescription>& rooms() const = 0;

Q_SIGNALS:
    void finished();
};

// A way of carrying rooms: lists them and makes the links that open them.
class RoomTransport {
public:
    virtual ~RoomTransport() = default;

    // Starts a listing for `query` (timeoutMs 0: the transport's default). The caller
    // waits for it at most `limit` (set here), and owns it.
    virtual RoomListing* listRooms(const RoomDescription& query, int timeoutMs, std::chrono::milliseconds& limit,
                                   QObject* parent) = 0;
    // A link that opens a room in `mode`; nullptr for a mode this transport has not.
    virtual RoomLink* newLink(OpenMode mode, QObject* parent) = 0;
};

} // namespace session
