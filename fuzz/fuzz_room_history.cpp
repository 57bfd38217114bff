// The History frame's body as a hostile host sends it, and a room's history fed
// hostile payloads: decoding never reads past the body, what decodes encodes back to
// the same bytes, and the history never holds more than its bound.

#include "session/wire/RoomHistory.h"

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const auto lines = session::RoomHistory::decode(body)) {
        session::RoomHistory history;
        history.seed(*lines);
        const QByteArray again = history.encode();
        check(session::RoomHistory::decode(again).has_value());
    }
    // The same bytes as a stream of public payloads, split at every 0xff byte, into a
    // history of 200 characters.
    session::RoomHistory history;
    history.setLimit(200);
    history.setObeysSysclear(size % 2 == 0);
    for (const QByteArray& payload : body.split('\xff')) {
        history.addPublic(static_cast<session::PlayerId>(payload.size() % 3 + 1), QStringLiteral("A;"), 0, payload);
        qsizetype chars = 0;
        for (const session::HistoryLine& line : history.lines())
            chars += line.name.size() + 4 + line.text.size();
        check(chars <= 200);
    }
    return 0;
}
