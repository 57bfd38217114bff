#pragma once

#include <QByteArray>
#include <QString>

namespace session {

// Passwords never travel: both sides prove knowledge with HMAC-SHA-256 keyed by a key
// derived from the password, over fresh random nonces and a label that differs for
// each use, so a proof captured in one place is worthless in any other (another
// nonce, another direction, another step).
//
// The key is slow to derive (PBKDF2-HMAC-SHA-256, kPasswordKeyIterations rounds) and
// salted with the room's instance id, so that somebody who records a proof pays that
// cost for every password guess. A room without a password has nothing to guess; its
// key is empty and costs nothing. Listings prove nothing with it: a password room
// answers them by CPace (secure/ListingSeal.h).
namespace proof {

inline constexpr int kNonceBytes = 16;
inline constexpr int kProofBytes = 32;

QByteArray randomNonce();

QByteArray joinKey(const QString& password, const QByteArray& instanceId);

QByteArray joinMember(const QByteArray& key, const QByteArray& hostNonce, const QByteArray& memberNonce);
QByteArray joinHost(const QByteArray& key, const QByteArray& hostNonce, const QByteArray& memberNonce);

// A room that outlives its host gives its members a random room secret; a copy that
// takes the room over proves it holds the secret before a member tells it anything.
// Each player has a resume secret of its own, which the members know only as its
// SHA-256 (the verifier): a new host checks a returning player against it.
QByteArray randomSecret();
QByteArray successorHost(const QByteArray& roomSecret, const QByteArray& hostNonce, const QByteArray& memberNonce);
QByteArray resumeVerifier(const QByteArray& resumeSecret);

// Compares in time independent of where the inputs differ.
bool equal(const QByteArray& a, const QByteArray& b);

} // namespace proof
} // namespace session
