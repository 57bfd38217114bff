// The XX handshake and its transport under both ciphers, byte for byte against an
// independent Noise implementation (python3-dissononce) run with the same fixed keys.
#include "session/secure/Noise.h"

#include "common/TestSupport.h"
#include "session/secure/RecordLayer.h"
#include "session/secure/SecureChannel.h"
#include "session/wire/FrameCodec.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>

using namespace session::secure;
using namespace Qt::StringLiterals;

namespace {

// Plays both sides of the handshake with the keys given as hex arguments (prologue,
// initiator static, initiator ephemeral, responder static, responder ephemeral) and the
// cipher's name, and prints, one hex line each: the three messages, the handshake hash, a transport
// message each way, one each way after both rekeyed, one record each way, and one
// record each way after a further secret was mixed in.
constexpr char kScript[] = R"(
import struct, sys
from dissononce.processing.impl.handshakestate import HandshakeState
from dissononce.processing.impl.symmetricstate import SymmetricState
from dissononce.processing.impl.cipherstate import CipherState
from dissononce.processing.handshakepatterns.interactive.XX import XXHandshakePattern
from dissononce.cipher.chachapoly import ChaChaPolyCipher
from dissononce.cipher.aesgcm import AESGCMCipher
from dissononce.dh.x25519.x25519 import X25519DH
from dissononce.dh.private import PrivateKey
from dissononce.hash.blake2b import Blake2bHash
from dissononce.extras.dh.dangerous.dh_nogen import NoGenDH

prologue, si, ei, sr, er = (bytes.fromhex(a) for a in sys.argv[1:6])
Cipher = {"ChaChaPoly": ChaChaPolyCipher, "AESGCM": AESGCMCipher}[sys.argv[6]]
def party(initiator, static, ephemeral):
    hs = HandshakeState(SymmetricState(CipherState(Cipher()), Blake2bHash()),
                        NoGenDH(X25519DH(), PrivateKey(ephemeral)))
    hs.initialize(XXHandshakePattern(), initiator, prologue, s=X25519DH().generate_keypair(PrivateKey(static)))
    return hs
i, r = party(True, si, ei), party(False, sr, er)
out = []
def send(writer, reader, payload):
    m = bytearray(); result = writer.write_message(payload, m)
    p = bytearray(); reader.read_message(bytes(m), p)
    assert bytes(p) == payload
    out.append(bytes(m)); return result
send(i, r, b"hello")
send(r, i, b"room")
ic = send(i, r, b"member")
out.append(i.symmetricstate.get_handshake_hash())
i_send, i_recv = ic
out.append(i_send.encrypt_with_ad(b"", b"ping"))
out.append(i_recv.cipher.encrypt(i_recv._key, 0, b"", b"pong"))
# REKEY as the framework defines it: the first 32 bytes, the counter kept (the
# package's own rekey keeps all 48 bytes and resets the counter).
def rekey(c): c._key = c.cipher.encrypt(c._key, 2**64 - 1, b"", bytes(32))[:32]
rekey(i_send); rekey(i_recv)
out.append(i_send.encrypt_with_ad(b"", b"after rekey"))
out.append(i_recv.cipher.encrypt(i_recv._key, 1, b"", b"answer"))
def record(cipher, nonce, plaintext):
    header = struct.pack(">H", len(plaintext) + 16)
    return header + cipher.cipher.encrypt(cipher._key, nonce, header, plaintext)
out.append(record(i_send, 2, b"frames"))
out.append(record(i_recv, 2, b"more frames"))
# Both directions re-keyed from the handshake's chaining key and a further secret.
_, k1, k2 = Blake2bHash().hkdf(i.symmetricstate._ck, bytes([0x11] * 64), 3)
for k, text in ((k1, b"after the password"), (k2, b"welcome")):
    header = struct.pack(">H", len(text) + 16)
    out.append(header + Cipher().encrypt(k[:32], 0, header, text))
print("\n".join(x.hex() for x in out))
)";

SecretBytes<kDhBytes> secretOf(char fill) {
    SecretBytes<kDhBytes> secret;
    std::fill(secret.data(), secret.data() + kDhBytes, static_cast<unsigned char>(fill));
    secret.data()[0] = 0x40; // any 32 bytes do; a distinct first byte for reading dumps
    return secret;
}

QString hexOf(const SecretBytes<kDhBytes>& secret) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(secret.data()), static_cast<qsizetype>(kDhBytes)).toHex());
}

} // namespace

namespace {

void matchTheIndependentImplementation(NoiseCipher cipher) {
    const QString python = QStandardPaths::findExecutable(u"python3"_s, {u"/usr/bin"_s});
    ASSERT_FALSE(python.isEmpty()) << "python3 with python3-dissononce (scripts/setup.sh installs it)";
    QTemporaryDir dir;
    testsupport::writeAll(dir.filePath(u"xx.py"_s), kScript);

    const QByteArray prologue = "MLRN\x00\x04 mirelune room";
    const SecretBytes<kDhBytes> keys[4] = {secretOf('a'), secretOf('b'), secretOf('c'), secretOf('d')};
    const QString name = cipher == NoiseCipher::AesGcm ? u"AESGCM"_s : u"ChaChaPoly"_s;
    QProcess process;
    process.start(python, {dir.filePath(u"xx.py"_s), QString::fromLatin1(prologue.toHex()), hexOf(keys[0]),
                           hexOf(keys[1]), hexOf(keys[2]), hexOf(keys[3]), name});
    ASSERT_TRUE(process.waitForFinished(30000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    QList<QByteArray> theirs;
    for (const QByteArray& line : process.readAllStandardOutput().trimmed().split('\n'))
        theirs.append(QByteArray::fromHex(line));
    ASSERT_EQ(theirs.size(), 12);

    HandshakeState initiator(HandshakeState::Role::Initiator, KeyPair25519::fromSecret(keys[0]), prologue,
                             KeyPair25519::fromSecret(keys[1]), cipher);
    HandshakeState responder(HandshakeState::Role::Responder, KeyPair25519::fromSecret(keys[2]), prologue,
                             KeyPair25519::fromSecret(keys[3]), cipher);
    // Each side writes what the other implementation wrote and reads what it wrote.
    const struct {
        HandshakeState& writer;
        HandshakeState& reader;
        QByteArray payload;
    } messages[] = {{initiator, responder, "hello"}, {responder, initiator, "room"}, {initiator, responder, "member"}};
    for (int i = 0; i < 3; ++i) {
        const auto written = messages[i].writer.writeMessage(messages[i].payload);
        ASSERT_TRUE(written.ok()) << i;
        EXPECT_EQ(written->toHex(), theirs[i].toHex()) << "message " << i + 1;
        const auto read = messages[i].reader.readMessage(theirs[i]);
        ASSERT_TRUE(read.ok()) << i;
        EXPECT_EQ(*read, messages[i].payload);
    }
    ASSERT_TRUE(initiator.finished() && responder.finished());
    EXPECT_EQ(toBytes(initiator.handshakeHash()).toHex(), theirs[3].toHex());
    EXPECT_EQ(toBytes(responder.handshakeHash()), theirs[3]);
    EXPECT_EQ(toBytes(responder.remoteStatic()), toBytes(KeyPair25519::fromSecret(keys[0]).publicKey));

    TransportState a = *initiator.split();
    TransportState b = *responder.split();
    EXPECT_EQ(a.send.encryptWithAd({}, "ping")->toHex(), theirs[4].toHex());
    EXPECT_EQ(b.receive.decryptWithAd({}, theirs[4]).value_or("failed"), "ping");
    EXPECT_EQ(b.send.encryptWithAd({}, "pong")->toHex(), theirs[5].toHex());
    EXPECT_EQ(a.receive.decryptWithAd({}, theirs[5]).value_or("failed"), "pong");
    for (CipherState* cipher : {&a.send, &a.receive, &b.send, &b.receive})
        cipher->rekey();
    EXPECT_EQ(a.send.encryptWithAd({}, "after rekey")->toHex(), theirs[6].toHex());
    EXPECT_EQ(b.receive.decryptWithAd({}, theirs[6]).value_or("failed"), "after rekey");
    EXPECT_EQ(b.send.encryptWithAd({}, "answer")->toHex(), theirs[7].toHex());
    EXPECT_EQ(a.receive.decryptWithAd({}, theirs[7]).value_or("failed"), "answer");

    // Records: the documented layout, sealed by the other implementation's AEAD.
    RecordEncoder toResponder(a.send);
    RecordDecoder atResponder(b.receive);
    EXPECT_EQ(toResponder.seal("frames")->toHex(), theirs[8].toHex());
    atResponder.feed(theirs[8]);
    EXPECT_EQ(atResponder.next().value_or("failed"), "frames");
    RecordDecoder atInitiator(a.receive);
    atInitiator.feed(theirs[9]);
    EXPECT_EQ(atInitiator.next().value_or("failed"), "more frames");

    const SecretBytes<64> secret = [] {
        SecretBytes<64> bytes;
        std::fill(bytes.data(), bytes.data() + 64, 0x11);
        return bytes;
    }();
    a.mixSecret(secret.data(), secret.size());
    b.mixSecret(secret.data(), secret.size());
    EXPECT_EQ(RecordEncoder(a.send).seal("after the password")->toHex(), theirs[10].toHex());
    EXPECT_EQ(RecordEncoder(b.send).seal("welcome")->toHex(), theirs[11].toHex());
}

} // namespace

TEST(Noise, MatchesAnIndependentImplementationBothWays) {
    for (const NoiseCipher cipher : {NoiseCipher::ChaChaPoly, NoiseCipher::AesGcm}) {
        if (cipher == NoiseCipher::AesGcm && !aesGcmAvailable()) {
            std::printf("AES-256-GCM left out: this processor has no AES instructions\n");
            continue;
        }
        SCOPED_TRACE(noiseProtocolName(cipher).toByteArray().toStdString());
        matchTheIndependentImplementation(cipher);
    }
}

// What a hostile peer or a confused caller can do to a handshake: every one is a
// result, and the state stays failed after it.
TEST(Noise, RefusesHostileHandshakeMessages) {
    const KeyPair25519 hostKey = *KeyPair25519::generate();
    const KeyPair25519 memberKey = *KeyPair25519::generate();
    const KeyPair25519 memberEphemeral = *KeyPair25519::generate();
    // The same member every time, so that the host's real second message fits it.
    const auto fresh = [&](HandshakeState::Role role) {
        return role == HandshakeState::Role::Initiator ? HandshakeState(role, memberKey, "p", memberEphemeral)
                                                       : HandshakeState(role, hostKey, "p");
    };
    HandshakeState member = fresh(HandshakeState::Role::Initiator);
    HandshakeState host = fresh(HandshakeState::Role::Responder);
    const QByteArray first = *member.writeMessage({});
    ASSERT_TRUE(host.readMessage(first).ok());
    const QByteArray second = *host.writeMessage({});
    QByteArray flipped = second;
    flipped[40] = static_cast<char>(flipped[40] ^ 1);

    const struct {
        const char* what;
        HandshakeState::Role role;
        QByteArray message;
        HandshakeError error;
    } cases[] = {
        {"first message shorter than a key", HandshakeState::Role::Responder, first.left(31),
         HandshakeError::Malformed},
        {"first message longer than Noise allows", HandshakeState::Role::Responder, QByteArray(65536, 'x'),
         HandshakeError::Malformed},
        {"low-order ephemeral key", HandshakeState::Role::Initiator, QByteArray(96, '\0'), HandshakeError::WeakKey},
        {"second message cut", HandshakeState::Role::Initiator, second.left(95), HandshakeError::Malformed},
        {"static key tampered", HandshakeState::Role::Initiator, flipped, HandshakeError::Decryption},
        {"a read when a write is due", HandshakeState::Role::Initiator, first, HandshakeError::OutOfTurn},
    };
    for (const auto& c : cases) {
        HandshakeState state = fresh(c.role);
        if (c.role == HandshakeState::Role::Initiator && c.error != HandshakeError::OutOfTurn) {
            ASSERT_EQ(*state.writeMessage({}), first);
        }
        const auto read = state.readMessage(c.message);
        ASSERT_FALSE(read.ok()) << c.what;
        EXPECT_EQ(read.error(), c.error) << c.what;
        EXPECT_TRUE(state.failed()) << c.what;
        EXPECT_FALSE(state.writeMessage({}).ok()) << c.what;
        EXPECT_FALSE(state.split()) << c.what;
    }
}

// A member offers AES-256-GCM in its prologue where its processor has it; a host takes
// it where its own has it too. A member that offers nothing, and a host that does not
// choose it (one of an earlier release of this version), run ChaChaPoly with anybody.
TEST(Noise, AMemberAndAHostOfEitherKindAgreeOnTheirCipher) {
    const QString application = u"app"_s;
    const KeyPair25519 memberKey = *KeyPair25519::generate();
    const KeyPair25519 hostKey = *KeyPair25519::generate();
    const bool aes = aesGcmAvailable();
    const struct {
        bool offers, hostChooses;
        NoiseCipher expected;
    } cases[] = {
        {true, true, aes ? NoiseCipher::AesGcm : NoiseCipher::ChaChaPoly},
        {true, false, NoiseCipher::ChaChaPoly},
        {false, true, NoiseCipher::ChaChaPoly},
    };
    for (const auto& c : cases) {
        SecureChannel member(memberKey, session::encodePrologue(application, c.offers && aes));
        // A host that does not choose it does not read the offer.
        SecureChannel host(
            hostKey, [&](QByteArrayView bytes) { return session::acceptedPrologue(bytes, application); },
            c.hostChooses ? SecureChannel::AesGcmOffer(session::prologueOffersAesGcm) : SecureChannel::AesGcmOffer());
        QByteArray plain, toMember, toHost;
        ASSERT_TRUE(host.receive(member.start(), plain, toMember));
        ASSERT_TRUE(member.receive(toMember, plain, toHost));
        ASSERT_TRUE(host.receive(QByteArray(toHost + member.seal(QByteArrayView("Hello"))), plain, toMember));
        ASSERT_TRUE(member.isOpen() && host.isOpen()) << c.offers << c.hostChooses;
        EXPECT_EQ(member.cipher(), c.expected);
        EXPECT_EQ(host.cipher(), c.expected);
        EXPECT_EQ(plain, "Hello");
        // A password room's re-key keeps the cipher.
        ASSERT_TRUE(member.rekey("secret") && host.rekey("secret"));
        QByteArray back;
        ASSERT_TRUE(member.receive(host.seal(QByteArrayView("Welcome")), back, toHost));
        EXPECT_EQ(back, "Welcome");
    }
}
