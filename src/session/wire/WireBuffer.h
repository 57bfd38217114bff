#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace session {

// Big-endian field writer for frames and discovery datagrams. Strings are a 32-bit
// byte length followed by UTF-8, as in a session message.
class WireWriter {
public:
    void u8(quint8 value) { m_bytes.append(static_cast<char>(value)); }
    void u16(quint16 value);
    void u32(quint32 value);
    void i32(qint32 value) { u32(static_cast<quint32>(value)); }
    void bytes(const QByteArray& raw) { m_bytes.append(raw); }
    void string(const QString& text);

    const QByteArray& data() const { return m_bytes; }
    QByteArray take() { return std::move(m_bytes); }

private:
    QByteArray m_bytes;
};

// Reads the fields that WireWriter writes. Every read checks the remaining length
// first; a failed read returns nothing and marks the reader failed, so a parser may
// read a whole record and check ok() once.
class WireReader {
public:
    explicit WireReader(const QByteArray& bytes, qsizetype offset = 0) : m_bytes(bytes), m_pos(offset) {}

    std::optional<quint8> u8();
    std::optional<quint16> u16();
    std::optional<quint32> u32();
    std::optional<qint32> i32();
    std::optional<QByteArray> bytes(qsizetype count);
    // Strings longer than maxBytes are refused without being copied.
    std::optional<QString> string(quint32 maxBytes = 64 * 1024);
    QByteArray rest();

    bool ok() const { return !m_failed; }
    qsizetype remaining() const { return m_bytes.size() - m_pos; }

private:
    bool need(qsizetype count);

    const QByteArray& m_bytes;
    qsizetype m_pos = 0;
    bool m_failed = false;
};

} // namespace session
