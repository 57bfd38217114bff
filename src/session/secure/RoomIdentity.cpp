#include "session/secure/RoomIdentity.h"

#include "session/SessionLog.h"

using namespace Qt::StringLiterals;

namespace session::secure {

namespace {

template <std::size_t N>
void append(QByteArray& out, const PublicBytes<N>& value) {
    out.append(reinterpret_cast<const char*>(value.data()), static_cast<qsizetype>(N));
}

// What link `index` of a room's chain signs.
QByteArray linkMessage(const RoomKey& roomKey, int index, const PublicBytes<kDhBytes>& noiseKey,
                       const PublicBytes<kSignPublicBytes>& signingKey, const QString& roomName) {
    QByteArray message(kHostingLabel);
    append(message, roomKey);
    message.append(static_cast<char>(index));
    append(message, noiseKey);
    append(message, signingKey);
    message.append(roomName.toUtf8());
    return message;
}

HostingLink makeLink(const SigningKey& issuer, const RoomKey& roomKey, int index, const PublicBytes<kDhBytes>& noiseKey,
                     const PublicBytes<kSignPublicBytes>& signingKey, const QString& roomName) {
    return HostingLink{noiseKey, signingKey, issuer.sign(linkMessage(roomKey, index, noiseKey, signingKey, roomName))};
}

} // namespace

QByteArray HostingChain::encodeLinks() const {
    QByteArray out;
    out.reserve(1 + links.size() * kHostingLinkBytes);
    out.append(static_cast<char>(links.size()));
    for (const HostingLink& link : links) {
        append(out, link.noiseKey);
        append(out, link.signingKey);
        out.append(link.signature);
    }
    return out;
}

QByteArray HostingChain::encodeProof() const {
    QByteArray out;
    append(out, roomKey);
    return out + encodeLinks();
}

bool HostingChain::verify(const QString& roomName, const PublicBytes<kDhBytes>& host) const {
    if (links.isEmpty() || links.size() > kMaxHostingLinks || links.constLast().noiseKey != host) {
        return false;
    }
    PublicBytes<kSignPublicBytes> issuer = roomKey;
    for (int i = 0; i < links.size(); ++i) {
        const HostingLink& link = links.at(i);
        if (!verifySignature(issuer, linkMessage(roomKey, i, link.noiseKey, link.signingKey, roomName),
                             link.signature)) {
            return false;
        }
        issuer = link.signingKey;
    }
    return true;
}

std::optional<QList<HostingLink>> readLinks(QByteArrayView body) {
    if (body.isEmpty()) {
        return std::nullopt;
    }
    const int count = static_cast<unsigned char>(body.at(0));
    if (count < 1 || count > kMaxHostingLinks || body.size() < 1 + count * kHostingLinkBytes) {
        return std::nullopt;
    }
    QList<HostingLink> links;
    for (int i = 0; i < count; ++i) {
        const QByteArrayView at = body.sliced(1 + i * kHostingLinkBytes, kHostingLinkBytes);
        HostingLink link;
        fromBytes(at.first(kDhBytes), link.noiseKey);
        fromBytes(at.sliced(kDhBytes, kSignPublicBytes), link.signingKey);
        link.signature = at.sliced(kDhBytes + kSignPublicBytes).toByteArray();
        links.append(std::move(link));
    }
    return links;
}

std::optional<HostingChain> readProof(QByteArrayView payload) {
    constexpr auto kKeyBytes = static_cast<qsizetype>(kSignPublicBytes);
    if (payload.size() < kKeyBytes) {
        return std::nullopt;
    }
    std::optional<QList<HostingLink>> links = readLinks(payload.sliced(kKeyBytes));
    if (!links) {
        return std::nullopt;
    }
    HostingChain chain;
    fromBytes(payload.first(kKeyBytes), chain.roomKey);
    chain.links = *std::move(links);
    return chain;
}

HostingAuthority::HostingAuthority(QString roomName, const SigningKey& roomKey, const DeviceKey& device)
    : m_roomName(std::move(roomName)), m_signer(roomKey), m_holdsRoomKey(true) {
    m_chain.roomKey = roomKey.publicKey;
    m_chain.links.append(
        makeLink(roomKey, roomKey.publicKey, 0, device.noise.publicKey, device.signing.publicKey, m_roomName));
}

HostingAuthority::HostingAuthority(QString roomName, HostingChain chain, const DeviceKey& device)
    : m_roomName(std::move(roomName)), m_chain(std::move(chain)), m_signer(device.signing) {}

std::optional<HostingChain> HostingAuthority::delegate(const PublicBytes<kDhBytes>& noiseKey,
                                                       const PublicBytes<kSignPublicBytes>& signingKey) const {
    HostingChain chain;
    chain.roomKey = m_chain.roomKey;
    // The room key's holder starts every member's chain afresh; a successor hands on
    // its own, one link longer.
    if (!m_holdsRoomKey) {
        if (m_chain.links.isEmpty() || m_chain.links.size() >= kMaxHostingLinks) {
            return std::nullopt;
        }
        chain.links = m_chain.links;
    }
    chain.links.append(
        makeLink(m_signer, chain.roomKey, static_cast<int>(chain.links.size()), noiseKey, signingKey, m_roomName));
    return chain;
}

std::shared_ptr<const HostingAuthority> creatorAuthority(const QString& roomName, QString* notice) {
    auto stored = KeyStore(KeyStore::defaultFolder()).roomKey(roomName);
    QString told;
    SigningKey key;
    if (stored) {
        told = stored->notice;
        key = stored->key;
    } else {
        told = stored.error() + u"この部屋の鍵は今回だけのものになります。"_s;
        SecretBytes<crypto_sign_SEEDBYTES> seed;
        if (sodiumReady()) {
            randombytes_buf(seed.data(), seed.size());
        }
        key = SigningKey::fromSeed(seed);
    }
    if (!told.isEmpty()) {
        qCWarning(lcSession).noquote() << told;
    }
    if (notice != nullptr) {
        *notice = told;
    }
    return std::make_shared<const HostingAuthority>(roomName, key, deviceKeys());
}

QByteArray encodeMemberOffer(const DeviceKey& device) {
    return toBytes(device.signing.publicKey);
}

std::optional<PublicBytes<kSignPublicBytes>> readMemberOffer(QByteArrayView payload) {
    PublicBytes<kSignPublicBytes> key{};
    if (payload.size() < static_cast<qsizetype>(kSignPublicBytes) ||
        !fromBytes(payload.first(static_cast<qsizetype>(kSignPublicBytes)), key)) {
        return std::nullopt;
    }
    return key;
}

const DeviceKey& deviceKeys() {
    static const DeviceKey key = [] {
        auto stored = KeyStore(KeyStore::defaultFolder()).deviceKey();
        if (stored) {
            if (!stored->notice.isEmpty()) {
                qCWarning(lcSession).noquote() << stored->notice;
            }
            return stored->key;
        }
        qCWarning(lcSession).noquote() << "the device key cannot be kept, using one for this run:" << stored.error();
        DeviceKey run{KeyPair25519::generate().value_or(KeyPair25519{}), {}};
        SecretBytes<crypto_sign_SEEDBYTES> seed;
        if (sodiumReady()) {
            randombytes_buf(seed.data(), seed.size());
        }
        run.signing = SigningKey::fromSeed(seed);
        return run;
    }();
    return key;
}

} // namespace session::secure
