// Who may answer for a room: the copy holding its key, or a copy that key delegated to.
#include "session/secure/RoomIdentity.h"

#include "SessionTestSupport.h"
#include "session/host/RoomHost.h"
#include "session/member/RoomMember.h"
#include "session/wire/PasswordProof.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace sessiontest;
using namespace session::secure;

namespace {

SigningKey randomSigningKey() {
    SecretBytes<crypto_sign_SEEDBYTES> seed;
    randombytes_buf(seed.data(), seed.size());
    return SigningKey::fromSeed(seed);
}

DeviceKey randomDevice() {
    return DeviceKey{KeyPair25519::generate().value(), randomSigningKey()};
}

RoomHost::Settings settingsFor(const QString& name, std::shared_ptr<const HostingAuthority> identity) {
    return RoomHost::Settings{appId(), name, u"pw"_s, kMigratingRoomAttribute, std::move(identity)};
}

} // namespace

// A member remembers the key of a room it joined. Another key under the same name is
// the caller's to accept, before any player is created; declined, nothing changes.
TEST(RoomIdentity, AJoinWhoseRoomKeyChangedAsksTheCallerFirst) {
    const SessionConfig config = loopbackConfig();
    // The keys folder outlives the run: a name of this run's own.
    const QString name = u"鍵の変わる部屋 "_s + QString::fromLatin1(proof::randomNonce().toHex());
    const SigningKey first = randomSigningKey(), second = randomSigningKey();
    const struct {
        const SigningKey* key;
        bool answer;
        bool asked; // as a change
        bool joins;
        const SigningKey* pinnedAfter;
    } steps[] = {
        {&first, false, false, true, &first},  // the first join takes any key
        {&first, false, false, true, &first},  // the same key again
        {&second, false, true, false, &first}, // declined: not joined, the old key kept
        {&second, true, true, true, &second},  // accepted: remembered
        {&first, false, true, false, &second}, // and the old key is a change now
    };
    for (const auto& step : steps) {
        RoomHost host(config, settingsFor(name, std::make_shared<HostingAuthority>(name, *step.key, deviceKeys())));
        ASSERT_TRUE(host.start(false).ok());
        TestCopy member(config);
        std::optional<RoomKeySeen> seen;
        member.service->setRoomKeyCheck([&](const RoomKeySeen& s) {
            seen = s;
            return !s.changed() || step.answer;
        });
        RoomDescription room = describe(name, u"pw"_s);
        room.hostAddress = u"127.0.0.1"_s;
        room.hostPort = host.port();
        const Status opened = member.service->openRoom(room, OpenMode::Join);
        ASSERT_TRUE(seen.has_value());
        EXPECT_EQ(seen->fingerprint, fingerprint(step.key->publicKey));
        EXPECT_EQ(seen->changed(), step.asked);
        EXPECT_EQ(opened.ok(), step.joins);
        EXPECT_EQ(member.service->roomFingerprint(), step.joins ? fingerprint(step.key->publicKey) : QString());
        if (!step.joins) {
            EXPECT_EQ(opened.error().code, kErrorCancelled);
            EXPECT_EQ(host.memberCount(), 0);
        }
        EXPECT_EQ(KeyStore(KeyStore::defaultFolder()).pinned(name), step.pinnedAfter->publicKey);
    }
}

// A member that knows the room's key follows a new host only when the key delegated
// to it, however many moves ago; a hostile member with the room's secret and password
// that hosts the room on its own is refused, as is one with a chain it made up.
TEST(RoomIdentity, OnlyACopyTheRoomKeyDelegatedToIsTakenAsTheNewHost) {
    const SessionConfig config = loopbackConfig();
    const QString name = u"引き継ぐ部屋"_s;
    const SigningKey roomKey = randomSigningKey();
    const DeviceKey firstSuccessor = randomDevice();
    const DeviceKey& self = deviceKeys();
    // The room moved to firstSuccessor, which admitted this device: a chain of two.
    const HostingAuthority creator(name, roomKey, firstSuccessor);
    const HostingAuthority moved(
        name, *creator.delegate(firstSuccessor.noise.publicKey, firstSuccessor.signing.publicKey), firstSuccessor);
    const HostingChain delegated = *moved.delegate(self.noise.publicKey, self.signing.publicKey);
    HostingChain forged =
        *HostingAuthority(name, randomSigningKey(), self).delegate(self.noise.publicKey, self.signing.publicKey);
    forged.roomKey = roomKey.publicKey;
    const struct {
        const char* what;
        std::shared_ptr<const HostingAuthority> identity;
        bool followed;
    } cases[] = {
        {"delegated twice", std::make_shared<HostingAuthority>(name, delegated, self), true},
        {"a key of its own", std::make_shared<HostingAuthority>(name, randomSigningKey(), self), false},
        {"the room's key with a link it signed", std::make_shared<HostingAuthority>(name, forged, self), false},
    };
    const QByteArray instance(proof::kNonceBytes, 'i');
    const QByteArray secret(kSecretBytes, 's');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const RoomSnapshot snapshot{instance, secret, {RoomPlayer{2, u"b"_s, QByteArray(kSecretBytes, 'b'), {}}}, 2, 3};
        RoomHost host(config, settingsFor(name, c.identity), snapshot);
        ASSERT_TRUE(host.start(false).ok());
        RoomMember member(config);
        std::optional<quint32> result;
        QObject::connect(&member, &RoomMember::opened, &member, [&] { result = 0; });
        QObject::connect(&member, &RoomMember::openFailed, &member, [&](const Error& e) { result = e.code; });
        member.expectRoomKey(roomKey.publicKey);
        member.open(u"127.0.0.1"_s, host.port(), appId(), u"pw"_s, secret);
        ASSERT_TRUE(testsupport::waitUntil([&] { return result.has_value(); }));
        EXPECT_EQ(*result, c.followed ? 0u : kErrorProtocol);
    }
}

// The room proof of docs/protocol.md, "Room identity", from the keys it names.
TEST(RoomIdentity, TheDocumentsRoomProofIsTheCodes) {
    QFile document(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../docs/protocol.md"));
    ASSERT_TRUE(document.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(document.readAll());
    const qsizetype begin = text.indexOf(u"```room-vectors\n"_s);
    ASSERT_GE(begin, 0);
    const QString block = text.mid(begin, text.indexOf(u"```\n"_s, begin + 3) - begin);
    // `name = value` lines; an indented line goes on with the value above it.
    QMap<QString, QString> v;
    QString last;
    static const QRegularExpression entry(u"^(\\S.*?)\\s+=\\s+(.+)$"_s);
    for (const QString& line : block.split(u'\n')) {
        if (const auto found = entry.match(line); found.hasMatch())
            v.insert(last = found.captured(1), found.captured(2));
        else if (line.startsWith(u' ') && !last.isEmpty())
            v[last] += line.trimmed();
    }
    const auto hex = [&](const QString& name) { return QByteArray::fromHex(QString(v[name]).remove(u' ').toLatin1()); };
    const auto shown = [](const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex()); };
    const auto seed = [&](const QString& name) {
        SecretBytes<32> bytes;
        const QByteArray from = hex(name);
        std::copy(from.begin(), from.end(), bytes.data());
        return bytes;
    };
    const SigningKey roomKey = SigningKey::fromSeed(seed(u"room key seed"_s));
    const DeviceKey device{KeyPair25519::fromSecret(seed(u"device Noise secret"_s)),
                           SigningKey::fromSeed(seed(u"device signing seed"_s))};
    const QString name = QString::fromUtf8(hex(u"room name"_s));
    const HostingAuthority host(name, roomKey, device);
    EXPECT_EQ(name, u"広場"_s);
    EXPECT_EQ(shown(toBytes(roomKey.publicKey)), shown(hex(u"room key"_s)));
    EXPECT_EQ(shown(toBytes(device.noise.publicKey)), shown(hex(u"device Noise key"_s)));
    EXPECT_EQ(shown(toBytes(device.signing.publicKey)), shown(hex(u"device signing key"_s)));
    EXPECT_EQ(fingerprint(roomKey.publicKey), v[u"fingerprint"_s]);
    EXPECT_EQ(shown(host.chain().encodeProof()), shown(hex(u"room proof"_s)));
    const auto documented = readProof(hex(u"room proof"_s));
    EXPECT_TRUE(documented && documented->verify(name, device.noise.publicKey));
}

// A damaged room key file (hosting) or pins file (joining) is made anew or read in
// part, the room opens all the same, and the service has a sentence for the user.
TEST(RoomIdentity, DamagedKeyFilesAreToldAboutAndTheRoomOpens) {
    const SessionConfig config = loopbackConfig();
    KeyStore store(KeyStore::defaultFolder());
    const QString name = u"壊れた鍵の部屋 "_s + QString::fromLatin1(proof::randomNonce().toHex());
    ASSERT_TRUE(store.roomKey(name).ok());
    testsupport::writeAll(store.roomKeyPath(name), "MLK1R broken");
    TestCopy host(config), member(config);
    ASSERT_TRUE(host.host(name).ok());
    EXPECT_TRUE(host.service->takeKeyNotice().contains(name));

    const QByteArray pins = testsupport::readAll(store.pinsPath());
    testsupport::writeAll(store.pinsPath(), pins + "not a pin\n");
    ASSERT_TRUE(member.join(name).ok());
    EXPECT_TRUE(member.service->takeKeyNotice().contains(store.pinsPath()));
    EXPECT_EQ(member.service->roomFingerprint(), host.service->roomFingerprint());
    EXPECT_TRUE(store.pinned(name).has_value());
}
