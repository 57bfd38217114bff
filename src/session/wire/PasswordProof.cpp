#include "session/wire/PasswordProof.h"

#include <QMessageAuthenticationCode>
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

QByteArray successorHost(const QByteArray& roomSecret, const QByteArray& hostNonce, const QByteArray& memberNonce) {
    return hmac(roomSecret, "mirelune successor host", hostNonce, memberNonce);
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
