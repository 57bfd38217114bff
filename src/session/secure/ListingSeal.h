#pragma once

// How a password room answers a listing without giving anybody a password to test
// offline: one CPace run per answer (CPace.h), the lister as initiator, the room as
// responder, and the room's description sealed under a key from the run's ISK.
//
//   lister: Ya = ya * g            in the query, beside its nonce
//   room:   Yb = yb * g, ISK       in the answer: Yb and the sealed description
//   g   = generator(PRS = the password, CI = lv_cat("mirelune list", application id), sid = the query nonce)
//   key = SHA-512("mirelune listing answer" || ISK), its first 32 bytes
//   sealed = ChaCha20-Poly1305 (IETF) of the description, nonce 12 zero bytes, no associated data
//
// ADa and ADb are empty: the ISK binds the nonce and both shares already. Each answer
// has a fresh yb, so a key seals one message only and the zero nonce is safe. Neither
// share can be tied to a password without its secret scalar, and the sealed bytes
// open only with the ISK, which needs a scalar and the password together: a sniffer,
// a fake room and a room of another password learn nothing to test, and a fake lister
// gets one guess per query it sends (which the room's rate bound holds down).

#include "session/secure/CPace.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace session::secure {

inline constexpr std::size_t kListingShareBytes = kCPaceElementBytes;                         // 32
inline constexpr std::size_t kListingSealTagBytes = crypto_aead_chacha20poly1305_ietf_ABYTES; // 16

// CI of a listing's CPace run.
QByteArray listingChannelId(const QString& applicationId);

// The lister's half, kept for the listing's life; open() runs the end of CPace on a
// copy, so every answer is tried with the same secret scalar.
class ListingSecret {
public:
    // Nothing when libsodium cannot start. `fixedScalar` is for the document's vectors.
    static std::optional<ListingSecret> start(const QString& password, const QString& applicationId,
                                              QByteArrayView queryNonce,
                                              const SecretBytes<kCPaceScalarBytes>* fixedScalar = nullptr);
    QByteArray share() const { return m_party.share(); }
    // The description a room sealed, or nothing when the share is not a valid element
    // or the bytes do not open (another password, another query, a forgery).
    std::optional<QByteArray> open(QByteArrayView roomShare, QByteArrayView sealed) const;

private:
    explicit ListingSecret(CPaceParty party) : m_party(std::move(party)) {}
    CPaceParty m_party;
};

// The room's half: its share and `description` sealed, or nothing when the lister's
// share is not a valid element (the query is then dropped).
struct SealedListing {
    QByteArray share;
    QByteArray sealed; // description's size + kListingSealTagBytes
};
std::optional<SealedListing> sealListing(const QString& password, const QString& applicationId,
                                         QByteArrayView queryNonce, QByteArrayView listerShare,
                                         const QByteArray& description,
                                         const SecretBytes<kCPaceScalarBytes>* fixedScalar = nullptr);

} // namespace session::secure
