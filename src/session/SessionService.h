#pragma once

#include "session/SessionErrors.h"
#include "session/SessionTypes.h"
#include "session/net/PortMapping.h"
#include "session/wire/Message.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <optional>

namespace session {

// A message taken from the local player's queue.
struct ReceivedMessage {
    PlayerId from = 0; // kSystemSender for join and leave notices, and for lost records
    PlayerId to = 0;   // the local player, or kEveryone for a public message
    Message message;
    // A message of the local player's own that could not be delivered in the end: the
    // room ended, or the service gave up reconnecting. `from` is the local player, `to`
    // the receiver it was sent to, `message` exactly what was sent. Such messages are
    // raised as events like any other, in the order they were sent.
    bool undelivered = false;
    // A line said in the room before the local player came (the room's history):
    // `from` its author, who may have left, so its name is here; `to` kEveryone;
    // `message` a public chat line whose text is what the log shows, its opening
    // command taken off. They come right after the player is created, before any
    // arrival, oldest first; nothing in them is to be run or played.
    bool history = false;
    QString historyName{};
};

// Asks the user for the host (host or host:port) the Internet connection talks to.
// Returning nothing cancels, and the initialise fails.
using AddressPrompt = std::function<std::optional<QString>()>;

// A room's key as a join met it, for the caller to judge before its player is created
// (docs/protocol.md, "Room identity").
struct RoomKeySeen {
    QString roomName;
    QString fingerprint;       // of the key the room's host proved
    QString pinnedFingerprint; // of the key an earlier join of this room met; empty: none
    bool changed() const { return !pinnedFingerprint.isEmpty() && pinnedFingerprint != fingerprint; }
};
// True goes on (and the key is remembered for the room's name); false cancels the join
// (openRoom fails with kErrorCancelled) and nothing is remembered.
using RoomKeyCheck = std::function<bool(const RoomKeySeen&)>;

// The network session service: connections, rooms, players and messages.
//
// Every call runs on the thread that owns the object (the user-interface thread).
// Calls that wait for the network (listing rooms, opening a room, creating a player
// when joining) run a local event loop with a time-out.
//
// Events: registerEventReceiver() returns a handle; a local player created with that
// handle makes the service raise one event per message that arrives for it. Events
// are delivered later, on the receiver's thread (queued), never inside a service
// call, and never after the receiver is unregistered, destroyed, or the service is
// closed or destroyed. Each receive() takes exactly one message.
class SessionService : public QObject {
    Q_OBJECT

public:
    using EventCallback = std::function<void(qint32 eventId)>;

    explicit SessionService(QObject* parent = nullptr) : QObject(parent) {}
    ~SessionService() override = default;

    // The connections this service offers, LAN first.
    virtual Result<OneBasedList<Connection>> listConnections() = 0;

    // Makes `connection` the one used for listing and opening rooms. A second call
    // fails with kErrorAlreadyInitialized.
    virtual Status initialize(const Connection& connection) = 0;

    // Rooms of `query.applicationId` that accept players and that `query.password`
    // may see, in the order they were found. timeoutMs 0 means the service's default.
    virtual Result<OneBasedList<RoomDescription>> listRooms(const RoomDescription& query, int timeoutMs) = 0;

    // Hosts a new room (CreateAndHost) or joins a listed one (Join, checking the
    // description's password).
    virtual Status openRoom(const RoomDescription& room, OpenMode mode) = 0;

    virtual Result<PlayerId> createLocalPlayer(const QString& name, const QString& secondName, qint32 eventHandle,
                                               qint32 flags) = 0;
    virtual Status destroyPlayer(PlayerId id) = 0;

    // Every member of the room in joining order, the local player included.
    virtual Result<OneBasedList<PlayerEntry>> listPlayers() = 0;
    virtual Result<QString> playerName(PlayerId id) = 0;

    virtual Result<int> waitingMessageCount(PlayerId localPlayer) = 0;
    virtual Result<ReceivedMessage> receive() = 0;

    // Guaranteed, ordered delivery to `to` (kEveryone: every other member), never back
    // to the sender. An id that is not in the room fails with kErrorInvalidPlayer.
    virtual Status send(PlayerId from, PlayerId to, const Message& message) = 0;

    // Files travel beside the messages, in parts (docs/protocol.md, "Files"): a part goes
    // to one player of the room and leaves after the messages queued before it, but chat
    // lines sent later may overtake it. A part is not kept: it may be lost when the
    // connection breaks or the room moves, and the transfer asks for it again. At most
    // kMaxFilePartBytes; fails while this copy is in no room, for an id that is not in
    // it, for the local player itself, and in a room that carries no files.
    virtual Status sendFilePart(PlayerId to, const QByteArray& part) {
        Q_UNUSED(to);
        Q_UNUSED(part);
        return failure(kErrorNoRoom, QStringLiteral("this room carries no files"));
    }
    // Whether the room this copy is in carries file parts.
    virtual bool carriesFiles() const { return false; }

    // Whether this copy obeys "@sysclear;" (its user allowed scripts): a room it hosts
    // then empties the history it gives newcomers on such a line.
    virtual void setHistoryObeysSysclear(bool obeys) { Q_UNUSED(obeys); }

    // The TCP port this copy's room listens on while it hosts one, 0 otherwise.
    virtual quint16 hostingPort() const { return 0; }
    // How others reach the room this copy hosts: "address:port" for every address of
    // this machine another machine can use, private LAN addresses first (see
    // net/RoomAddress.h); empty while it hosts none.
    QStringList hostingAddresses() const;
    // Whether the router forwards the hosted room's port from its public address, as
    // far as known; portMappingChanged() tells when that changes.
    virtual PortMappingState portMapping() const { return {}; }

    // The short fingerprint of the key of the room this copy is in (hosts or joined),
    // as users compare it; empty while in none, or in a room without a key.
    virtual QString roomFingerprint() const { return {}; }
    // The fingerprint of the key remembered for a room name from an earlier join; empty
    // when none (no join yet, or a transport whose rooms have no key).
    virtual QString rememberedFingerprint(const QString& roomName) const {
        Q_UNUSED(roomName);
        return {};
    }
    // What the user should be told about the keys on disk since the last call (a damaged
    // key or pins file made anew or read in part), as sentences; empty when nothing.
    virtual QString takeKeyNotice() { return {}; }

    // Leaves the room and releases every resource; a hosting copy stops listening and
    // answering discovery at once. Safe to call twice.
    virtual void close() = 0;

    // Only the Internet connection asks; the LAN connection never calls it.
    void setAddressPrompt(AddressPrompt prompt) { m_addressPrompt = std::move(prompt); }
    // Asks the NATS connection's servers: "nats://host:port", several separated by commas.
    void setServersPrompt(AddressPrompt prompt) { m_serversPrompt = std::move(prompt); }

    // Asked at each join once the host has proved the room's key. Without one, a join
    // goes on unless the key differs from the one remembered for the room's name.
    void setRoomKeyCheck(RoomKeyCheck check) { m_roomKeyCheck = std::move(check); }

    // `context` bounds the registration's life: no event reaches the callback once
    // the context object is gone.
    qint32 registerEventReceiver(QObject* context, EventCallback callback);
    void unregisterEventReceiver(qint32 handle);

Q_SIGNALS:
    void portMappingChanged();
    // The room this copy was in is gone for it: its host went and neither another
    // member nor this copy could take it over. Raised once, after the leave notices
    // and the lines given back have been queued; sends fail from then on.
    void roomLost();
    // A file part another player sent to the local player (see sendFilePart()), raised
    // on the service's thread in the order the parts came.
    void filePartReceived(session::PlayerId from, const QByteArray& part);

protected:
    // Queues one event for the receiver registered under `handle` (if any).
    void raiseEvent(qint32 handle);
    // Drops every registration; events already queued are not delivered.
    void dropEventReceivers();

    const AddressPrompt& addressPrompt() const { return m_addressPrompt; }
    const AddressPrompt& serversPrompt() const { return m_serversPrompt; }
    const RoomKeyCheck& roomKeyCheck() const { return m_roomKeyCheck; }

private:
    struct Receiver {
        QPointer<QObject> context;
        EventCallback callback;
        // Events raised but not yet delivered; one queued call delivers a batch of
        // them, so a burst of messages costs one wake-up of the event loop, not one each.
        int pending = 0;
        bool posted = false;
    };
    void postDelivery(qint32 handle, QObject* context);
    void deliverEvents(qint32 handle);
    QHash<qint32, Receiver> m_receivers;
    qint32 m_nextHandle = 1;
    AddressPrompt m_addressPrompt;
    AddressPrompt m_serversPrompt;
    RoomKeyCheck m_roomKeyCheck;
};

} // namespace session
