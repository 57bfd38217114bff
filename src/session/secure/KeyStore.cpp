#include "session/secure/KeyStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>
#include <cstring>

using namespace Qt::StringLiterals;

namespace session::secure {

namespace {

// A key file: magic, kind, the secret payload, then a BLAKE2b-128 checksum of all
// before it, so that a cut or altered file is seen as damaged, not read as a key.
constexpr char kKeyFileMagic[] = "MLK1";
constexpr qsizetype kMagicBytes = 4;
constexpr qsizetype kChecksumBytes = 16;
constexpr qsizetype kMaxKeyFileBytes = 64 * 1024;
constexpr char kDeviceKind = 'D';
constexpr char kRoomKind = 'R';
constexpr qsizetype kDevicePayloadBytes = static_cast<qsizetype>(kDhBytes + crypto_sign_SEEDBYTES);

constexpr QFileDevice::Permissions kPrivateFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kPrivateFolder =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
constexpr QFileDevice::Permissions kOthers = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                                             QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

void wipe(QByteArray& bytes) {
    if (!bytes.isEmpty())
        sodium_memzero(bytes.data(), static_cast<std::size_t>(bytes.size()));
    bytes.clear();
}

QByteArray checksum(QByteArrayView bytes) {
    QByteArray out(kChecksumBytes, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char*>(out.data()), kChecksumBytes, bytesOf(bytes),
                       static_cast<std::size_t>(bytes.size()), nullptr, 0);
    return out;
}

platform::Status ensurePrivateFolder(const QString& folder) {
    if (!QDir().mkpath(folder) || !QFile::setPermissions(folder, kPrivateFolder))
        return platform::fail(u"鍵を保存するフォルダー（%1）を作れません。"_s.arg(QDir::toNativeSeparators(folder)));
    return {};
}

// Written whole or not at all; the temporary file is private before it holds a byte.
platform::Status writePrivateFile(const QString& path, const QByteArray& content) {
    if (platform::Status folder = ensurePrivateFolder(QFileInfo(path).absolutePath()); !folder)
        return folder;
    QSaveFile file(path);
    const QString failure = u"鍵のファイル（%1）を書けません。"_s.arg(QDir::toNativeSeparators(path));
    if (!file.open(QIODevice::WriteOnly))
        return platform::fail(failure);
    if (!file.setPermissions(kPrivateFile)) {
        file.cancelWriting();
        return platform::fail(failure);
    }
    if (file.write(content) != content.size() || !file.commit())
        return platform::fail(failure);
    return {};
}

// Makes an existing file private again; true when it had to.
bool repairPermissions(const QString& path) {
    if ((QFileInfo(path).permissions() & kOthers) == 0)
        return false;
    QFile::setPermissions(path, kPrivateFile);
    return true;
}

enum class FileState { Missing, Damaged, Read };

// The payload of a key file of the given kind.
FileState readKeyFile(const QString& path, char kind, QByteArray& payload) {
    QFile file(path);
    if (!file.exists())
        return FileState::Missing;
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxKeyFileBytes)
        return FileState::Damaged;
    QByteArray bytes = file.read(kMaxKeyFileBytes + 1);
    const qsizetype body = bytes.size() - kChecksumBytes;
    const bool sound = body >= kMagicBytes + 1 && bytes.startsWith(QByteArrayView(kKeyFileMagic, kMagicBytes)) &&
                       bytes.at(kMagicBytes) == kind &&
                       sodium_memcmp(checksum(QByteArrayView(bytes).first(body)).constData(), bytes.constData() + body,
                                     kChecksumBytes) == 0;
    if (sound)
        payload = bytes.mid(kMagicBytes + 1, body - kMagicBytes - 1);
    wipe(bytes);
    return sound ? FileState::Read : FileState::Damaged;
}

platform::Status writeKeyFile(const QString& path, char kind, const QByteArray& payload) {
    QByteArray bytes = QByteArray(kKeyFileMagic, kMagicBytes) + kind + payload;
    bytes += checksum(bytes);
    platform::Status status = writePrivateFile(path, bytes);
    wipe(bytes);
    return status;
}

template <std::size_t N>
QByteArrayView viewOf(const SecretBytes<N>& secret) {
    return QByteArrayView(reinterpret_cast<const char*>(secret.data()), static_cast<qsizetype>(N));
}

template <std::size_t N>
void copyInto(QByteArrayView from, SecretBytes<N>& to) {
    std::memcpy(to.data(), from.data(), N);
}

QString roomFileName(const QString& roomName) {
    const QByteArray name = roomName.toUtf8();
    QByteArray hash(16, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()), 16, bytesOf(name),
                       static_cast<std::size_t>(name.size()), nullptr, 0);
    return QString::fromLatin1(hash.toHex()) + u".key"_s;
}

const QString kPermissionsNotice =
    u"鍵のファイル（%1）がほかのユーザーからも読める状態だったため、本人だけが読めるように直しました。"_s;

} // namespace

// ---- signing keys and fingerprints

SigningKey SigningKey::fromSeed(const SecretBytes<crypto_sign_SEEDBYTES>& seed) {
    SigningKey key;
    crypto_sign_seed_keypair(key.publicKey.data(), key.secretKey.data(), seed.data());
    return key;
}

QByteArray SigningKey::sign(QByteArrayView message) const {
    QByteArray signature(static_cast<qsizetype>(kSignatureBytes), Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr, bytesOf(message),
                         static_cast<unsigned long long>(message.size()), secretKey.data());
    return signature;
}

bool verifySignature(const PublicBytes<kSignPublicBytes>& publicKey, QByteArrayView message, QByteArrayView signature) {
    if (signature.size() != static_cast<qsizetype>(kSignatureBytes) || !sodiumReady())
        return false;
    return crypto_sign_verify_detached(bytesOf(signature), bytesOf(message),
                                       static_cast<unsigned long long>(message.size()), publicKey.data()) == 0;
}

QString fingerprint(const PublicBytes<kSignPublicBytes>& publicKey) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    constexpr int kGroups = 4;
    constexpr int kGroupChars = 5;
    unsigned char hash[32];
    crypto_generichash(hash, sizeof hash, publicKey.data(), publicKey.size(), nullptr, 0);
    QString out;
    int bit = 0;
    for (int i = 0; i < kGroups * kGroupChars; ++i, bit += 5) {
        if (i > 0 && i % kGroupChars == 0)
            out += u'-';
        // Five bits from the start of the hash, most significant first.
        const unsigned pair = (static_cast<unsigned>(hash[bit / 8]) << 8) | hash[bit / 8 + 1];
        out += QLatin1Char(kAlphabet[(pair >> (11 - bit % 8)) & 0x1f]);
    }
    return out;
}

bool fingerprintMatches(const PublicBytes<kSignPublicBytes>& publicKey, const QString& typed) {
    QString compact = typed.toUpper();
    compact.remove(u'-');
    compact.remove(u' ');
    QString expected = fingerprint(publicKey);
    expected.remove(u'-');
    return compact == expected;
}

// ---- the store

KeyStore::KeyStore(QString folder) : m_folder(std::move(folder)) {}

QString KeyStore::defaultFolder() {
    // Not AppConfigLocation: that is named after each program, and the window and
    // mirelune-room are the same user's device, with one device key.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/Mirelune/keys"_s;
}

QString KeyStore::deviceKeyPath() const {
    return m_folder + u"/device.key"_s;
}

QString KeyStore::roomKeyPath(const QString& roomName) const {
    return m_folder + u"/rooms/"_s + roomFileName(roomName);
}

QString KeyStore::pinsPath() const {
    return m_folder + u"/pinned-rooms"_s;
}

platform::Result<StoredKey<DeviceKey>> KeyStore::deviceKey() {
    if (!sodiumReady())
        return platform::fail(u"暗号のライブラリーを初期化できません。"_s);
    const QString path = deviceKeyPath();
    const QString shownPath = QDir::toNativeSeparators(path);
    StoredKey<DeviceKey> stored;
    QByteArray payload;
    FileState state = readKeyFile(path, kDeviceKind, payload);
    if (state == FileState::Read && payload.size() != kDevicePayloadBytes)
        state = FileState::Damaged;
    if (state == FileState::Read) {
        SecretBytes<kDhBytes> noiseSecret;
        SecretBytes<crypto_sign_SEEDBYTES> seed;
        copyInto(QByteArrayView(payload).first(kDhBytes), noiseSecret);
        copyInto(QByteArrayView(payload).sliced(kDhBytes), seed);
        wipe(payload);
        stored.key = DeviceKey{KeyPair25519::fromSecret(noiseSecret), SigningKey::fromSeed(seed)};
        if (repairPermissions(path)) {
            stored.origin = KeyOrigin::Repaired;
            stored.notice = kPermissionsNotice.arg(shownPath);
        }
        return stored;
    }
    SecretBytes<kDhBytes> noiseSecret;
    SecretBytes<crypto_sign_SEEDBYTES> seed;
    randombytes_buf(noiseSecret.data(), noiseSecret.size());
    randombytes_buf(seed.data(), seed.size());
    payload = viewOf(noiseSecret).toByteArray() + viewOf(seed).toByteArray();
    platform::Status written = writeKeyFile(path, kDeviceKind, payload);
    wipe(payload);
    if (!written)
        return platform::fail(written.error());
    stored.key = DeviceKey{KeyPair25519::fromSecret(noiseSecret), SigningKey::fromSeed(seed)};
    if (state == FileState::Damaged) {
        stored.origin = KeyOrigin::Replaced;
        stored.notice = u"この端末の鍵のファイル（%1）が壊れていたため、新しい鍵を作りました。"_s.arg(shownPath);
    } else {
        stored.origin = KeyOrigin::Created;
    }
    return stored;
}

platform::Result<StoredKey<SigningKey>> KeyStore::roomKey(const QString& roomName) {
    if (!sodiumReady())
        return platform::fail(u"暗号のライブラリーを初期化できません。"_s);
    const QString path = roomKeyPath(roomName);
    const QByteArray name = roomName.toUtf8();
    constexpr qsizetype kSeedBytes = static_cast<qsizetype>(crypto_sign_SEEDBYTES);
    StoredKey<SigningKey> stored;
    QByteArray payload;
    FileState state = readKeyFile(path, kRoomKind, payload);
    // The file names its room, so that a file put in another room's place is not taken.
    if (state == FileState::Read && (payload.size() < kSeedBytes || payload.sliced(kSeedBytes) != name))
        state = FileState::Damaged;
    if (state == FileState::Read) {
        SecretBytes<crypto_sign_SEEDBYTES> seed;
        copyInto(QByteArrayView(payload).first(kSeedBytes), seed);
        wipe(payload);
        stored.key = SigningKey::fromSeed(seed);
        if (repairPermissions(path)) {
            stored.origin = KeyOrigin::Repaired;
            stored.notice = kPermissionsNotice.arg(QDir::toNativeSeparators(path));
        }
        return stored;
    }
    wipe(payload);
    SecretBytes<crypto_sign_SEEDBYTES> seed;
    randombytes_buf(seed.data(), seed.size());
    payload = viewOf(seed).toByteArray() + name;
    platform::Status written = writeKeyFile(path, kRoomKind, payload);
    wipe(payload);
    if (!written)
        return platform::fail(written.error());
    stored.key = SigningKey::fromSeed(seed);
    if (state == FileState::Damaged) {
        stored.origin = KeyOrigin::Replaced;
        stored.notice =
            u"部屋「%1」の鍵のファイルが壊れていたため、新しい鍵を作りました。"
            u"この部屋に前に参加した人には、別のコンピューターが部屋を開いているという警告が出ます。"_s.arg(roomName);
    } else {
        stored.origin = KeyOrigin::Created;
    }
    return stored;
}

// ---- pins: one line per room, "<room name, base64url> <room key, base64url>"

struct KeyStore::Pins {
    QHash<QByteArray, QByteArray> keys; // UTF-8 room name -> public key
    QString notice;
};

KeyStore::Pins KeyStore::readPins() {
    Pins pins;
    const QString path = pinsPath();
    QFile file(path);
    if (!file.exists())
        return pins;
    bool damaged = !file.open(QIODevice::ReadOnly) || file.size() > 16 * kMaxKeyFileBytes;
    if (!damaged) {
        const auto options = QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const QList<QByteArray> fields = line.split(' ');
            const auto name = fields.size() == 2 ? QByteArray::fromBase64Encoding(fields[0], options)
                                                 : QByteArray::FromBase64Result{};
            const auto key = fields.size() == 2 ? QByteArray::fromBase64Encoding(fields[1], options)
                                                : QByteArray::FromBase64Result{};
            if (!name || !key || key.decoded.size() != static_cast<qsizetype>(kSignPublicBytes)) {
                damaged = true;
                continue;
            }
            pins.keys.insert(name.decoded, key.decoded);
        }
    }
    if (damaged) {
        pins.notice = u"参加した部屋の鍵を記録したファイル（%1）が壊れていたため、読めた分だけを使います。"_s.arg(
            QDir::toNativeSeparators(path));
    } else if (repairPermissions(path)) {
        pins.notice = kPermissionsNotice.arg(QDir::toNativeSeparators(path));
    }
    return pins;
}

KeyStore::PinCheck KeyStore::checkPin(const QString& roomName, const PublicBytes<kSignPublicBytes>& roomKey) {
    Pins pins = readPins();
    PinCheck check;
    check.notice = pins.notice;
    const auto found = pins.keys.constFind(roomName.toUtf8());
    if (found == pins.keys.constEnd())
        return check;
    fromBytes(*found, check.pinned);
    check.state = check.pinned == roomKey ? PinState::Same : PinState::Changed;
    return check;
}

std::optional<PublicBytes<kSignPublicBytes>> KeyStore::pinned(const QString& roomName) {
    const Pins pins = readPins();
    PublicBytes<kSignPublicBytes> key{};
    const auto found = pins.keys.constFind(roomName.toUtf8());
    if (found == pins.keys.constEnd() || !fromBytes(*found, key))
        return std::nullopt;
    return key;
}

platform::Status KeyStore::pin(const QString& roomName, const PublicBytes<kSignPublicBytes>& roomKey) {
    Pins pins = readPins();
    pins.keys.insert(roomName.toUtf8(), toBytes(roomKey));
    QList<QByteArray> names = pins.keys.keys();
    std::sort(names.begin(), names.end());
    QByteArray content;
    const auto options = QByteArray::Base64UrlEncoding;
    for (const QByteArray& name : names)
        content += name.toBase64(options) + ' ' + pins.keys.value(name).toBase64(options) + '\n';
    return writePrivateFile(pinsPath(), content);
}

} // namespace session::secure
