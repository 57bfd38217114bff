// What the room connection's cryptography costs on this machine: a whole XX handshake
// (both sides, in one process), the room's identity at a join (the host's delegation
// to the member, the member's check of the host's proof), a chat line's signature (its
// author's copy signing it, every receiver checking it), sealing and opening records
// of 4 KiB write batches (under each cipher this processor can run), and a password
// room's sealed listing answer (the room's side, and the lister's opening of it).
// Prints one line per figure; bench/run.sh does not need it, it is run by hand
// (`mirelune-crypto-bench [handshakes] [megabytes]`).

#include "session/secure/LineSignature.h"
#include "session/secure/ListingSeal.h"
#include "session/secure/Noise.h"
#include "session/secure/RecordLayer.h"
#include "session/secure/RoomIdentity.h"

#include <QByteArray>
#include <cstdio>
#include <cstdlib>
#include <ctime>

using namespace session::secure;
namespace {

// Processor time of this process, not wall time: the figures hold on a busy machine.
struct Clock {
    using time_point = std::clock_t;
    static time_point now() { return std::clock(); }
};

double secondsSince(Clock::time_point start) {
    return double(Clock::now() - start) / CLOCKS_PER_SEC;
}

bool handshake(const KeyPair25519& member, const KeyPair25519& host) {
    HandshakeState initiator(HandshakeState::Role::Initiator, member, "MLRN");
    HandshakeState responder(HandshakeState::Role::Responder, host, "MLRN");
    const auto m1 = initiator.writeMessage({});
    if (!m1 || !responder.readMessage(*m1))
        return false;
    const auto m2 = responder.writeMessage("room key and signature, about a hundred bytes of payload .......");
    if (!m2 || !initiator.readMessage(*m2))
        return false;
    const auto m3 = initiator.writeMessage({});
    return m3 && responder.readMessage(*m3) && initiator.split() && responder.split();
}

} // namespace

int main(int argc, char** argv) {
    const int handshakes = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int megabytes = argc > 2 ? std::atoi(argv[2]) : 256;
    if (!sodiumReady() || handshakes <= 0 || megabytes <= 0)
        return 1;
    const KeyPair25519 member = *KeyPair25519::generate();
    const KeyPair25519 host = *KeyPair25519::generate();

    Clock::time_point start = Clock::now();
    for (int i = 0; i < handshakes; ++i) {
        if (!handshake(member, host))
            return 1;
    }
    std::printf("XX handshake, both sides: %.1f us\n", secondsSince(start) * 1e6 / handshakes);

    SecretBytes<crypto_sign_SEEDBYTES> seed;
    randombytes_buf(seed.data(), seed.size());
    const DeviceKey device{host, SigningKey::fromSeed(seed)};
    const HostingAuthority authority(QStringLiteral("広場"), SigningKey::fromSeed(seed), device);
    start = Clock::now();
    for (int i = 0; i < handshakes; ++i) {
        if (!authority.delegate(member.publicKey, device.signing.publicKey))
            return 1;
    }
    std::printf("delegation to a member (host): %.1f us\n", secondsSince(start) * 1e6 / handshakes);
    const QByteArray proof = authority.chain().encodeProof();
    start = Clock::now();
    for (int i = 0; i < handshakes; ++i) {
        const auto chain = readProof(proof);
        if (!chain || !chain->verify(QStringLiteral("広場"), host.publicKey))
            return 1;
    }
    std::printf("room proof of one link checked (member): %.1f us\n", secondsSince(start) * 1e6 / handshakes);

    // A public chat line of 40 characters of Japanese, as the program writes it.
    const QByteArray line = QByteArray(4, '\0') + QByteArray(4, '\0') + QByteArray(120, 'j');
    const RoomKey roomKey = authority.chain().roomKey;
    QByteArray signature;
    start = Clock::now();
    for (int i = 0; i < handshakes * 10; ++i)
        signature = signLine(device.signing, roomKey, 2, 0, static_cast<quint32>(i + 1), line);
    const double signSeconds = secondsSince(start);
    start = Clock::now();
    for (int i = 0; i < handshakes * 10; ++i) {
        if (!verifyLine(device.signing.publicKey, signature, roomKey, 2, 0, static_cast<quint32>(handshakes * 10),
                        line))
            return 1;
    }
    std::printf("chat line of 128 bytes: signing it (sender) %.1f us, checking it (each receiver) %.1f us\n",
                signSeconds * 1e6 / (handshakes * 10), secondsSince(start) * 1e6 / (handshakes * 10));

    SecretBytes<kCipherKeyBytes> key;
    randombytes_buf(key.data(), key.size());
    for (const NoiseCipher algorithm : {NoiseCipher::ChaChaPoly, NoiseCipher::AesGcm}) {
        if (algorithm == NoiseCipher::AesGcm && !aesGcmAvailable()) {
            std::printf("records under AES-256-GCM: not on this processor (no AES instructions)\n");
            continue;
        }
        // A host's records are mostly a few hundred bytes (a line or two for one member)
        // to a few KiB (a turn's lines).
        for (const qsizetype batchBytes : {256, 4096}) {
            CipherState cipher(algorithm);
            cipher.initializeKey(key);
            RecordEncoder encoder(cipher);
            const QByteArray batch(batchBytes, 'f');
            const int batches = static_cast<int>(qint64(megabytes) * 1024 * 1024 / batchBytes);
            QByteArray sealed;
            start = Clock::now();
            for (int i = 0; i < batches; ++i)
                sealed = *encoder.seal(batch);
            const double sealSeconds = secondsSince(start);
            // Opening needs the records in order: seal and open in turn, and take away the sealing time.
            RecordEncoder pairedEncoder(cipher);
            RecordDecoder decoder(cipher);
            start = Clock::now();
            qsizetype opened = 0;
            for (int i = 0; i < batches; ++i) {
                decoder.feed(*pairedEncoder.seal(batch));
                opened += decoder.next().value_or(QByteArray()).size();
            }
            const double openSeconds = secondsSince(start) - sealSeconds;
            if (opened != qsizetype(batches) * batch.size())
                return 1;
            const double mb = double(batches) * batch.size() / 1e6;
            std::printf("records of %s batches under %s: seal %.0f MB/s (%.2f us each), open %.0f MB/s\n",
                        batchBytes == 4096 ? "4 KiB" : "256-byte",
                        algorithm == NoiseCipher::AesGcm ? "AES-256-GCM" : "ChaCha20-Poly1305", mb / sealSeconds,
                        sealSeconds * 1e6 / batches, mb / openSeconds);
        }
    }

    const QString password = QStringLiteral("a password"), application = QStringLiteral("{application}");
    const QByteArray nonce(16, 'n'), description(796, 'd');
    const auto lister = ListingSecret::start(password, application, nonce);
    std::optional<SealedListing> answer;
    start = Clock::now();
    for (int i = 0; i < handshakes; ++i)
        answer = sealListing(password, application, nonce, lister->share(), description);
    const double sealAnswerSeconds = secondsSince(start);
    start = Clock::now();
    for (int i = 0; i < handshakes; ++i) {
        if (lister->open(answer->share, answer->sealed) != description)
            return 1;
    }
    std::printf("password room's listing answer: room %.1f us, lister opening it %.1f us\n",
                sealAnswerSeconds * 1e6 / handshakes, secondsSince(start) * 1e6 / handshakes);
    return 0;
}
