#include "session/secure/RecordLayer.h"

#include <QtEndian>
#include <algorithm>

namespace session::secure {

namespace {

constexpr qsizetype kMinSealedRecordBytes = static_cast<qsizetype>(kTagBytes) + 1;

} // namespace

std::optional<QByteArray> RecordEncoder::seal(QByteArrayView batch) {
    if (!m_cipher.hasKey())
        return std::nullopt;
    const qsizetype records = (batch.size() + kMaxRecordPlaintextBytes - 1) / kMaxRecordPlaintextBytes;
    QByteArray out(batch.size() + records * (kRecordHeaderBytes + static_cast<qsizetype>(kTagBytes)),
                   Qt::Uninitialized);
    auto* at = reinterpret_cast<unsigned char*>(out.data());
    for (qsizetype pos = 0; pos < batch.size(); pos += kMaxRecordPlaintextBytes) {
        const qsizetype plain = std::min(kMaxRecordPlaintextBytes, batch.size() - pos);
        qToBigEndian(static_cast<quint16>(plain + static_cast<qsizetype>(kTagBytes)), at);
        if (!m_cipher.encryptInto(at, kRecordHeaderBytes, bytesOf(batch) + pos, static_cast<std::size_t>(plain),
                                  at + kRecordHeaderBytes))
            return std::nullopt;
        at += kRecordHeaderBytes + plain + static_cast<qsizetype>(kTagBytes);
    }
    return out;
}

void RecordDecoder::feed(QByteArrayView chunk) {
    if (failed())
        return;
    if (m_pos > 0 && m_pos >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer.append(chunk);
}

bool RecordDecoder::openInto(QByteArrayView chunk, QByteArray& plain) {
    if (failed())
        return false;
    // Whatever the buffer holds whole goes first (a caller may have fed it).
    while (std::optional<QByteArray> record = next())
        plain.append(*record);
    qsizetype pos = 0;
    // A record that the previous chunk cut: only the bytes that complete it join the
    // buffer, and the records after it are opened straight from the chunk. (Taking the
    // whole chunk into the buffer would copy every record twice more from then on, as
    // nearly every read of a busy stream ends inside a record.)
    while (pendingBytes() > 0 && pos < chunk.size() && !failed()) {
        qsizetype missing = kRecordHeaderBytes - pendingBytes();
        if (missing <= 0) {
            const auto* header = reinterpret_cast<const unsigned char*>(m_buffer.constData()) + m_pos;
            missing = kRecordHeaderBytes + qFromBigEndian<quint16>(header) - pendingBytes();
        }
        const qsizetype taken = std::min(missing, chunk.size() - pos);
        feed(chunk.sliced(pos, taken));
        pos += taken;
        if (std::optional<QByteArray> record = next())
            plain.append(*record);
    }
    if (failed())
        return false;
    if (pendingBytes() == 0) {
        plain.reserve(plain.size() + chunk.size() - pos);
        const auto* bytes = bytesOf(chunk);
        while (chunk.size() - pos >= kRecordHeaderBytes) {
            const qsizetype sealed = qFromBigEndian<quint16>(bytes + pos);
            if (sealed < kMinSealedRecordBytes) {
                failWith(RecordError::Length);
                return false;
            }
            if (chunk.size() - pos - kRecordHeaderBytes < sealed)
                break;
            if (m_cipher.nonce() == CipherState::kReservedNonce) {
                failWith(RecordError::Exhausted);
                return false;
            }
            const qsizetype at = plain.size();
            plain.resize(at + sealed - static_cast<qsizetype>(kTagBytes));
            if (!m_cipher.decryptInto(bytes + pos, kRecordHeaderBytes, bytes + pos + kRecordHeaderBytes,
                                      static_cast<std::size_t>(sealed),
                                      reinterpret_cast<unsigned char*>(plain.data()) + at)) {
                plain.resize(at);
                failWith(RecordError::Authentication);
                return false;
            }
            pos += kRecordHeaderBytes + sealed;
        }
    }
    // What is left is the start of a record: it waits for the next chunk.
    feed(chunk.sliced(pos));
    return !failed();
}

void RecordDecoder::failWith(RecordError error) {
    m_error = error;
    m_buffer.clear();
    m_pos = 0;
}

std::optional<QByteArray> RecordDecoder::next() {
    if (failed() || pendingBytes() < kRecordHeaderBytes)
        return std::nullopt;
    const auto* header = reinterpret_cast<const unsigned char*>(m_buffer.constData()) + m_pos;
    const qsizetype sealed = qFromBigEndian<quint16>(header);
    if (sealed < kMinSealedRecordBytes) {
        failWith(RecordError::Length);
        return std::nullopt;
    }
    if (pendingBytes() - kRecordHeaderBytes < sealed)
        return std::nullopt;
    if (m_cipher.nonce() == CipherState::kReservedNonce) {
        failWith(RecordError::Exhausted);
        return std::nullopt;
    }
    QByteArray plaintext(sealed - static_cast<qsizetype>(kTagBytes), Qt::Uninitialized);
    if (!m_cipher.decryptInto(header, kRecordHeaderBytes, header + kRecordHeaderBytes, static_cast<std::size_t>(sealed),
                              reinterpret_cast<unsigned char*>(plaintext.data()))) {
        failWith(RecordError::Authentication);
        return std::nullopt;
    }
    m_pos += kRecordHeaderBytes + sealed;
    if (m_pos == m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
    }
    return plaintext;
}

} // namespace session::secure
