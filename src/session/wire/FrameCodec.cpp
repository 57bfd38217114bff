#include "session/wire/FrameCodec.h"

#include "session/wire/WireBuffer.h"

#include <QtEndian>
#include <cstring>

namespace session {

namespace {
constexpr qsizetype kPrologueNonceBytes = 16;
constexpr quint32 kMaxApplicationIdBytes = 765;
} // namespace

QByteArray encodePrologue(const QString& applicationId, bool offersAesGcm) {
    WireWriter hello;
    hello.bytes(QByteArray(kRoomMagic));
    hello.u16(kProtocolVersion);
    hello.string(applicationId);
    QByteArray offers(kPrologueNonceBytes, '\0');
    offers[0] = static_cast<char>(offersAesGcm ? kOffersAesGcm : 0);
    hello.bytes(offers);
    return encodeFrame(FrameType::Hello, hello.data());
}

bool prologueOffersAesGcm(QByteArrayView prologue) {
    if (prologue.size() < 5) {
        return false;
    }
    const QByteArray body = prologue.sliced(5).toByteArray();
    WireReader in(body);
    in.bytes(4);
    in.u16();
    in.string(kMaxApplicationIdBytes);
    const auto offers = in.bytes(kPrologueNonceBytes);
    return in.ok() && (static_cast<quint8>(offers->at(0)) & kOffersAesGcm) != 0;
}

qsizetype acceptedPrologue(QByteArrayView buffered, const QString& applicationId) {
    if (buffered.size() < 4) {
        return 0;
    }
    const quint32 length = qFromBigEndian<quint32>(buffered.data());
    if (length == 0 || length > kMaxPrologueBytes - 4) {
        return -1;
    }
    if (buffered.size() - 4 < static_cast<qsizetype>(length)) {
        return 0;
    }
    if (static_cast<quint8>(buffered.at(4)) != static_cast<quint8>(FrameType::Hello)) {
        return -1;
    }
    const QByteArray body = buffered.sliced(5, static_cast<qsizetype>(length) - 1).toByteArray();
    WireReader in(body);
    const auto magic = in.bytes(4);
    const auto version = in.u16();
    const auto application = in.string(kMaxApplicationIdBytes);
    in.bytes(kPrologueNonceBytes);
    if (!in.ok() || magic != QByteArray(kRoomMagic) || *version < kProtocolVersion || *application != applicationId) {
        return -1;
    }
    return 4 + static_cast<qsizetype>(length);
}

QByteArray encodeFrame(FrameType type, const QByteArray& body) {
    return encodeFrame(type, body, {});
}

QByteArray encodeFrame(FrameType type, QByteArrayView head, QByteArrayView rest) {
    const qsizetype body = head.size() + rest.size();
    QByteArray frame(kFrameHeaderBytes + body, Qt::Uninitialized);
    qToBigEndian(static_cast<quint32>(body + 1), frame.data());
    frame[4] = static_cast<char>(type);
    if (!head.isEmpty()) {
        std::memcpy(frame.data() + kFrameHeaderBytes, head.data(), static_cast<std::size_t>(head.size()));
    }
    if (!rest.isEmpty()) {
        std::memcpy(frame.data() + kFrameHeaderBytes + head.size(), rest.data(), static_cast<std::size_t>(rest.size()));
    }
    return frame;
}

void FrameDecoder::feed(const QByteArray& chunk) {
    if (m_failed) {
        return;
    }
    // Drop what has been consumed before growing the buffer, so a long stream of
    // small frames does not keep its whole history.
    if (m_pos > 0 && m_pos >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer.append(chunk);
}

std::optional<Frame> FrameDecoder::next() {
    if (m_failed || pendingBytes() < 4) {
        return std::nullopt;
    }
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_pos);
    if (length == 0 || length > m_maxFrameBytes) {
        m_failed = true;
        m_buffer.clear();
        m_pos = 0;
        return std::nullopt;
    }
    if (pendingBytes() - 4 < static_cast<qsizetype>(length)) {
        return std::nullopt;
    }
    Frame frame;
    frame.type = static_cast<quint8>(m_buffer.at(m_pos + 4));
    frame.body = m_buffer.mid(m_pos + 5, static_cast<qsizetype>(length) - 1);
    m_pos += 4 + static_cast<qsizetype>(length);
    if (m_pos == m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
    }
    return frame;
}

} // namespace session
