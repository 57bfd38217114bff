#pragma once

#include "session/SessionTypes.h"

#include <QByteArray>
#include <QString>

namespace session {

// A session message: a sequence of 32-bit integers (big-endian) and strings
// (32-bit byte length, then UTF-8), written and read back in the same order.
// Reading past the end, or a string whose length runs past the end, is an error
// and leaves the read position where it was.
class Message {
public:
    Message() = default;
    explicit Message(QByteArray payload) : m_payload(std::move(payload)) {}

    void writeInt32(qint32 value);
    void writeString(const QString& text);

    Result<qint32> readInt32();
    // Invalid UTF-8 is read with replacement characters, never rejected.
    Result<QString> readString();

    // Starts reading from the beginning again.
    void rewind() { m_readPos = 0; }
    const QByteArray& payload() const { return m_payload; }

private:
    QByteArray m_payload;
    qsizetype m_readPos = 0;
};

} // namespace session
