#include "session/wire/FrameCodec.h"

#include <QtEndian>

namespace session {

QByteArray encodeFrame(FrameType type, const QByteArray& body) {
    QByteArray frame;
    frame.reserve(kFrameHeaderBytes + body.size());
    char length[4];
    qToBigEndian(static_cast<quint32>(body.size() + 1), length);
    frame.append(length, 4);
    frame.append(static_cast<char>(type));
    frame.append(body);
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
