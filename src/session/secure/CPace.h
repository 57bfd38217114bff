#pragma once

// CPace (draft-irtf-cfrg-cpace), the suite CPACE-RISTR255-SHA512, initiator-responder
// setting, with explicit key confirmation:
//
//   g   = ristretto255 element derivation of SHA-512(lv_cat(DSI, PRS, zero padding, CI, sid))
//   A -> B: Ya = ya * g, ADa         B -> A: Yb = yb * g, ADb
//   K   = ya * Yb = yb * Ya          (refused when an element does not decode or K is the identity)
//   ISK = SHA-512(lv_cat(DSI || "_ISK", sid, K) || lv_cat(Ya, ADa) || lv_cat(Yb, ADb))
//   mac_key = SHA-512("CPaceMac" || sid || ISK)
//   Ta  = HMAC-SHA-512(mac_key, lv_cat(Ya, ADa)),  Tb = HMAC-SHA-512(mac_key, lv_cat(Yb, ADb))
//
// Bound to a Noise handshake, the room's use is: sid = the handshake hash, CI =
// lv_cat(initiator's static key, responder's static key), PRS = the password (see
// passwordBytes), ADa/ADb = what each side must prove it saw (the room's id, for one).
// A wrong password shows as a confirmation tag that does not check; K never leaves.
// A password room's listing answer runs it too, keyed by the query's nonce rather than
// a handshake (ListingSeal.h).

#include "session/secure/Sodium.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace session::secure {

inline constexpr char kCPaceDsi[] = "CPaceRistretto255";
inline constexpr std::size_t kCPaceElementBytes = crypto_core_ristretto255_BYTES; // 32
inline constexpr std::size_t kCPaceScalarBytes = crypto_core_ristretto255_SCALARBYTES;
inline constexpr std::size_t kCPaceIskBytes = 64;
inline constexpr std::size_t kCPaceTagBytes = 64;

// prepend_len and lv_cat of the draft: each part after its LEB128 length.
QByteArray prependLen(QByteArrayView data);
QByteArray lvCat(std::initializer_list<QByteArrayView> parts);

// The password as CPace hashes it: NFC-normalised UTF-8 (the OpaqueString profile's
// normalisation), so that the same password typed on two systems matches.
QByteArray passwordBytes(const QString& password);

// generator_string(DSI, PRS, CI, sid, 128) and the encoded generator it maps to.
QByteArray cpaceGeneratorString(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid);
PublicBytes<kCPaceElementBytes> cpaceGenerator(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid);

// One party's run. start() draws the secret scalar (or takes a fixed one, for tests
// against the draft's vectors) and computes this side's share; receive() takes the
// peer's share and associated data; then the ISK and both tags are ready.
class CPaceParty {
public:
    enum class Role { Initiator, Responder }; // A speaks first, B answers

    static std::optional<CPaceParty> start(Role role, QByteArrayView prs, QByteArrayView ci, QByteArrayView sid,
                                           QByteArrayView ownAd,
                                           const SecretBytes<kCPaceScalarBytes>* fixedScalar = nullptr);

    // Ya for the initiator, Yb for the responder: 32 bytes, sent with this side's AD.
    QByteArray share() const { return toBytes(m_ownShare); }

    // False when the share is not 32 bytes, not a canonical ristretto255 encoding, or
    // gives the identity: the run must be abandoned (it counts as a failed attempt).
    bool receive(QByteArrayView peerShare, QByteArrayView peerAd);

    // After receive().
    const SecretBytes<kCPaceIskBytes>& isk() const { return m_isk; }
    QByteArrayView iskBytes() const {
        return {reinterpret_cast<const char*>(m_isk.data()), static_cast<qsizetype>(kCPaceIskBytes)};
    }
    QByteArray ownConfirmation() const;                   // Ta (initiator) or Tb (responder)
    bool checkConfirmation(QByteArrayView peerTag) const; // constant time

private:
    CPaceParty() = default;
    QByteArray tag(const PublicBytes<kCPaceElementBytes>& share, const QByteArray& ad) const;

    Role m_role = Role::Initiator;
    QByteArray m_sid;
    QByteArray m_ownAd;
    QByteArray m_peerAd;
    SecretBytes<kCPaceScalarBytes> m_scalar;
    PublicBytes<kCPaceElementBytes> m_ownShare{};
    PublicBytes<kCPaceElementBytes> m_peerShare{};
    SecretBytes<kCPaceIskBytes> m_isk;
    SecretBytes<crypto_hash_sha512_BYTES> m_macKey;
    bool m_received = false;
};

} // namespace session::secure
