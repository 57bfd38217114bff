#pragma once

// After the handshake everything a side writes travels in records (docs/protocol.md, "Records"):
//
//   length  2 bytes, big-endian: the bytes that follow, 17 to 65535
//   sealed  the connection's AEAD (ChaCha20-Poly1305 or AES-256-GCM) of 1 to 65519
//           plaintext bytes, with its 16-byte tag;
//           nonce = this direction's record counter (0, 1, 2, ...), associated data =
//           the two length bytes
//
// A record carries one write batch of frames, or a part of one: frames may cross
// records, and the frame decoder above joins them. A record that does not open (a
// flipped bit, a replayed, dropped or reordered record, a length below the minimum)
// fails the decoder for good: the connection must be closed. The length field itself
// bounds what a peer can make us buffer to one record.

#include "session/secure/Noise.h"

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace session::secure {

inline constexpr qsizetype kRecordHeaderBytes = 2;
inline constexpr qsizetype kMaxSealedRecordBytes = 65535;
inline constexpr qsizetype kMaxRecordPlaintextBytes = kMaxSealedRecordBytes - static_cast<qsizetype>(kTagBytes);

class RecordEncoder {
public:
    // `send` is the sending CipherState of the transport (it must have a key).
    explicit RecordEncoder(CipherState send) : m_cipher(std::move(send)) {}

    // The records of one write batch, as few as the record size allows; an empty
    // batch gives no record. Nothing when the key is missing or its nonces are spent:
    // the connection must then be closed (or re-keyed by a new handshake).
    std::optional<QByteArray> seal(QByteArrayView batch);

    CipherState& cipher() { return m_cipher; }

private:
    CipherState m_cipher;
};

enum class RecordError {
    None,
    Length,         // a length below 17
    Authentication, // a record that does not open: tampered, replayed, reordered or cut
    Exhausted,      // the receiving nonces are spent
};

// Splits a byte stream into records and opens them. Feed it whatever the socket
// delivered, in any chunks; take plaintexts with next().
class RecordDecoder {
public:
    explicit RecordDecoder(CipherState receive) : m_cipher(std::move(receive)) {}

    void feed(QByteArrayView chunk);
    // feed() and every complete record's plaintext appended to `plain`, opened straight
    // from `chunk` where no earlier bytes wait; false once the stream failed.
    bool openInto(QByteArrayView chunk, QByteArray& plain);
    // The plaintext of the next complete record, or nothing when more bytes are
    // needed or the stream failed (see error()).
    std::optional<QByteArray> next();

    bool failed() const { return m_error != RecordError::None; }
    RecordError error() const { return m_error; }
    // Bytes received but not yet returned (a cut record at the end of a stream).
    qsizetype pendingBytes() const { return m_buffer.size() - m_pos; }
    // Those bytes, handed over (to the decoder of the keys that follow a re-key).
    QByteArray takePending() {
        QByteArray rest = m_buffer.mid(m_pos);
        m_buffer.clear();
        m_pos = 0;
        return rest;
    }

    CipherState& cipher() { return m_cipher; }

private:
    void failWith(RecordError error);

    CipherState m_cipher;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    RecordError m_error = RecordError::None;
};

} // namespace session::secure
