#pragma once

// One room connection's byte stream, as both ends see it (docs/protocol.md, "Room
// connection"): the initiator's prologue in clear, the Noise XX handshake bound to it,
// then records in both directions. It knows no socket: the owner feeds it what arrived,
// writes what it gives back, and seals each write batch.
//
//   prologue   what the connecting side sends first, in clear (a Hello-shaped frame)
//   handshake  three Noise messages, each after a 2-byte big-endian length
//   records    everything else (RecordLayer.h)
//
// A responder whose peer's first bytes are not an acceptable prologue (another version
// or application, another protocol) goes on in clear, so its owner answers as it always
// answered such a peer (a refusal, or nothing) and closes. Every other failure (a
// handshake message that does not read, a record that does not open) fails the
// channel for good: the connection must be closed.

#include "session/secure/RecordLayer.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace session::secure {

// Message 1 is the initiator's bare ephemeral key: anything else is refused at once.
inline constexpr qsizetype kFirstHandshakeMessageBytes = static_cast<qsizetype>(kDhBytes);
// The smallest message 2 (e, encrypted s, empty encrypted payload): a responder's
// answer of fewer bytes is a frame in clear (a refusal, or an older host's answer).
inline constexpr qsizetype kSecondHandshakeMessageBytes = static_cast<qsizetype>(2 * kDhBytes + 2 * kTagBytes);

class SecureChannel {
public:
    enum class State {
        Prologue,  // responder: waiting for the initiator's prologue
        Handshake, // the three Noise messages
        Open,      // records both ways
        Clear,     // the peer speaks no prologue of ours: bytes pass as they are
        Failed,    // closed for good
    };
    // How a responder reads the first bytes: the length of an acceptable prologue at
    // their start, 0 while more bytes are needed, -1 for anything else.
    using PrologueCheck = std::function<qsizetype(QByteArrayView buffered)>;
    // Whether an accepted prologue offers AES-256-GCM.
    using AesGcmOffer = std::function<bool(QByteArrayView prologue)>;

    // The connecting side, which sends `prologue` first. Where this machine can use
    // AES-256-GCM it reads message 2 under that cipher first, and under ChaChaPoly
    // when it does not read so: the responder chose.
    SecureChannel(const KeyPair25519& localStatic, QByteArray prologue);
    // The accepting side. It runs AES-256-GCM where `offersAesGcm` finds the offer and
    // this machine can; ChaChaPoly otherwise, and always without `offersAesGcm`.
    SecureChannel(const KeyPair25519& localStatic, PrologueCheck check, AesGcmOffer offersAesGcm = {});
    ~SecureChannel();
    SecureChannel(SecureChannel&&) noexcept;
    SecureChannel& operator=(SecureChannel&&) noexcept;

    // What this side says in the handshake: the responder in message 2, the initiator in
    // message 3 (message 1 carries nothing). Set before the handshake starts.
    void setHandshakePayload(QByteArray payload) { m_localPayload = std::move(payload); }
    // What the peer said there (message 2 or 3), once it was read; empty when nothing.
    const QByteArray& peerPayload() const { return m_peerPayload; }

    // The initiator's first bytes: the prologue and handshake message 1. Empty when
    // no ephemeral key could be made (the channel has failed).
    QByteArray start();

    // Takes what arrived: frame-stream bytes (opened records, or in Clear the bytes
    // themselves) are appended to `plain`, handshake messages to send to `reply`.
    // False once the channel has failed.
    bool receive(QByteArrayView bytes, QByteArray& plain, QByteArray& reply);

    // A write batch, sealed in records. In Clear, a responder's bytes go as they are (its
    // refusal to a peer that speaks no prologue of ours); before Open anything else is
    // dropped: nothing of the frame stream is ever written unsealed.
    QByteArray seal(QByteArrayView batch);
    QByteArray seal(const QList<QByteArray>& pieces);
    // The same into `out` (its capacity kept from call to call).
    void sealInto(std::span<const QByteArrayView> pieces, QByteArray& out);

    // A password room's re-key (docs/protocol.md, "Password rooms"): both directions'
    // record keys derived anew from the handshake's chaining key and `secret` (the CPace
    // ISK), counters from 0. The switch point is this call: everything sealed or opened
    // before went under the old keys, everything after goes under the new, records
    // received but not opened yet (held back, see holdRecords) included. False (and
    // failed) when the channel is not open.
    bool rekey(QByteArrayView secret);
    // While held, receive() opens at most one record per call (feeding it no bytes
    // opens the next one waiting), so that the owner can re-key between two records.
    void holdRecords(bool hold) { m_holdRecords = hold; }
    // Bytes received and not opened yet (a record cut short, or records held back).
    qsizetype waitingBytes() const { return m_decoder ? m_decoder->pendingBytes() : 0; }

    // What binds a password room's CPace to this connection: sid, the handshake hash;
    // CI, lv_cat(initiator's static key, responder's static key) (the member's first).
    QByteArray cpaceSid() const { return toBytes(m_handshakeHash); }
    QByteArray cpaceChannelIdentity() const;

    State state() const { return m_state; }
    bool isOpen() const { return m_state == State::Open; }
    bool failed() const { return m_state == State::Failed; }
    // The peer's static key and the session's handshake hash, once open.
    const PublicBytes<kDhBytes>& remoteStatic() const { return m_remoteStatic; }
    const PublicBytes<kHashBytes>& handshakeHash() const { return m_handshakeHash; }
    // The cipher of the records, once open.
    NoiseCipher cipher() const { return m_cipher; }

private:
    bool fail();
    bool step(QByteArray& plain, QByteArray& reply);
    void open(QByteArray& plain);

    bool m_initiator;
    State m_state;
    QByteArray m_prologue;
    PrologueCheck m_check;
    AesGcmOffer m_offersAesGcm;
    KeyPair25519 m_static;
    std::unique_ptr<HandshakeState> m_handshake;
    // The initiator's same first message under ChaChaPoly, while message 2 may be under either.
    std::unique_ptr<HandshakeState> m_otherCipher;
    NoiseCipher m_cipher = NoiseCipher::ChaChaPoly;
    std::unique_ptr<RecordEncoder> m_encoder;
    std::unique_ptr<RecordDecoder> m_decoder;
    QByteArray m_buffer; // prologue and handshake bytes not read yet
    int m_read = 0;      // handshake messages read
    PublicBytes<kDhBytes> m_remoteStatic{};
    PublicBytes<kHashBytes> m_handshakeHash{};
    SecretBytes<kHashBytes> m_chainingKey;
    bool m_holdRecords = false;
    QByteArray m_localPayload;
    QByteArray m_peerPayload;
};

// The Noise static key of this user's device (RoomIdentity.h, deviceKeys()): a key of
// this run alone when the store cannot be read or written (the connection is as
// private, only the key is not the same next time).
const KeyPair25519& deviceNoiseKey();

} // namespace session::secure
