#include "session/wire/WireBuffer.h"

#include <QtEndian>

namespace session {

void WireWriter::u16(quint16 value) {
    char raw[2];
    qToBigEndian(value, raw);
    m_bytes.append(raw, 2);
}

void WireWriter::u32(quint32 value) {
    char raw[4];
    qToBigEndian(value, raw);
    m_bytes.append(raw, 4);
}

void WireWriter::string(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    u32(static_cast<quint32>(utf8.size()));
    m_bytes.append(utf8);
}

bool WireReader::need(qsizetype count) {
    if (m_failed || count < 0 || remaining() < count) {
        m_failed = true;
        return false;
    }
    return true;
}

std::optional<quint8> WireReader::u8() {
    if (!need(1)) {
        return std::nullopt;
    }
    return static_cast<quint8>(m_bytes.at(m_pos++));
}

std::optional<quint16> WireReader::u16() {
    if (!need(2)) {
        return std::nullopt;
    }
    const auto value = qFromBigEndian<quint16>(m_bytes.constData() + m_pos);
    m_pos += 2;
    return value;
}

std::optional<quint32> WireReader::u32() {
    if (!need(4)) {
        return std::nullopt;
    }
    const auto value = qFromBigEndian<quint32>(m_bytes.constData() + m_pos);
    m_pos += 4;
    return value;
}

std::optional<qint32> WireReader::i32() {
    const auto value = u32();
    if (!value) {
        return std::nullopt;
    }
    return static_cast<qint32>(*value);
}

std::optional<QByteArray> WireReader::bytes(qsizetype count) {
    if (!need(count)) {
        return std::nullopt;
    }
    QByteArray out = m_bytes.mid(m_pos, count);
    m_pos += count;
    return out;
}

std::optional<QString> WireReader::string(quint32 maxBytes) {
    const auto length = u32();
    if (!length) {
        return std::nullopt;
    }
    if (*length > maxBytes || !need(static_cast<qsizetype>(*length))) {
        m_failed = true;
        return std::nullopt;
    }
    QString text = QString::fromUtf8(m_bytes.constData() + m_pos, static_cast<qsizetype>(*length));
    m_pos += static_cast<qsizetype>(*length);
    return text;
}

QByteArray WireReader::rest() {
    if (m_failed) {
        return {};
    }
    QByteArray out = m_bytes.mid(m_pos);
    m_pos = m_bytes.size();
    return out;
}

} // namespace session
