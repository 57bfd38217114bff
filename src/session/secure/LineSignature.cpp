#include "session/secure/LineSignature.h"

#include <QtEndian>

namespace session::secure {

namespace {

void appendBig(QByteArray& out, quint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

} // namespace

QByteArray lineSignedBytes(const PublicBytes<kSignPublicBytes>& roomKey, PlayerId sender, PlayerId receiver,
                           quint32 seq, QByteArrayView payload) {
    static constexpr QByteArrayView kLabel("mirelune line");
    QByteArray out;
    out.reserve(kLabel.size() + static_cast<qsizetype>(roomKey.size()) + 12 + payload.size());
    out.append(kLabel);
    out.append(reinterpret_cast<const char*>(roomKey.data()), static_cast<qsizetype>(roomKey.size()));
    appendBig(out, static_cast<quint32>(sender));
    appendBig(out, static_cast<quint32>(receiver));
    appendBig(out, seq);
    out.append(payload);
    return out;
}

QByteArray signLine(const SigningKey& key, const PublicBytes<kSignPublicBytes>& roomKey, PlayerId sender,
                    PlayerId receiver, quint32 seq, QByteArrayView payload) {
    return key.sign(lineSignedBytes(roomKey, sender, receiver, seq, payload));
}

bool verifyLine(const PublicBytes<kSignPublicBytes>& senderKey, QByteArrayView signature,
                const PublicBytes<kSignPublicBytes>& roomKey, PlayerId sender, PlayerId receiver, quint32 seq,
                QByteArrayView payload) {
    if (senderKey == PublicBytes<kSignPublicBytes>{} || signature.size() != kLineSignatureBytes) {
        return false;
    }
    return verifySignature(senderKey, lineSignedBytes(roomKey, sender, receiver, seq, payload), signature);
}

QByteArray receiptSignedBytes(const PublicBytes<kSignPublicBytes>& roomKey, PlayerId receiver, PlayerId sender,
                              quint32 seq) {
    QByteArray out("mirelune receipt");
    out.append(reinterpret_cast<const char*>(roomKey.data()), static_cast<qsizetype>(roomKey.size()));
    appendBig(out, static_cast<quint32>(receiver));
    appendBig(out, static_cast<quint32>(sender));
    appendBig(out, seq);
    return out;
}

QByteArray resumeSignedBytes(QByteArrayView handshakeHash, PlayerId player) {
    QByteArray out("mirelune resume");
    out.append(handshakeHash);
    appendBig(out, static_cast<quint32>(player));
    return out;
}

} // namespace session::secure
