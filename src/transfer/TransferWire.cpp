#include "transfer/TransferWire.h"

#include <QtEndian>

namespace transfer {

namespace {

constexpr qsizetype kHashHexChars = 64;

bool isLowerHex(const QString& text) {
    if (text.size() != kHashHexChars)
        return false;
    for (const QChar c : text)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    return true;
}

template <class T>
void put(QByteArray& out, T value) {
    char bytes[sizeof(T)];
    qToBigEndian(value, bytes);
    out.append(bytes, sizeof(T));
}

// Reads fixed-size big-endian fields; a read past the end sets `ok` false.
class Reader {
public:
    explicit Reader(const QByteArray& bytes) : m_bytes(bytes) {}
    template <class T>
    T take() {
        if (!m_ok || m_bytes.size() - m_pos < static_cast<qsizetype>(sizeof(T))) {
            m_ok = false;
            return T{};
        }
        const T value = qFromBigEndian<T>(m_bytes.constData() + m_pos);
        m_pos += sizeof(T);
        return value;
    }
    QByteArray rest() const { return m_bytes.mid(m_pos); }
    bool ok() const { return m_ok; }

private:
    const QByteArray& m_bytes;
    qsizetype m_pos = 1; // after the type
    bool m_ok = true;
};

} // namespace

session::Message encodeOffer(const Offer& offer) {
    session::Message message;
    message.writeInt32(kOfferKind);
    message.writeInt32(static_cast<qint32>(offer.transferId));
    const auto size = static_cast<quint64>(offer.size);
    message.writeInt32(static_cast<qint32>(static_cast<quint32>(size >> 32)));
    message.writeInt32(static_cast<qint32>(static_cast<quint32>(size & 0xffffffffu)));
    message.writeString(offer.hash);
    message.writeString(offer.name);
    return message;
}

std::optional<Offer> decodeOffer(session::Message payload) {
    payload.rewind();
    const auto kind = payload.readInt32();
    const auto id = payload.readInt32();
    const auto high = payload.readInt32();
    const auto low = payload.readInt32();
    const auto hash = payload.readString();
    const auto name = payload.readString();
    if (!kind || !id || !high || !low || !hash || !name || *kind != kOfferKind)
        return std::nullopt;
    Offer offer;
    offer.transferId = static_cast<quint32>(*id);
    offer.size =
        static_cast<qint64>((static_cast<quint64>(static_cast<quint32>(*high)) << 32) | static_cast<quint32>(*low));
    offer.hash = *hash;
    offer.name = *name;
    if (offer.transferId == 0 || offer.size < 0 || !isLowerHex(offer.hash) || offer.name.isEmpty() ||
        offer.name.size() > kMaxOfferNameUnits)
        return std::nullopt;
    return offer;
}

QByteArray encodePart(const Part& part) {
    QByteArray out;
    std::visit(
        [&out](const auto& p) {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, Want>) {
                out.append(static_cast<char>(PartType::Want));
                put<quint32>(out, p.transferId);
                put<quint64>(out, p.have);
                put<quint64>(out, p.upTo);
                out.append(static_cast<char>(p.restart ? 1 : 0));
            } else if constexpr (std::is_same_v<T, Chunk>) {
                out.append(static_cast<char>(PartType::Chunk));
                put<quint32>(out, p.transferId);
                put<quint64>(out, p.offset);
                out.append(p.data);
            } else if constexpr (std::is_same_v<T, Cancel>) {
                out.append(static_cast<char>(PartType::Cancel));
                put<quint32>(out, p.transferId);
                out.append(static_cast<char>(p.reason));
                out.append(static_cast<char>(p.side));
            } else {
                out.append(static_cast<char>(PartType::Done));
                put<quint32>(out, p.transferId);
            }
        },
        part);
    return out;
}

std::optional<Part> decodePart(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return std::nullopt;
    Reader reader(bytes);
    switch (static_cast<quint8>(bytes.at(0))) {
    case static_cast<quint8>(PartType::Want): {
        Want want;
        want.transferId = reader.take<quint32>();
        want.have = reader.take<quint64>();
        want.upTo = reader.take<quint64>();
        want.restart = (reader.take<quint8>() & 1) != 0;
        if (!reader.ok())
            return std::nullopt;
        return want;
    }
    case static_cast<quint8>(PartType::Chunk): {
        Chunk chunk;
        chunk.transferId = reader.take<quint32>();
        chunk.offset = reader.take<quint64>();
        if (!reader.ok())
            return std::nullopt;
        chunk.data = reader.rest();
        if (chunk.data.isEmpty() || chunk.data.size() > kMaxChunkBytes)
            return std::nullopt;
        return chunk;
    }
    case static_cast<quint8>(PartType::Cancel): {
        Cancel cancel;
        cancel.transferId = reader.take<quint32>();
        const quint8 reason = reader.take<quint8>();
        const quint8 side = reader.take<quint8>();
        if (!reader.ok() || reason < 1 || reason > 4 || side < 1 || side > 2)
            return std::nullopt;
        cancel.reason = static_cast<CancelReason>(reason);
        cancel.side = static_cast<CancelSide>(side);
        return cancel;
    }
    case static_cast<quint8>(PartType::Done): {
        Done done;
        done.transferId = reader.take<quint32>();
        if (!reader.ok())
            return std::nullopt;
        return done;
    }
    default:
        return std::nullopt;
    }
}

} // namespace transfer
