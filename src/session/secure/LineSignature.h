#pragma once

#include "session/SessionTypes.h"
#include "session/secure/KeyStore.h"

#include <QByteArray>
#include <QByteArrayView>

namespace session::secure {

// Every chat line is signed by its author's copy with its device signing key and
// checked by every receiver, so neither a host nor a copy that took the room over can
// write one in somebody else's name (docs/protocol.md, "Signed lines"). The signature
// covers the room's key too, so a line cannot be replayed into another room.
inline constexpr qsizetype kLineSignatureBytes = 64;

// What a line's signature covers: "mirelune line" (13 ASCII bytes) ‖ room key (32) ‖
// sender i32 ‖ receiver i32 ‖ seq u32 (big-endian) ‖ payload.
QByteArray lineSignedBytes(const PublicBytes<kSignPublicBytes>& roomKey, PlayerId sender, PlayerId receiver,
                           quint32 seq, QByteArrayView payload);
QByteArray signLine(const SigningKey& key, const PublicBytes<kSignPublicBytes>& roomKey, PlayerId sender,
                    PlayerId receiver, quint32 seq, QByteArrayView payload);
// False for an all-zero key (a player that offered none): its lines cannot be checked.
bool verifyLine(const PublicBytes<kSignPublicBytes>& senderKey, QByteArrayView signature,
                const PublicBytes<kSignPublicBytes>& roomKey, PlayerId sender, PlayerId receiver, quint32 seq,
                QByteArrayView payload);

// A member proves at Resume that it holds its player's key: "mirelune resume"
// (15 ASCII bytes) ‖ the connection's Noise handshake hash (64) ‖ player id i32.
QByteArray resumeSignedBytes(QByteArrayView handshakeHash, PlayerId player);

// A receiver tells a sender which of its lines it has: "mirelune receipt" (16 ASCII
// bytes) ‖ room key (32) ‖ receiver i32 ‖ sender i32 ‖ the highest seq of the sender's
// lines the receiver has taken, u32.
QByteArray receiptSignedBytes(const PublicBytes<kSignPublicBytes>& roomKey, PlayerId receiver, PlayerId sender,
                              quint32 seq);

} // namespace session::secure
