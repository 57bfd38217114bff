// The session message reader on a hostile payload: the receiver reads integers and
// strings in an order of its own, whatever the sender wrote. The first two bytes of
// the input choose that order; the rest is the payload. Every read is checked against
// a plain model of the format (32-bit big-endian integers; strings as a 32-bit byte
// count and UTF-8), including that a failed read leaves the position unchanged.

#include "session/wire/Message.h"

#include <QtEndian>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const unsigned plan = static_cast<unsigned>(data[0]) | (static_cast<unsigned>(data[1]) << 8);
    const QByteArray payload(reinterpret_cast<const char*>(data + 2), static_cast<qsizetype>(size - 2));

    session::Message message(payload);
    session::Message echo; // what a relay that re-wrote every value read would send
    qsizetype pos = 0;     // the model's read position
    const auto* bytes = reinterpret_cast<const unsigned char*>(payload.constData());
    for (int i = 0; i < 16; ++i) {
        const qsizetype left = payload.size() - pos;
        if ((plan >> i) & 1u) {
            const session::Result<QString> text = message.readString();
            const bool fits = left >= 4 && qFromBigEndian<quint32>(bytes + pos) <= static_cast<quint64>(left - 4);
            check(text.ok() == fits);
            if (!fits)
                continue;
            const auto length = static_cast<qsizetype>(qFromBigEndian<quint32>(bytes + pos));
            check(*text == QString::fromUtf8(payload.constData() + pos + 4, length));
            pos += 4 + length;
            echo.writeString(*text);
        } else {
            const session::Result<qint32> value = message.readInt32();
            check(value.ok() == (left >= 4));
            if (left < 4)
                continue;
            check(*value == qFromBigEndian<qint32>(bytes + pos));
            pos += 4;
            echo.writeInt32(*value);
        }
    }

    // Whatever was read reads back the same after being written again.
    message.rewind();
    session::Message copy(echo.payload());
    for (int i = 0; i < 16; ++i) {
        if ((plan >> i) & 1u) {
            const session::Result<QString> first = message.readString();
            if (first)
                check(copy.readString().value() == *first);
        } else {
            const session::Result<qint32> first = message.readInt32();
            if (first)
                check(copy.readInt32().value() == *first);
        }
    }
    check(!copy.readInt32().ok());
    return 0;
}
