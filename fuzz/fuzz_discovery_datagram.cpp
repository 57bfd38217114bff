// Room discovery datagrams from the network (and the ListQuery/ListAnswer frame
// bodies, which hold the same bytes), the description inside a sealed answer, and the host address a user types for the
// Internet connection. A datagram that parses must hold fields of the documented
// sizes, and must survive being encoded and parsed again unchanged.

#include "session/wire/DiscoveryDatagram.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr qsizetype kNonceBytes = 16;
constexpr qsizetype kShareBytes = 32;
constexpr qsizetype kMaxNameBytes = session::kMaxNameChars * 3;

void check(bool condition) {
    if (!condition)
        std::abort();
}

bool fitsOnTheWire(const QString& name) {
    return name.toUtf8().size() <= kMaxNameBytes;
}

bool operator==(const session::DiscoveryQuery& a, const session::DiscoveryQuery& b) {
    return a.nonce == b.nonce && a.applicationId == b.applicationId && a.share == b.share;
}

bool operator==(const session::DiscoveryAnswer& a, const session::DiscoveryAnswer& b) {
    return a.nonce == b.nonce && a.instanceId == b.instanceId && a.applicationId == b.applicationId &&
           a.roomName == b.roomName && a.port == b.port && a.numericAttribute == b.numericAttribute &&
           a.passwordProtected == b.passwordProtected && a.acceptsPlayers == b.acceptsPlayers &&
           a.memberCount == b.memberCount;
}

void checkQuery(const QByteArray& datagram) {
    const std::optional<session::DiscoveryQuery> query = session::parseQuery(datagram);
    if (!query)
        return;
    check(datagram.size() <= session::kMaxDiscoveryDatagramBytes);
    check(query->nonce.size() == kNonceBytes);
    check(query->share.isEmpty() || query->share.size() == kShareBytes);
    if (!fitsOnTheWire(query->applicationId))
        return;
    const std::optional<session::DiscoveryQuery> again = session::parseQuery(session::encodeQuery(*query));
    check(again && *again == *query);
}

void checkAnswer(const QByteArray& datagram) {
    const std::optional<session::DiscoveryAnswer> answer = session::parseAnswer(datagram);
    if (!answer)
        return;
    check(datagram.size() <= session::kMaxDiscoveryDatagramBytes);
    check(answer->nonce.size() == kNonceBytes && answer->instanceId.size() == kNonceBytes);
    check(answer->port != 0);
    check(!answer->passwordProtected);
    if (!fitsOnTheWire(answer->applicationId) || !fitsOnTheWire(answer->roomName))
        return;
    const std::optional<session::DiscoveryAnswer> again = session::parseAnswer(session::encodeAnswer(*answer));
    check(again && *again == *answer);
}

void checkSealedAnswer(const QByteArray& datagram) {
    const std::optional<session::SealedAnswer> answer = session::parseSealedAnswer(datagram);
    if (!answer)
        return;
    check(answer->nonce.size() == kNonceBytes && answer->share.size() == kShareBytes);
    check(answer->sealed.size() == session::kSealedDescriptionBytes + 16);
    check(session::encodeSealedAnswer(*answer) == datagram.left(session::kSealedAnswerBytes));
    // What a sealed answer opens to is read by the same rules; any bytes of its size may
    // come out of a forged seal opened by a room of the same password.
    const QByteArray plain =
        datagram.mid(session::kSealedAnswerBytes).leftJustified(session::kSealedDescriptionBytes, '\0', true);
    if (const auto description = session::parseSealedDescription(plain, answer->nonce, {})) {
        check(description->passwordProtected && description->port != 0 &&
              description->instanceId.size() == kNonceBytes);
        if (fitsOnTheWire(description->roomName)) {
            const auto again =
                session::parseSealedDescription(session::encodeSealedDescription(*description), answer->nonce, {});
            check(again && *again == *description);
        }
    }
}

void checkHostAndPort(const QByteArray& typed) {
    const QString text = QString::fromUtf8(typed);
    const std::optional<session::HostAndPort> parsed = session::parseHostAndPort(text, 47811);
    if (!parsed)
        return;
    check(!parsed->host.isEmpty() && !parsed->host.contains(u' ') && parsed->port != 0);
    check(text.contains(parsed->host));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray datagram(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkQuery(datagram);
    checkAnswer(datagram);
    checkSealedAnswer(datagram);
    if (size <= 300)
        checkHostAndPort(datagram);
    return 0;
}
