// A connection's byte stream as the host reads it (SecureChannel, the prologue check).
//
// Byte 0 chooses the case and the chunking. Case 0: the rest is what a stranger sends,
// in chunks: the host's side never opens, and once it reads in clear it passes every
// byte on unchanged (its owner refuses or ignores them). Case 1: an honest member's
// prologue and handshake, with the byte at the position given by bytes 1 and 2 changed
// by byte 3 (0: nothing changed), then the rest of the input sealed as the member's
// first record; bit 1 of byte 0 says whether the member offers AES-256-GCM (which the
// host then runs where the machine has it). Both sides open only when nothing was
// changed, and then the host reads exactly the member's bytes.

#include "session/secure/SecureChannel.h"
#include "session/wire/FrameCodec.h"

#include <cstdint>
#include <cstdlib>

using namespace session::secure;

namespace {

const QString kApplication = QStringLiteral("{AC330441-9B71-11D2-9AAB-0020781461AC}");

KeyPair25519 fixedKey(unsigned char seed) {
    SecretBytes<kDhBytes> secret;
    for (std::size_t i = 0; i < secret.size(); ++i)
        secret.data()[i] = static_cast<unsigned char>(seed + i);
    return KeyPair25519::fromSecret(secret);
}

SecureChannel hostSide() {
    return SecureChannel(
        fixedKey(1), [](QByteArrayView bytes) { return session::acceptedPrologue(bytes, kApplication); },
        session::prologueOffersAesGcm);
}

// Feeds `bytes` to `channel` in chunks; what it opens goes to `plain`, its answers to `reply`.
void feedChunked(SecureChannel& channel, const QByteArray& bytes, unsigned seed, QByteArray& plain, QByteArray& reply) {
    for (qsizetype fed = 0, step = 0; fed < bytes.size(); ++step) {
        const qsizetype chunk = 1 + static_cast<qsizetype>((seed * 31 + static_cast<unsigned>(step) * 17) % 257);
        const QByteArray piece = bytes.mid(fed, chunk);
        fed += piece.size();
        if (!channel.receive(piece, plain, reply) && !channel.failed())
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 || !sodiumReady())
        return 0;
    const unsigned seed = data[0];
    const QByteArray rest(reinterpret_cast<const char*>(data + 4), static_cast<qsizetype>(size - 4));
    QByteArray plain, reply;
    SecureChannel host = hostSide();
    if (seed % 2 == 0) {
        const QByteArray input(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
        feedChunked(host, input, seed, plain, reply);
        if (host.isOpen() || (host.state() == SecureChannel::State::Clear && plain != input))
            std::abort();
        return 0;
    }

    SecureChannel member(fixedKey(2), session::encodePrologue(kApplication, (seed & 2) != 0));
    QByteArray first = member.start();
    const std::size_t at = (std::size_t{data[1]} << 8 | data[2]) % static_cast<std::size_t>(first.size() + 200);
    const auto change = static_cast<char>(data[3]);
    bool changed = false;
    const auto tamper = [&](QByteArray& bytes, std::size_t from) {
        if (change != 0 && at >= from && at - from < static_cast<std::size_t>(bytes.size())) {
            const auto index = static_cast<qsizetype>(at - from);
            bytes[index] = static_cast<char>(bytes[index] ^ change);
            changed = true;
        }
    };
    tamper(first, 0);
    feedChunked(host, first, seed, plain, reply);
    tamper(reply, static_cast<std::size_t>(first.size()));
    QByteArray memberPlain, third;
    member.receive(reply, memberPlain, third);
    tamper(third, static_cast<std::size_t>(first.size() + reply.size()));
    third += member.seal(QByteArrayView(rest));
    QByteArray unused;
    feedChunked(host, third, seed, plain, unused);
    if (host.isOpen() && member.isOpen() &&
        (changed || plain != rest || host.handshakeHash() != member.handshakeHash()))
        std::abort();
    if (!changed && !(host.isOpen() && member.isOpen()))
        std::abort();
    return 0;
}
