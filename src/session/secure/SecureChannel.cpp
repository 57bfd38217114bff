#include "session/secure/SecureChannel.h"

#include "session/SessionLog.h"
#include "session/secure/CPace.h"
#include "session/secure/KeyStore.h"
#include "session/secure/RoomIdentity.h"

#include <QtEndian>
#include <cstring>

namespace session::secure {

namespace {

constexpr qsizetype kLengthBytes = 2;

void appendMessage(QByteArray& out, const QByteArray& message) {
    char length[kLengthBytes];
    qToBigEndian(static_cast<quint16>(message.size()), length);
    out.append(length, kLengthBytes);
    out.append(message);
}

} // namespace

SecureChannel::SecureChannel(const KeyPair25519& localStatic, QByteArray prologue)
    : m_initiator(true), m_state(State::Handshake), m_prologue(std::move(prologue)), m_static(localStatic) {}

SecureChannel::SecureChannel(const KeyPair25519& localStatic, PrologueCheck check, AesGcmOffer offersAesGcm)
    : m_initiator(false),
      m_state(State::Prologue),
      m_check(std::move(check)),
      m_offersAesGcm(std::move(offersAesGcm)),
      m_static(localStatic) {}

SecureChannel::~SecureChannel() = default;
SecureChannel::SecureChannel(SecureChannel&&) noexcept = default;
SecureChannel& SecureChannel::operator=(SecureChannel&&) noexcept = default;

QByteArray SecureChannel::start() {
    if (!m_initiator || m_handshake != nullptr || m_state != State::Handshake) {
        return {};
    }
    const NoiseCipher preferred = aesGcmAvailable() ? NoiseCipher::AesGcm : NoiseCipher::ChaChaPoly;
    m_handshake = std::make_unique<HandshakeState>(HandshakeState::Role::Initiator, m_static, m_prologue, std::nullopt,
                                                   preferred);
    const auto first = m_handshake->writeMessage({});
    if (!first) {
        fail();
        return {};
    }
    if (preferred != NoiseCipher::ChaChaPoly) {
        // Message 1 is the bare ephemeral key under either cipher: one message serves both.
        m_otherCipher = std::make_unique<HandshakeState>(HandshakeState::Role::Initiator, m_static, m_prologue,
                                                         m_handshake->localEphemeral(), NoiseCipher::ChaChaPoly);
        if (!m_otherCipher->writeMessage({})) {
            m_otherCipher.reset();
        }
    }
    QByteArray out = m_prologue;
    appendMessage(out, *first);
    return out;
}

bool SecureChannel::fail() {
    m_state = State::Failed;
    m_handshake.reset();
    m_otherCipher.reset();
    m_encoder.reset();
    m_decoder.reset();
    m_buffer.clear();
    return false;
}

bool SecureChannel::receive(QByteArrayView bytes, QByteArray& plain, QByteArray& reply) {
    switch (m_state) {
    case State::Failed:
        return false;
    case State::Clear:
        plain.append(bytes);
        return true;
    case State::Open:
        if (m_holdRecords) {
            m_decoder->feed(bytes);
            if (std::optional<QByteArray> record = m_decoder->next()) {
                plain.append(*record);
            }
            return !m_decoder->failed() || fail();
        }
        return m_decoder->openInto(bytes, plain) || fail();
    case State::Prologue:
    case State::Handshake:
        break;
    }
    if (m_initiator && m_handshake == nullptr) {
        return fail(); // bytes before the first message went out
    }
    m_buffer.append(bytes);
    return step(plain, reply);
}

bool SecureChannel::step(QByteArray& plain, QByteArray& reply) {
    for (;;) {
        if (m_state == State::Prologue) {
            const qsizetype accepted = m_check(m_buffer);
            if (accepted == 0) {
                return true;
            }
            if (accepted < 0) {
                m_state = State::Clear;
                plain.append(std::exchange(m_buffer, {}));
                return true;
            }
            m_prologue = m_buffer.left(accepted);
            m_buffer.remove(0, accepted);
            const NoiseCipher cipher = m_offersAesGcm && m_offersAesGcm(m_prologue) && aesGcmAvailable()
                                           ? NoiseCipher::AesGcm
                                           : NoiseCipher::ChaChaPoly;
            m_handshake = std::make_unique<HandshakeState>(HandshakeState::Role::Responder, m_static, m_prologue,
                                                           std::nullopt, cipher);
            m_state = State::Handshake;
        }
        if (m_buffer.size() < kLengthBytes) {
            return true;
        }
        const qsizetype length = qFromBigEndian<quint16>(m_buffer.constData());
        if (m_initiator && length < kSecondHandshakeMessageBytes) {
            // Not a handshake message: the host refused in clear, or speaks an older version.
            m_state = State::Clear;
            plain.append(std::exchange(m_buffer, {}));
            return true;
        }
        // The first message the responder reads is message 1.
        if (!m_initiator && m_read == 0 && length != kFirstHandshakeMessageBytes) {
            return fail();
        }
        if (m_buffer.size() < kLengthBytes + length) {
            return true;
        }
        const QByteArrayView message = QByteArrayView(m_buffer).sliced(kLengthBytes, length);
        auto payload = m_handshake->readMessage(message);
        if (!payload && m_otherCipher) {
            payload = m_otherCipher->readMessage(message);
            if (payload) {
                m_handshake = std::move(m_otherCipher);
            }
        }
        m_otherCipher.reset();
        if (!payload) {
            return fail();
        }
        // Message 1 carries nothing; the peer's say is in message 2 or 3 (its reader decides
        // what it means, and ignores what it does not know).
        if (m_read == (m_initiator ? 0 : 1)) {
            m_peerPayload = *payload;
        }
        m_buffer.remove(0, kLengthBytes + length);
        ++m_read;
        if (!m_handshake->finished()) {
            const auto message = m_handshake->writeMessage(m_localPayload);
            if (!message) {
                return fail();
            }
            appendMessage(reply, *message);
        }
        if (m_handshake->finished()) {
            open(plain);
            return !failed();
        }
    }
}

void SecureChannel::open(QByteArray& plain) {
    std::optional<TransportState> transport = m_handshake->split();
    if (!transport) {
        fail();
        return;
    }
    m_cipher = m_handshake->cipher();
    m_remoteStatic = transport->remoteStatic;
    m_handshakeHash = transport->handshakeHash;
    m_chainingKey = transport->chainingKey;
    m_encoder = std::make_unique<RecordEncoder>(std::move(transport->send));
    m_decoder = std::make_unique<RecordDecoder>(std::move(transport->receive));
    m_handshake.reset();
    m_state = State::Open;
    if (!m_buffer.isEmpty()) {
        QByteArray rest = std::exchange(m_buffer, {});
        QByteArray unused;
        receive(rest, plain, unused);
    }
}

bool SecureChannel::rekey(QByteArrayView secret) {
    if (m_state != State::Open) {
        return fail();
    }
    // Records held back behind the switch point were sealed under the new keys.
    const QByteArray held = m_decoder->takePending();
    TransportState transport;
    transport.send = CipherState(m_cipher);
    transport.receive = CipherState(m_cipher);
    transport.initiator = m_initiator;
    transport.chainingKey = m_chainingKey;
    transport.mixSecret(bytesOf(secret), static_cast<std::size_t>(secret.size()));
    m_chainingKey = transport.chainingKey;
    m_encoder = std::make_unique<RecordEncoder>(std::move(transport.send));
    m_decoder = std::make_unique<RecordDecoder>(std::move(transport.receive));
    m_decoder->feed(held);
    return true;
}

QByteArray SecureChannel::cpaceChannelIdentity() const {
    const QByteArray local = toBytes(m_static.publicKey);
    const QByteArray remote = toBytes(m_remoteStatic);
    return m_initiator ? lvCat({local, remote}) : lvCat({remote, local});
}

QByteArray SecureChannel::seal(QByteArrayView batch) {
    if (m_state == State::Clear && !m_initiator) {
        return batch.toByteArray();
    }
    if (m_state != State::Open || batch.isEmpty()) {
        return {};
    }
    std::optional<QByteArray> sealed = m_encoder->seal(batch);
    if (!sealed) {
        fail();
        return {};
    }
    return *std::move(sealed);
}

QByteArray SecureChannel::seal(const QList<QByteArray>& pieces) {
    const std::vector<QByteArrayView> views(pieces.cbegin(), pieces.cend());
    QByteArray out;
    sealInto(views, out);
    return out;
}

void SecureChannel::sealInto(std::span<const QByteArrayView> pieces, QByteArray& out) {
    out.resize(0);
    if (m_state != State::Open && !(m_state == State::Clear && !m_initiator)) {
        return;
    }
    qsizetype total = 0;
    for (const QByteArrayView piece : pieces) {
        total += piece.size();
    }
    if (total == 0) {
        return;
    }
    if (m_state == State::Clear) {
        for (const QByteArrayView piece : pieces) {
            out.append(piece);
        }
        return;
    }
    // Records are sealed in place: the pieces are copied once, into the records'
    // plaintext positions, and encrypted where they lie.
    constexpr qsizetype kOverhead = kRecordHeaderBytes + static_cast<qsizetype>(kTagBytes);
    const qsizetype records = (total + kMaxRecordPlaintextBytes - 1) / kMaxRecordPlaintextBytes;
    out.resize(total + records * kOverhead);
    char* const base = out.data();
    qsizetype record = 0; // where the current record starts in `out`
    qsizetype filled = 0; // its plaintext bytes so far
    const auto finish = [&]() -> bool {
        auto* at = reinterpret_cast<unsigned char*>(base + record);
        qToBigEndian(static_cast<quint16>(filled + static_cast<qsizetype>(kTagBytes)), at);
        unsigned char* plaintext = at + kRecordHeaderBytes;
        if (!m_encoder->cipher().encryptInto(at, kRecordHeaderBytes, plaintext, static_cast<std::size_t>(filled),
                                             plaintext)) {
            return false;
        }
        record += kOverhead + filled;
        filled = 0;
        return true;
    };
    for (const QByteArrayView piece : pieces) {
        qsizetype taken = 0;
        while (taken < piece.size()) {
            const qsizetype n = std::min(piece.size() - taken, kMaxRecordPlaintextBytes - filled);
            std::memcpy(base + record + kRecordHeaderBytes + filled, piece.constData() + taken,
                        static_cast<std::size_t>(n));
            filled += n;
            taken += n;
            if (filled == kMaxRecordPlaintextBytes && !finish()) {
                out.resize(0);
                fail();
                return;
            }
        }
    }
    if (filled > 0 && !finish()) {
        out.resize(0);
        fail();
    }
}

const KeyPair25519& deviceNoiseKey() {
    return deviceKeys().noise;
}

} // namespace session::secure
