#pragma once

#include <QByteArray>
#include <QString>

namespace session {

// Passwords never travel: both sides prove knowledge with HMAC-SHA-256 keyed by the
// password's UTF-8 bytes, over fresh random nonces and a label that differs for each
// use, so a proof captured in one place is worthless in any other (another nonce,
// another direction, another step).
namespace proof {

inline constexpr int kNonceBytes = 16;
inline constexpr int kProofBytes = 32;

QByteArray randomNonce();

QByteArray listQuery(const QString& password, const QByteArray& queryNonce, const QString& applicationId);
QByteArray listAnswer(const QString& password, const QByteArray& queryNonce, const QByteArray& instanceId);
QByteArray joinMember(const QString& password, const QByteArray& hostNonce, const QByteArray& memberNonce);
QByteArray joinHost(const QString& password, const QByteArray& hostNonce, const QByteArray& memberNonce);

// Compares in time independent of where the inputs differ.
bool equal(const QByteArray& a, const QByteArray& b);

} // namespace proof
} // namespace session
