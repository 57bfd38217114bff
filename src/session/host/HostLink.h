#pragma once

#include "session/SessionTypes.h"
#include "session/net/HostSocket.h"
#include "session/secure/CPace.h"
#include "session/secure/SecureChannel.h"
#include "session/wire/FrameCodec.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <optional>
#include <vector>

namespace session {

struct HostedPlayer;
struct Relay;

// One TCP connection as the host sees it. The link owns its socket; the host deletes
// a dropped link later, so a handler that dropped it may still read its fields.
class HostLink : public QObject {
    Q_OBJECT

public:
    enum class State {
        AwaitingHello, // connected; the first frame decides: Hello or ListQuery
        AwaitingAuth,  // challenge sent
        Admitted,      // password proved; no player yet
        Playing,       // has a player in the room
        Closed,        // dropped; nothing more is read or written
    };

    HostLink(HostSocket* socket, quint32 maxFrameBytes, secure::SecureChannel channel, QObject* parent)
        : QObject(parent), socket(socket), channel(std::move(channel)), decoder(maxFrameBytes) {
        socket->setParent(this);
        lastHeard.start();
    }

    // What arrived: opened into the frame decoder, the handshake's answers sent at
    // once. False when the handshake or a record failed: the link must be dropped.
    bool receive(const QByteArray& chunk) {
        static thread_local QByteArray plain; // its capacity kept from read to read
        plain.resize(0);
        QByteArray reply;
        const bool ok = channel.receive(chunk, plain, reply);
        if (!reply.isEmpty()) {
            socket->write(reply);
        }
        decoder.feed(plain);
        if (plain.capacity() > kKeptBufferBytes) {
            plain = QByteArray();
        }
        return ok;
    }
    // Frames to the member, sealed in as few records as they fit.
    void send(const QList<QByteArray>& frames);
    struct Outgoing;
    void send(const std::vector<Outgoing>& frames);
    static constexpr qsizetype kKeptBufferBytes = 1024 * 1024;
    void send(const QByteArray& frame) { send(QList<QByteArray>{frame}); }
    // A relayed message's frames still counted by `outgoing` go with it (HostRelay).
    ~HostLink() override;

    HostSocket* socket;
    // What a broadcast reads and writes for each receiver comes first, together: in a
    // room of hundreds, every line touches every link, and the rest of a link is cold.
    State state = State::AwaitingHello;
    // Frames for this member collected during the current event-loop turn; they
    // leave together once the turn's work is done. A relayed message's frame is not
    // copied but borrowed from its Relay, which counts the link among its holders
    // until the frame is sealed: a shared QByteArray's atomic reference count, bumped
    // once for each of hundreds of receivers, cost a broadcast more than its routing.
    struct Outgoing {
        QByteArray frame; // a frame of this link's own, empty for a relay's
        Relay* relay = nullptr;
    };
    std::vector<Outgoing> outgoing;
    qint64 outgoingBytes = 0;
    bool flushQueued = false;
    bool noticeQueued = false; // waits for the host's notice timer
    // Answers to the member's own frames wait in `outgoing`; they leave when its read is handled.
    bool replyPending = false;
    secure::SecureChannel channel;
    QByteArray source; // the peer's address as per-address limits count it
    QHostAddress peer; // where the link comes from: the first half of the player's endpoint
    bool createdPlayer = false;
    QElapsedTimer lastCreateAttempt;
    FrameDecoder decoder;
    QByteArray hostNonce;
    QByteArray memberNonce;
    // A password room's CPace run, from the Challenge to the member's Auth.
    std::optional<secure::CPaceParty> cpace;
    PlayerId player = 0;
    HostedPlayer* hosted = nullptr; // the player, while the link has one
    QElapsedTimer lastHeard;
    bool heard = false; // anything at all came
    // A child, so that it goes with the link to the host's thread: a link made before
    // the host moved there (one kept at a standby port) must not be timed from here.
    QTimer handshakeTimer{this};

    // Back-pressure. A member whose messages wait at a receiver above the high-water
    // mark is not read (`paused`) until every receiver holding it (`heldBy` of them,
    // the local player included when `heldLocally`) is down to the low-water mark.
    bool paused = false;
    int heldBy = 0;
    bool heldLocally = false;
    // Held because too many of its messages wait for a receiver's acknowledgement,
    // until they are down to SessionConfig::resumeUnacknowledgedSends.
    bool heldForAcks = false;
    // Held while the room's events keep more than its budget (HostRelay::keepWithinBudget).
    bool heldForBudget = false;
    // Its CreatePlayer waits for its address's next join (HostAdmission), in `waitingCreate`.
    bool heldForJoin = false;
    std::optional<Frame> waitingCreate;
    // As a receiver: the senders this member holds.
    QList<QPointer<HostLink>> holding;
    // File parts for this member (FilePart frames): they go out after its other frames,
    // whenever the socket is nearly empty (HostRelayFiles.cpp).
    std::deque<QByteArray> fileParts;
    qint64 filePartBytes = 0;
};

} // namespace session
