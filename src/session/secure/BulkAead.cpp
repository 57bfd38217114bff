#include "session/secure/BulkAead.h"

#include "session/secure/WideAesGcm.h"

#include <climits>
#include <openssl/evp.h>

namespace session::secure {

namespace {

struct ContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter>;

// Fetched once: a context made from the library's legacy handle looks the cipher up
// again each time, which a join's handshake, with its several keys, would pay for.
const EVP_CIPHER* algorithm(BulkAead::Cipher cipher) {
    static const EVP_CIPHER* const aes = [] {
        const EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
        return fetched != nullptr ? fetched : EVP_aes_256_gcm();
    }();
    static const EVP_CIPHER* const chacha = [] {
        const EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
        return fetched != nullptr ? fetched : EVP_chacha20_poly1305();
    }();
    return cipher == BulkAead::Cipher::Aes256Gcm ? aes : chacha;
}

// The context in `slot`, made with the key's schedule at its first use, for sealing or
// for opening; nothing when OpenSSL cannot make one.
EVP_CIPHER_CTX* keyedContext(Context& slot, BulkAead::Cipher cipher, const unsigned char* key, bool sealing) {
    if (!slot) {
        Context context(EVP_CIPHER_CTX_new());
        if (!context ||
            EVP_CipherInit_ex(context.get(), algorithm(cipher), nullptr, key, nullptr, sealing ? 1 : 0) != 1)
            return nullptr;
        slot = std::move(context);
    }
    return slot.get();
}

bool fitsInt(std::size_t bytes) {
    return bytes <= static_cast<std::size_t>(INT_MAX);
}

} // namespace

struct BulkAead::Contexts {
    Cipher cipher = Cipher::ChaCha20Poly1305;
    Context seal;
    Context open;
    // AES-256-GCM where the processor has the wide instructions, for both directions.
    std::unique_ptr<WideAesGcm> wide;
};

BulkAead::BulkAead() = default;
BulkAead::BulkAead(const BulkAead&) {}
BulkAead& BulkAead::operator=(const BulkAead& other) {
    if (this != &other)
        reset();
    return *this;
}
BulkAead::BulkAead(BulkAead&&) noexcept = default;
BulkAead& BulkAead::operator=(BulkAead&&) noexcept = default;
BulkAead::~BulkAead() = default;

void BulkAead::reset() {
    m_contexts.reset();
}

BulkAead::Contexts& BulkAead::contexts(Cipher cipher) {
    if (!m_contexts || m_contexts->cipher != cipher) {
        m_contexts = std::make_unique<Contexts>();
        m_contexts->cipher = cipher;
    }
    return *m_contexts;
}

const WideAesGcm* BulkAead::wide(Cipher cipher, const unsigned char* key) {
    if (cipher != Cipher::Aes256Gcm || !WideAesGcm::available())
        return nullptr;
    Contexts& made = contexts(cipher);
    if (!made.wide)
        made.wide = std::make_unique<WideAesGcm>(key);
    return made.wide.get();
}

bool BulkAead::seal(Cipher cipher, const unsigned char* key, const unsigned char* nonce, const unsigned char* ad,
                    std::size_t adBytes, const unsigned char* plaintext, std::size_t plaintextBytes,
                    unsigned char* out) {
    if (const WideAesGcm* aes = wide(cipher, key)) {
        aes->seal(nonce, ad, adBytes, plaintext, plaintextBytes, out);
        return true;
    }
    EVP_CIPHER_CTX* context = nullptr;
    if (!fitsInt(adBytes) || !fitsInt(plaintextBytes) ||
        !(context = keyedContext(contexts(cipher).seal, cipher, key, true)))
        return false;
    int written = 0;
    int last = 0;
    return EVP_EncryptInit_ex(context, nullptr, nullptr, nullptr, nonce) == 1 &&
           (adBytes == 0 || EVP_EncryptUpdate(context, nullptr, &written, ad, static_cast<int>(adBytes)) == 1) &&
           (plaintextBytes == 0 ||
            EVP_EncryptUpdate(context, out, &written, plaintext, static_cast<int>(plaintextBytes)) == 1) &&
           EVP_EncryptFinal_ex(context, out + plaintextBytes, &last) == 1 &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagBytes), out + plaintextBytes) == 1;
}

bool BulkAead::open(Cipher cipher, const unsigned char* key, const unsigned char* nonce, const unsigned char* ad,
                    std::size_t adBytes, const unsigned char* ciphertext, std::size_t ciphertextBytes,
                    unsigned char* out) {
    if (const WideAesGcm* aes = wide(cipher, key))
        return aes->open(nonce, ad, adBytes, ciphertext, ciphertextBytes, out);
    EVP_CIPHER_CTX* context = nullptr;
    if (ciphertextBytes < kTagBytes || !fitsInt(adBytes) || !fitsInt(ciphertextBytes) ||
        !(context = keyedContext(contexts(cipher).open, cipher, key, false)))
        return false;
    const std::size_t plainBytes = ciphertextBytes - kTagBytes;
    // The tag is read before `out` may overwrite the ciphertext it follows.
    unsigned char tag[kTagBytes];
    for (std::size_t i = 0; i < kTagBytes; ++i)
        tag[i] = ciphertext[plainBytes + i];
    int written = 0;
    int last = 0;
    return EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, nonce) == 1 &&
           (adBytes == 0 || EVP_DecryptUpdate(context, nullptr, &written, ad, static_cast<int>(adBytes)) == 1) &&
           (plainBytes == 0 ||
            EVP_DecryptUpdate(context, out, &written, ciphertext, static_cast<int>(plainBytes)) == 1) &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagBytes), tag) == 1 &&
           EVP_DecryptFinal_ex(context, out + plainBytes, &last) == 1;
}

} // namespace session::secure
