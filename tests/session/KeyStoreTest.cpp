// The keys on disk: made on first use, kept, and made anew or private again when the
// file is damaged or others could read it.
#include "session/secure/KeyStore.h"

#include "common/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace session::secure;
using namespace Qt::StringLiterals;

namespace {

unsigned modeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? (info.st_mode & 0777) : 0;
}

} // namespace

TEST(KeyStore, MakesKeysAnewWhenMissingOrDamagedAndKeepsThemPrivate) {
    QTemporaryDir dir;
    KeyStore store(dir.filePath(u"config/keys"_s));
    const QString room = u"雑談部屋"_s;

    // What a key file goes through, in order; each step reads the key once more.
    const struct {
        const char* what;
        std::function<void(const QString&)> damage;
        KeyOrigin origin;
        bool sameKey; // as the step before
    } steps[] = {
        {"missing", [](const QString&) {}, KeyOrigin::Created, false},
        {"read again", [](const QString&) {}, KeyOrigin::Loaded, true},
        {"readable by others",
         [](const QString& path) {
             QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                             QFileDevice::ReadOther);
         },
         KeyOrigin::Repaired, true},
        {"cut short", [](const QString& path) { QFile(path).resize(20); }, KeyOrigin::Replaced, false},
        {"one bit flipped",
         [](const QString& path) {
             QByteArray bytes = testsupport::readAll(path);
             bytes[10] = static_cast<char>(bytes[10] ^ 0x01);
             testsupport::writeAll(path, bytes);
         },
         KeyOrigin::Replaced, false},
        {"removed", [](const QString& path) { QFile::remove(path); }, KeyOrigin::Created, false},
    };
    PublicBytes<32> lastDevice{};
    PublicBytes<32> lastRoom{};
    for (const auto& step : steps) {
        step.damage(store.deviceKeyPath());
        step.damage(store.roomKeyPath(room));
        const auto device = store.deviceKey();
        const auto roomKey = store.roomKey(room);
        ASSERT_TRUE(device.ok() && roomKey.ok()) << step.what;
        EXPECT_EQ(device->origin, step.origin) << step.what;
        EXPECT_EQ(roomKey->origin, step.origin) << step.what;
        const bool told = step.origin == KeyOrigin::Replaced || step.origin == KeyOrigin::Repaired;
        EXPECT_EQ(!device->notice.isEmpty(), told) << step.what;
        EXPECT_EQ(!roomKey->notice.isEmpty(), told) << step.what;
        EXPECT_EQ(device->key.signing.publicKey == lastDevice, step.sameKey) << step.what;
        EXPECT_EQ(roomKey->key.publicKey == lastRoom, step.sameKey) << step.what;
        lastDevice = device->key.signing.publicKey;
        lastRoom = roomKey->key.publicKey;
        EXPECT_EQ(modeOf(store.deviceKeyPath()), 0600u) << step.what;
        EXPECT_EQ(modeOf(store.roomKeyPath(room)), 0600u) << step.what;
        EXPECT_EQ(modeOf(dir.filePath(u"config/keys"_s)), 0700u) << step.what;
    }
    // A key signs what its public half verifies; each room name has its own key.
    const QByteArray signature = store.roomKey(room)->key.sign("hosting delegation");
    EXPECT_TRUE(verifySignature(lastRoom, "hosting delegation", signature));
    EXPECT_FALSE(verifySignature(lastRoom, "hosting delegation!", signature));
    EXPECT_FALSE(store.roomKey(u"別の部屋"_s)->key.publicKey == lastRoom);
}

TEST(KeyStore, PinsARoomsKeyAndSeesAChange) {
    QTemporaryDir dir;
    KeyStore store(dir.path());
    const PublicBytes<32> first{1, 2, 3};
    const PublicBytes<32> other{9, 9, 9};
    EXPECT_EQ(store.checkPin(u"部屋"_s, first).state, KeyStore::PinState::Unknown);
    ASSERT_TRUE(store.pin(u"部屋"_s, first).ok());
    ASSERT_TRUE(store.pin(u"another room"_s, other).ok());
    EXPECT_EQ(modeOf(store.pinsPath()), 0600u);
    EXPECT_EQ(store.checkPin(u"部屋"_s, first).state, KeyStore::PinState::Same);
    const KeyStore::PinCheck changed = store.checkPin(u"部屋"_s, other);
    EXPECT_EQ(changed.state, KeyStore::PinState::Changed);
    EXPECT_TRUE(changed.pinned == first);
    EXPECT_TRUE(changed.notice.isEmpty());

    // A damaged line is told about and skipped; the other pins still hold.
    QFile pins(store.pinsPath());
    ASSERT_TRUE(pins.open(QIODevice::Append));
    pins.write("garbage line\n");
    pins.close();
    const KeyStore::PinCheck afterDamage = store.checkPin(u"another room"_s, other);
    EXPECT_EQ(afterDamage.state, KeyStore::PinState::Same);
    EXPECT_FALSE(afterDamage.notice.isEmpty());
}

TEST(KeyStore, FingerprintIsFourGroupsOfBase32OfTheKeysHash) {
    PublicBytes<32> key{};
    for (int i = 0; i < 32; ++i)
        key[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
    // Worked out apart from this code: BLAKE2b-256 of the bytes 00..1f, then the
    // first 20 characters of its RFC 4648 base32 form.
    EXPECT_EQ(fingerprint(key), u"ZMXVC-YH4D5-7ALJK-66SOT"_s);
    EXPECT_TRUE(fingerprintMatches(key, u"zmxvc yh4d5 7aljk 66sot"_s));
    EXPECT_FALSE(fingerprintMatches(key, u"ZMXVC-YH4D5-7ALJK-66SOA"_s));
}
