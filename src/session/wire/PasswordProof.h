#pragma once

#include <QByteArray>
#include <QString>

namespace session {

// Proofs are HMAC-SHA-256 over fresh random nonces and a label that differs for each
// use, so a proof captured in one place is worthless in any other (another nonce,
// another direction, another step).
//
// No proof here is keyed by a password: joining a password room runs CPace inside the
// connection (secure/CPace.h), and a password room answers listings by CPace too
// (secure/ListingSeal.h), so nothing on the wire lets anyone test a guess offline.
namespace proof {

inline constexpr int kNonceBytes = 16;
inline constexpr int kProofBytes = 32;

QByteArray randomNonce();

// A room that outlives its host gives its members a random room secret; a copy that
// takes the room over proves it holds the secret before a member tells it anything.
// A client that offered no signing key resumes with a random secret of its own, at the
// host that gave it only (a player with a key signs its connection instead).
QByteArray randomSecret();
QByteArray successorHost(const QByteArray& roomSecret, const QByteArray& hostNonce, const QByteArray& memberNonce);

// Compares in time independent of where the inputs differ.
bool equal(const QByteArray& a, const QByteArray& b);

} // namespace proof
} // namespace session
