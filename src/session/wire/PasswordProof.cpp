#include "session/wire/PasswordProof.h"

#include "session/SessionConfig.h"

#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <cstring>

namespace session::proof {

namespace {
QByteArray hmac(const QByteArray& key, const char* label, const QByteArray& a, const QByteArray& b) {
    QMessageAuthenticationCode code(QCryptographicHash::Sha256, key);
    code.addData(label, static_cast<qsizetype>(std::strlen(label)));
    code.addData(a);
    code.addData(b);
    return code.result();
}

QByteArray derive(const QString& password, const QByteArray& salt) {
    if (password.isEmpty()) {
        return {};
    }
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              kPasswordKeyIterations, kProofBytes);
}
} // namespace

QByteArray randomNonce() {
    QByteArray nonce(kNonceBytes, Qt::Uninitialized);
    for (int i = 0; i < kNonceBytes; i += 4) {
        const quint32 word = QRandomGenerator::system()->generate();
        std::memcpy(nonce.data() + i, &word, 4);
    }
    return nonce;
}

QByteArray randomSecret() {
    return randomNonce() + randomNonce();
}

QByteArray joinKey(const QString& password, const QByteArray& instanceId) {
    return derive(password, QByteArrayLiteral("mirelune join key ") + instanceId);
}

QByteArray joinMember(const QByteArray& key, const QByteArray& hostNonce, const QByteArray& memberNonce) {
    return hmac(key, "mirelune join member", hostNonce, memberNonce);
}

QByteArray joinHost(const QByteArray& key, const QByteArray& hostNonce, const QByteArray& memberNonce) {
    return hmac(key, "mirelune join host", hostNonce, memberNonce);
}

QByteArray successorHost(const QByteArray& roomSecret, const QByteArray& hostNonce, const QByteArray& memberNonce) {
    return hmac(roomSecret, "mirelune successor host", hostNonce, memberNonce);
}

QByteArray resumeVerifier(const QByteArray& resumeSecret) {
    return QCryptographicHash::hash(resumeSecret, QCryptographicHash::Sha256);
}

bool equal(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    }
    return diff == 0;
}

} // namespace session::proof
