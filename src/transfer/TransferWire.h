#pragma once

#include "session/wire/Message.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <variant>

namespace transfer {

// The chat message kind that carries a file offer (beside 0 public and 1 private lines).
inline constexpr qint32 kOfferKind = 2;
// The most data one chunk carries, and the longest offered name in UTF-16 units.
inline constexpr qsizetype kMaxChunkBytes = 64 * 1024;
inline constexpr qsizetype kMaxOfferNameUnits = 1000;

// A file offered to the room or to one member, as its chat message carries it
// (docs/protocol.md, "Transfers"): kind 2, transfer id, size (an i64 written as two
// i32, high half first), BLAKE2b-256 of the file as 64 lowercase hex chars, name.
struct Offer {
    quint32 transferId = 0; // chosen by the sender, unique per sender, from 1
    qint64 size = 0;
    QString hash;
    QString name;
};

session::Message encodeOffer(const Offer& offer);
// Nothing for a payload cut short, a kind other than 2, a transfer id below 1, a
// negative size, a hash that is not 64 hex chars, an empty name or one above
// kMaxOfferNameUnits.
std::optional<Offer> decodeOffer(session::Message payload);

enum class PartType : quint8 { Want = 1, Chunk = 2, Cancel = 3, Done = 4 };

// Receiver -> sender: "I hold `have` bytes from the start; send up to `upTo`". The first
// Want of a transfer is its acceptance; `restart` asks to send again from `have`.
struct Want {
    quint32 transferId = 0;
    quint64 have = 0;
    quint64 upTo = 0;
    bool restart = false;
};
// Sender -> receiver: 1 to kMaxChunkBytes bytes of the file at `offset`.
struct Chunk {
    quint32 transferId = 0;
    quint64 offset = 0;
    QByteArray data;
};
enum class CancelReason : quint8 { ByUser = 1, Error = 2, Unknown = 3, Limit = 4 };
// Which end of the transfer a Cancel comes from. Both players may send a file with the
// same transfer id to each other, so the id alone does not say which one ends.
enum class CancelSide : quint8 { Sender = 1, Receiver = 2 };
// Either way: the transfer ends.
struct Cancel {
    quint32 transferId = 0;
    CancelReason reason = CancelReason::ByUser;
    CancelSide side = CancelSide::Sender;
};
// Receiver -> sender: the whole file arrived and its hash held.
struct Done {
    quint32 transferId = 0;
};

using Part = std::variant<Want, Chunk, Cancel, Done>;

QByteArray encodePart(const Part& part);
// Nothing for an unknown type, a part too short for its type, a chunk without data or
// with more than kMaxChunkBytes, an unknown cancel reason or side. Bytes after a fixed-size
// part are ignored, so later versions may add fields.
std::optional<Part> decodePart(const QByteArray& bytes);

} // namespace transfer
