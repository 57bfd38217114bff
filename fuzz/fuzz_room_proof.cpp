// The host's room proof (Noise message 2's payload) and the Delegation frame's body, as
// a member reads them (RoomIdentity.h): whatever arrives reads or does not, never
// beyond its end; what reads encodes back to the bytes it was read from, and checking
// it against any key and name is a plain yes or no.

#include "session/secure/RoomIdentity.h"

#include <cstdint>
#include <cstdlib>

using namespace session::secure;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!sodiumReady())
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const auto proof = readProof(input)) {
        const QByteArray encoded = proof->encodeProof();
        if (!input.startsWith(encoded))
            std::abort();
        // The host's Noise key as the last link names it: only the signatures decide.
        (void)proof->verify(QStringLiteral("広場"), proof->links.constLast().noiseKey);
    }
    if (const auto links = readLinks(input)) {
        if (links->isEmpty() || links->size() > kMaxHostingLinks ||
            !input.startsWith(HostingChain{RoomKey{}, *links}.encodeLinks()))
            std::abort();
    }
    (void)readMemberOffer(input);
    return 0;
}
