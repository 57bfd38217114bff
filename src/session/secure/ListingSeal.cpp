#include "session/secure/ListingSeal.h"

namespace session::secure {

namespace {

constexpr char kSealKeyLabel[] = "mirelune listing answer";
const unsigned char kZeroNonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES] = {};

SecretBytes<crypto_aead_chacha20poly1305_ietf_KEYBYTES> sealKey(const SecretBytes<kCPaceIskBytes>& isk) {
    crypto_hash_sha512_state state;
    SecretBytes<crypto_hash_sha512_BYTES> hash;
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, reinterpret_cast<const unsigned char*>(kSealKeyLabel), sizeof kSealKeyLabel - 1);
    crypto_hash_sha512_update(&state, isk.data(), isk.size());
    crypto_hash_sha512_final(&state, hash.data());
    sodium_memzero(&state, sizeof state);
    SecretBytes<crypto_aead_chacha20poly1305_ietf_KEYBYTES> key;
    std::copy_n(hash.data(), key.size(), key.data());
    return key;
}

} // namespace

QByteArray listingChannelId(const QString& applicationId) {
    return lvCat({QByteArrayView("mirelune list"), applicationId.toUtf8()});
}

std::optional<ListingSecret> ListingSecret::start(const QString& password, const QString& applicationId,
                                                  QByteArrayView queryNonce,
                                                  const SecretBytes<kCPaceScalarBytes>* fixedScalar) {
    auto party = CPaceParty::start(CPaceParty::Role::Initiator, passwordBytes(password),
                                   listingChannelId(applicationId), queryNonce, {}, fixedScalar);
    if (!party)
        return std::nullopt;
    return ListingSecret(std::move(*party));
}

std::optional<QByteArray> ListingSecret::open(QByteArrayView roomShare, QByteArrayView sealed) const {
    if (static_cast<std::size_t>(sealed.size()) < kListingSealTagBytes)
        return std::nullopt;
    CPaceParty run = m_party;
    if (!run.receive(roomShare, {}))
        return std::nullopt;
    const auto key = sealKey(run.isk());
    QByteArray plain(sealed.size() - static_cast<qsizetype>(kListingSealTagBytes), Qt::Uninitialized);
    unsigned long long plainLength = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(plain.data()), &plainLength, nullptr,
                                                  bytesOf(sealed), static_cast<unsigned long long>(sealed.size()),
                                                  nullptr, 0, kZeroNonce, key.data()) != 0)
        return std::nullopt;
    return plain;
}

std::optional<SealedListing> sealListing(const QString& password, const QString& applicationId,
                                         QByteArrayView queryNonce, QByteArrayView listerShare,
                                         const QByteArray& description,
                                         const SecretBytes<kCPaceScalarBytes>* fixedScalar) {
    auto party = CPaceParty::start(CPaceParty::Role::Responder, passwordBytes(password),
                                   listingChannelId(applicationId), queryNonce, {}, fixedScalar);
    if (!party || !party->receive(listerShare, {}))
        return std::nullopt;
    const auto key = sealKey(party->isk());
    SealedListing out{party->share(),
                      QByteArray(description.size() + static_cast<qsizetype>(kListingSealTagBytes), Qt::Uninitialized)};
    unsigned long long sealedLength = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(reinterpret_cast<unsigned char*>(out.sealed.data()), &sealedLength,
                                              bytesOf(description), static_cast<unsigned long long>(description.size()),
                                              nullptr, 0, nullptr, kZeroNonce, key.data());
    return out;
}

} // namespace session::secure
