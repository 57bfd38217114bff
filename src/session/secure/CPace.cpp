#include "session/secure/CPace.h"

#include <algorithm>
#include <cstring>

namespace session::secure {

namespace {

constexpr qsizetype kSha512BlockBytes = 128;

QByteArray leb128(quint64 value) {
    QByteArray out;
    do {
        unsigned char byte = value & 0x7f;
        value >>= 7;
        if (value != 0)
            byte |= 0x80;
        out.append(static_cast<char>(byte));
    } while (value != 0);
    return out;
}

} // namespace

QByteArray prependLen(QByteArrayView data) {
    return leb128(static_cast<quint64>(data.size())) + data.toByteArray();
}

QByteArray lvCat(std::initializer_list<QByteArrayView> parts) {
    QByteArray out;
    for (const QByteArrayView part : parts)
        out += prependLen(part);
    return out;
}

QByteArray passwordBytes(const QString& password) {
    return password.normalized(QString::NormalizationForm_C).toUtf8();
}

QByteArray cpaceGeneratorString(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid) {
    const QByteArrayView dsi(kCPaceDsi);
    // Zeros fill the first hash block after DSI and PRS, so that the block that holds
    // the password is hashed alone whatever its length.
    const qsizetype zpad =
        std::max<qsizetype>(0, kSha512BlockBytes - prependLen(prs).size() - prependLen(dsi).size() - 1);
    return lvCat({dsi, prs, QByteArray(zpad, '\0'), ci, sid});
}

PublicBytes<kCPaceElementBytes> cpaceGenerator(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid) {
    const QByteArray generatorString = cpaceGeneratorString(prs, ci, sid);
    SecretBytes<crypto_hash_sha512_BYTES> hash;
    crypto_hash_sha512(hash.data(), bytesOf(generatorString), static_cast<unsigned long long>(generatorString.size()));
    PublicBytes<kCPaceElementBytes> generator{};
    crypto_core_ristretto255_from_hash(generator.data(), hash.data());
    return generator;
}

std::optional<CPaceParty> CPaceParty::start(Role role, QByteArrayView prs, QByteArrayView ci, QByteArrayView sid,
                                            QByteArrayView ownAd, const SecretBytes<kCPaceScalarBytes>* fixedScalar) {
    if (!sodiumReady())
        return std::nullopt;
    CPaceParty party;
    party.m_role = role;
    party.m_sid = sid.toByteArray();
    party.m_ownAd = ownAd.toByteArray();
    if (fixedScalar)
        party.m_scalar = *fixedScalar;
    else
        crypto_core_ristretto255_scalar_random(party.m_scalar.data()); // uniform in [1, order - 1]
    PublicBytes<kCPaceElementBytes> generator = cpaceGenerator(prs, ci, sid);
    if (crypto_scalarmult_ristretto255(party.m_ownShare.data(), party.m_scalar.data(), generator.data()) != 0)
        return std::nullopt;
    return party;
}

bool CPaceParty::receive(QByteArrayView peerShare, QByteArrayView peerAd) {
    if (m_received || !fromBytes(peerShare, m_peerShare))
        return false;
    // scalar_mult_vfy: libsodium decodes the element (refusing a non-canonical or
    // invalid encoding) and refuses a result that is the identity.
    SecretBytes<kCPaceElementBytes> k;
    if (crypto_scalarmult_ristretto255(k.data(), m_scalar.data(), m_peerShare.data()) != 0)
        return false;
    m_peerAd = peerAd.toByteArray();
    const bool initiator = m_role == Role::Initiator;
    const QByteArray ya = toBytes(initiator ? m_ownShare : m_peerShare);
    const QByteArray yb = toBytes(initiator ? m_peerShare : m_ownShare);
    const QByteArray& ada = initiator ? m_ownAd : m_peerAd;
    const QByteArray& adb = initiator ? m_peerAd : m_ownAd;
    const QByteArray kView(reinterpret_cast<const char*>(k.data()), static_cast<qsizetype>(k.size()));
    const QByteArray iskDsi = QByteArray(kCPaceDsi) + "_ISK";
    QByteArray input = lvCat({iskDsi, m_sid, kView}) + lvCat({ya, ada}) + lvCat({yb, adb});
    crypto_hash_sha512(m_isk.data(), bytesOf(input), static_cast<unsigned long long>(input.size()));
    sodium_memzero(input.data(), static_cast<std::size_t>(input.size()));

    QByteArray macInput = QByteArray("CPaceMac") + m_sid +
                          QByteArray(reinterpret_cast<const char*>(m_isk.data()), static_cast<qsizetype>(m_isk.size()));
    crypto_hash_sha512(m_macKey.data(), bytesOf(macInput), static_cast<unsigned long long>(macInput.size()));
    sodium_memzero(macInput.data(), static_cast<std::size_t>(macInput.size()));
    m_received = true;
    return true;
}

QByteArray CPaceParty::tag(const PublicBytes<kCPaceElementBytes>& share, const QByteArray& ad) const {
    const QByteArray message = lvCat({toBytes(share), ad});
    crypto_auth_hmacsha512_state state;
    QByteArray out(static_cast<qsizetype>(kCPaceTagBytes), Qt::Uninitialized);
    crypto_auth_hmacsha512_init(&state, m_macKey.data(), m_macKey.size());
    crypto_auth_hmacsha512_update(&state, bytesOf(message), static_cast<unsigned long long>(message.size()));
    crypto_auth_hmacsha512_final(&state, reinterpret_cast<unsigned char*>(out.data()));
    sodium_memzero(&state, sizeof state);
    return out;
}

QByteArray CPaceParty::ownConfirmation() const {
    if (!m_received)
        return {};
    return tag(m_ownShare, m_ownAd);
}

bool CPaceParty::checkConfirmation(QByteArrayView peerTag) const {
    if (!m_received || peerTag.size() != static_cast<qsizetype>(kCPaceTagBytes))
        return false;
    const QByteArray expected = tag(m_peerShare, m_peerAd);
    return sodium_memcmp(expected.constData(), peerTag.data(), kCPaceTagBytes) == 0;
}

} // namespace session::secure
