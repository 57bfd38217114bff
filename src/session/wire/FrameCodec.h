#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace session {

// Frame types of the room connection (TCP). docs/protocol.md describes each body.
enum class FrameType : quint8 {
    Hello = 0x01,         // member -> host: magic, version, application id, member nonce
    Challenge = 0x02,     // host -> member: version, flags, host nonce, instance id
    Auth = 0x03,          // member -> host: password proof
    Accept = 0x04,        // host -> member: host proof, room name, attribute, instance id
    Reject = 0x05,        // host -> member: reason, text; the host closes
    ListQuery = 0x06,     // lister -> host: a discovery query
    ListAnswer = 0x07,    // host -> lister: a discovery answer
    CreatePlayer = 0x10,  // member -> host: handle name, second name
    PlayerCreated = 0x11, // host -> member: the new id and the room's players
    PlayerRefused = 0x12, // host -> member: reason, text
    DestroyPlayer = 0x13, // member -> host
    Resume = 0x14,        // member -> host: player id, resume secret, events taken, signature (instead of CreatePlayer)
    Resumed = 0x15,       // host -> member: highest send seq handled, seq of the next event
    Delegation = 0x16,    // host -> member: the member's chain of hosting delegations
    Send = 0x20,          // member -> host: receiver, seq, signature, payload
    Deliver = 0x21,       // host -> member: sender, receiver, the sender's seq, signature, payload
    Joined = 0x22,        // host -> member: id, handle name
    Left = 0x23,          // host -> member: id
    Ack = 0x24,           // both: the highest seq taken (events by a member, sends by the host)
    History = 0x25,       // host -> member: the room's last public lines, right after PlayerCreated
    Receipt = 0x26,       // both: the highest seq of a sender's lines a receiver took, signed by the receiver
    FilePart = 0x27,      // both: a part of a file transfer, to (member -> host) or from (host -> member) one player
    Heartbeat = 0x30,
    Goodbye = 0x31,
};

// The Hello frame starts with this magic and the protocol version.
inline constexpr char kRoomMagic[] = "MLRN";
inline constexpr quint16 kProtocolVersion = 4;

// A connection opens with a prologue in clear, shaped as a Hello frame (so that a host
// of version 3 answers it with its Challenge, and a member can tell why it cannot
// join): magic, kProtocolVersion, the application id, 16 bytes of offers (the first
// says whether the member can run AES-256-GCM, the others are zero). The handshake and
// the records follow (secure/SecureChannel.h).
QByteArray encodePrologue(const QString& applicationId, bool offersAesGcm);
inline constexpr quint8 kOffersAesGcm = 0x01;
// The length of an acceptable prologue at the start of `buffered` (a Hello of version 4
// or later for `applicationId`), 0 while more bytes are needed, -1 for anything else.
qsizetype acceptedPrologue(QByteArrayView buffered, const QString& applicationId);
// Whether an accepted prologue offers AES-256-GCM.
bool prologueOffersAesGcm(QByteArrayView prologue);
inline constexpr qsizetype kMaxPrologueBytes = 1024;

// Why a host refused a member (Reject) or a player (PlayerRefused).
enum class RefuseReason : quint32 {
    Version = 1,
    Application = 2,
    Password = 3,
    Full = 4,
    Protocol = 5,
    InvalidName = 6,
    NoSuchPlayer = 7, // a resume for a player that is not (or no longer) in the room
};

// Random secrets the host hands out: a keyless player's resume secret and the room's secret.
inline constexpr int kSecretBytes = 32;

struct Frame {
    quint8 type = 0;
    QByteArray body;
};

// A frame on the wire: 32-bit big-endian length of what follows (type byte + body),
// the type byte, the body.
QByteArray encodeFrame(FrameType type, const QByteArray& body);
// The same of a body in two parts, made in one allocation.
QByteArray encodeFrame(FrameType type, QByteArrayView head, QByteArrayView rest);
inline constexpr int kFrameHeaderBytes = 5;

// Splits a byte stream into frames. Feed it whatever the socket delivered, in any
// chunks; take frames with next(). A length of 0 or above maxFrameBytes is refused
// before anything is allocated for it, and the decoder then stays failed: the
// connection must be closed, since the stream can no longer be trusted.
class FrameDecoder {
public:
    explicit FrameDecoder(quint32 maxFrameBytes) : m_maxFrameBytes(maxFrameBytes) {}

    void feed(const QByteArray& chunk);
    // The next complete frame, or nothing when more bytes are needed or the stream failed.
    std::optional<Frame> next();

    bool failed() const { return m_failed; }
    // Bytes received but not yet returned as a frame (a truncated frame at the end of a stream).
    qsizetype pendingBytes() const { return m_buffer.size() - m_pos; }

private:
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    quint32 m_maxFrameBytes;
    bool m_failed = false;
};

} // namespace session
