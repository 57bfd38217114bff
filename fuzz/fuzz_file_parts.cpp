// The file transfers' decoders on hostile input: the same bytes are read as a file part
// and as an offer's message payload. Whatever decodes must encode and decode back to
// the same values, and a chunk's data must stay within its bounds.

#include "transfer/TransferWire.h"

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

bool same(const transfer::Part& a, const transfer::Part& b) {
    using namespace transfer;
    if (a.index() != b.index())
        return false;
    if (const auto* w = std::get_if<Want>(&a)) {
        const auto& v = std::get<Want>(b);
        return w->transferId == v.transferId && w->have == v.have && w->upTo == v.upTo && w->restart == v.restart;
    }
    if (const auto* c = std::get_if<Chunk>(&a)) {
        const auto& d = std::get<Chunk>(b);
        return c->transferId == d.transferId && c->offset == d.offset && c->data == d.data;
    }
    if (const auto* c = std::get_if<Cancel>(&a)) {
        const auto& d = std::get<Cancel>(b);
        return c->transferId == d.transferId && c->reason == d.reason && c->side == d.side;
    }
    return std::get<Done>(a).transferId == std::get<Done>(b).transferId;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    if (const std::optional<transfer::Part> part = transfer::decodePart(bytes)) {
        if (const auto* chunk = std::get_if<transfer::Chunk>(&*part))
            check(!chunk->data.isEmpty() && chunk->data.size() <= transfer::kMaxChunkBytes);
        const std::optional<transfer::Part> again = transfer::decodePart(transfer::encodePart(*part));
        check(again && same(*part, *again));
    }

    if (const std::optional<transfer::Offer> offer = transfer::decodeOffer(session::Message(bytes))) {
        check(offer->transferId > 0 && offer->size >= 0 && offer->hash.size() == 64 && !offer->name.isEmpty() &&
              offer->name.size() <= transfer::kMaxOfferNameUnits);
        const std::optional<transfer::Offer> again = transfer::decodeOffer(transfer::encodeOffer(*offer));
        check(again && again->transferId == offer->transferId && again->size == offer->size &&
              again->hash == offer->hash && again->name == offer->name);
    }
    return 0;
}
