#include "session/wire/Message.h"

#include <QtEndian>

namespace session {

namespace {
constexpr quint32 kErrorReadPastEnd = 0x88770180u;
}

void Message::writeInt32(qint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    m_payload.append(bytes, 4);
}

void Message::writeString(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    writeInt32(static_cast<qint32>(utf8.size()));
    m_payload.append(utf8);
}

Result<qint32> Message::readInt32() {
    if (m_payload.size() - m_readPos < 4) {
        return failure(kErrorReadPastEnd, QStringLiteral("read past the end of the message"));
    }
    const qint32 value = qFromBigEndian<qint32>(m_payload.constData() + m_readPos);
    m_readPos += 4;
    return value;
}

Result<QString> Message::readString() {
    const qsizetype start = m_readPos;
    if (m_payload.size() - start < 4) {
        return failure(kErrorReadPastEnd, QStringLiteral("read past the end of the message"));
    }
    const quint32 length = qFromBigEndian<quint32>(m_payload.constData() + start);
    if (length > static_cast<quint64>(m_payload.size() - start - 4)) {
        return failure(kErrorReadPastEnd, QStringLiteral("string runs past the end of the message"));
    }
    m_readPos = start + 4 + static_cast<qsizetype>(length);
    return QString::fromUtf8(m_payload.constData() + start + 4, static_cast<qsizetype>(length));
}

} // namespace session
