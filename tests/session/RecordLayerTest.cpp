// The records that carry everything after the handshake, fed the way a hostile peer
// or a cut connection would feed them.
#include "session/secure/RecordLayer.h"

#include "session/secure/WideAesGcm.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <openssl/evp.h>

using namespace session::secure;
using namespace Qt::StringLiterals;

namespace {

// Both ends of one direction, on a fixed key.
struct Direction {
    RecordEncoder encoder;
    RecordDecoder decoder;
};

Direction direction(NoiseCipher algorithm) {
    SecretBytes<kCipherKeyBytes> key;
    randombytes_buf(key.data(), key.size());
    CipherState cipher(algorithm);
    cipher.initializeKey(key);
    return {RecordEncoder(cipher), RecordDecoder(cipher)};
}

// Both ciphers where the processor has AES instructions, ChaChaPoly alone elsewhere.
std::vector<NoiseCipher> ciphers() {
    if (aesGcmAvailable())
        return {NoiseCipher::ChaChaPoly, NoiseCipher::AesGcm};
    return {NoiseCipher::ChaChaPoly};
}

QByteArray openAll(RecordDecoder& decoder) {
    QByteArray out;
    while (const std::optional<QByteArray> plaintext = decoder.next())
        out += *plaintext;
    return out;
}

// AES-256-GCM as OpenSSL seals it, the reference the wide code must match.
std::vector<unsigned char> referenceSeal(const std::vector<unsigned char>& key, const std::vector<unsigned char>& nonce,
                                         const std::vector<unsigned char>& ad,
                                         const std::vector<unsigned char>& plaintext) {
    std::vector<unsigned char> out(plaintext.size() + 16);
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int written = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(context, EVP_aes_256_gcm(), nullptr, key.data(), nonce.data()), 1);
    EXPECT_EQ(EVP_EncryptUpdate(context, nullptr, &written, ad.data(), static_cast<int>(ad.size())), 1);
    EXPECT_EQ(EVP_EncryptUpdate(context, out.data(), &written, plaintext.data(), static_cast<int>(plaintext.size())),
              1);
    EXPECT_EQ(EVP_EncryptFinal_ex(context, out.data() + plaintext.size(), &written), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plaintext.size()), 1);
    EVP_CIPHER_CTX_free(context);
    return out;
}

} // namespace

// The wide AES-256-GCM seals every length as OpenSSL does (a chunk is 256 bytes, a
// register 64, a block 16, and a header with the last 224 or 240 bytes and the lengths
// fill one chunk's hash: each side of each edge), opens what it sealed, in place, and
// refuses a record with any bit changed, the associated data's included.
TEST(RecordLayer, WideAesGcmIsAesGcm) {
    if (!WideAesGcm::available())
        GTEST_SKIP() << "this processor lacks the wide AES instructions";
    const std::vector<std::size_t> lengths = {0,   1,   15,  16,  17,  63,  64,  65,  224,  225,  240,
                                              241, 255, 256, 257, 480, 497, 511, 512, 1000, 4096, 16377};
    for (const std::size_t adBytes : {0, 2, 16, 17, 300}) {
        for (const std::size_t length : lengths) {
            SCOPED_TRACE(testing::Message() << length << " bytes, " << adBytes << " of associated data");
            std::vector<unsigned char> key(32), nonce(12), ad(adBytes), plaintext(length);
            for (std::vector<unsigned char>* bytes : {&key, &nonce, &ad, &plaintext}) {
                if (!bytes->empty()) // an empty vector's data() may be null, which libsodium refuses
                    randombytes_buf(bytes->data(), bytes->size());
            }
            const WideAesGcm aes(key.data());
            std::vector<unsigned char> sealed(length + 16);
            aes.seal(nonce.data(), ad.data(), adBytes, plaintext.data(), length, sealed.data());
            ASSERT_EQ(sealed, referenceSeal(key, nonce, ad, plaintext));

            std::vector<unsigned char> opened = sealed;
            ASSERT_TRUE(aes.open(nonce.data(), ad.data(), adBytes, opened.data(), opened.size(), opened.data()));
            opened.resize(length);
            EXPECT_EQ(opened, plaintext);

            std::vector<unsigned char> changed = sealed;
            changed[(length + 7) % changed.size()] ^= 0x20;
            EXPECT_FALSE(aes.open(nonce.data(), ad.data(), adBytes, changed.data(), changed.size(), changed.data()));
            if (adBytes > 0) {
                ad[adBytes - 1] ^= 1;
                changed = sealed;
                EXPECT_FALSE(
                    aes.open(nonce.data(), ad.data(), adBytes, changed.data(), changed.size(), changed.data()));
            }
        }
    }
}

TEST(RecordLayer, OpensAStreamSplitAnywhere) {
    for (const NoiseCipher algorithm : ciphers()) {
        SCOPED_TRACE(noiseProtocolName(algorithm).toByteArray().toStdString());
        Direction d = direction(algorithm);
        // Batches of one byte, of a few frames, and one larger than a record, which
        // becomes two.
        const QByteArray batches[] = {"x", QByteArray(4096, 'a'), QByteArray(kMaxRecordPlaintextBytes + 5, 'b')};
        QByteArray stream;
        QByteArray plain;
        for (const QByteArray& batch : batches) {
            stream += *d.encoder.seal(batch);
            plain += batch;
        }
        EXPECT_EQ(stream.size(), plain.size() + 4 * (kRecordHeaderBytes + 16));
        EXPECT_EQ(d.encoder.cipher().nonce(), 4u);
        for (qsizetype cut = 0; cut <= stream.size(); cut += (cut < 4200 ? 1 : 997)) {
            RecordDecoder decoder = d.decoder; // the receiving side at nonce 0
            decoder.feed(QByteArrayView(stream).first(cut));
            QByteArray out = openAll(decoder);
            decoder.feed(QByteArrayView(stream).sliced(cut));
            out += openAll(decoder);
            ASSERT_EQ(out, plain) << "cut at " << cut;
            ASSERT_FALSE(decoder.failed());
            ASSERT_EQ(decoder.pendingBytes(), 0);
            // Opened straight from three reads, the second one ending inside a record again.
            RecordDecoder direct = d.decoder;
            const qsizetype second = std::min(stream.size(), cut + 1 + cut % 50);
            QByteArray opened;
            ASSERT_TRUE(direct.openInto(QByteArrayView(stream).first(cut), opened));
            ASSERT_TRUE(direct.openInto(QByteArrayView(stream).sliced(cut, second - cut), opened));
            ASSERT_TRUE(direct.openInto(QByteArrayView(stream).sliced(second), opened));
            ASSERT_EQ(opened, plain) << "cut at " << cut;
            ASSERT_EQ(direct.pendingBytes(), 0);
        }
    }
}

TEST(RecordLayer, ClosesOnEveryHostileRecord) {
    for (const NoiseCipher algorithm : ciphers()) {
        SCOPED_TRACE(noiseProtocolName(algorithm).toByteArray().toStdString());
        Direction d = direction(algorithm);
        const QByteArray first = *d.encoder.seal("first batch");
        const QByteArray second = *d.encoder.seal("second batch");
        const auto flipped = [](QByteArray bytes, qsizetype at) {
            bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
            return bytes;
        };
        const struct {
            const char* what;
            QByteArray stream;
            QByteArray opened; // what comes out before the fault
            RecordError error;
            bool waits; // a cut record: nothing wrong yet, the rest may still come
        } cases[] = {
            {"cut inside the length", first.left(1), {}, RecordError::None, true},
            {"cut inside the tag", first.chopped(1), {}, RecordError::None, true},
            {"a bit flipped in the ciphertext", flipped(first, 3), {}, RecordError::Authentication, false},
            {"a bit flipped in the tag", flipped(first, first.size() - 1), {}, RecordError::Authentication, false},
            {"the length shortened", flipped(first, 1).left(first.size() - 1), {}, RecordError::Authentication, false},
            {"a length too short for a tag",
             QByteArray::fromHex("0010") + QByteArray(16, 'x'),
             {},
             RecordError::Length,
             false},
            {"the largest length, with noise",
             QByteArray::fromHex("ffff") + QByteArray(65535, 'x'),
             {},
             RecordError::Authentication,
             false},
            {"a record replayed", first + first, "first batch", RecordError::Authentication, false},
            {"records reordered", second + first, {}, RecordError::Authentication, false},
            {"a record dropped", second, {}, RecordError::Authentication, false},
            {"a record under another key",
             *direction(algorithm).encoder.seal("first batch"),
             {},
             RecordError::Authentication,
             false},
        };
        for (const auto& c : cases) {
            RecordDecoder decoder = d.decoder;
            decoder.feed(c.stream);
            EXPECT_EQ(openAll(decoder), c.opened) << c.what;
            EXPECT_EQ(decoder.error(), c.error) << c.what;
            EXPECT_EQ(decoder.pendingBytes() > 0, c.waits) << c.what;
            // A failed stream stays failed: the honest record that follows is not opened.
            decoder.feed(first);
            if (!c.waits) {
                EXPECT_FALSE(decoder.next()) << c.what;
            }
            // The same when opened straight from two reads, the first of one byte.
            RecordDecoder direct = d.decoder;
            QByteArray opened;
            direct.openInto(QByteArrayView(c.stream).first(1), opened);
            EXPECT_EQ(direct.openInto(QByteArrayView(c.stream).sliced(1), opened), c.error == RecordError::None)
                << c.what;
            EXPECT_EQ(opened, c.opened) << c.what;
            EXPECT_EQ(direct.error(), c.error) << c.what;
        }
    }
}

// The records example of docs/protocol.md: a client written from the document
// produces and accepts these bytes.
TEST(RecordLayer, TheDocumentsExampleIsTheCodesBytes) {
    QFile document(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../docs/protocol.md"));
    ASSERT_TRUE(document.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(document.readAll());
    const qsizetype begin = text.indexOf(u"```record-vectors\n"_s);
    const QString block = text.mid(begin, text.indexOf(u"```\n"_s, begin + 3) - begin);
    QMap<QString, QByteArray> v;
    static const QRegularExpression line(u"^(.+?)\\s+=\\s+([0-9a-f ]+)$"_s, QRegularExpression::MultilineOption);
    for (auto match = line.globalMatch(block); match.hasNext();) {
        const auto found = match.next();
        v.insert(found.captured(1), QByteArray::fromHex(found.captured(2).remove(u' ').toLatin1()));
    }
    ASSERT_EQ(v.size(), 5);

    SecretBytes<kCipherKeyBytes> key;
    std::copy(v[u"key"_s].begin(), v[u"key"_s].end(), reinterpret_cast<char*>(key.data()));
    CipherState cipher;
    cipher.initializeKey(key);
    RecordEncoder encoder(cipher);
    RecordDecoder decoder(cipher);
    for (const QString& record : {u"record 0"_s, u"record 1"_s}) {
        EXPECT_EQ(encoder.seal(v[record + u" plaintext"_s])->toHex(), v[record].toHex()) << record.toStdString();
        decoder.feed(v[record]);
        EXPECT_EQ(decoder.next().value_or("failed"), v[record + u" plaintext"_s]);
    }
}
