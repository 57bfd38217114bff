// The record decoder, fed a stream of honest records with hostile bytes mixed in,
// cut into chunks of varying size (taken one record at a time, or, when byte 0 is odd,
// opened straight from each chunk), under ChaChaPoly or, when byte 0 has its second bit
// and the processor AES instructions, AES-GCM. Whatever it opens must be exactly the honest
// plaintexts, in order, and once it failed it must stay failed.
//
// The input is a little program: byte 0 chooses the chunking, then steps of
// [operation][length][bytes]: 0 seals the bytes as the next honest record, 1 appends
// them raw, 2 flips one bit of the stream so far, 3 repeats the last honest record.

#include "session/secure/RecordLayer.h"

#include <cstdint>
#include <cstdlib>

using namespace session::secure;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || !sodiumReady())
        return 0;
    SecretBytes<kCipherKeyBytes> key;
    for (std::size_t i = 0; i < key.size(); ++i)
        key.data()[i] = static_cast<unsigned char>(i * 7);
    CipherState cipher((data[0] & 2) != 0 && aesGcmAvailable() ? NoiseCipher::AesGcm : NoiseCipher::ChaChaPoly);
    cipher.initializeKey(key);
    RecordEncoder encoder(cipher);
    RecordDecoder decoder(cipher);

    const unsigned chunkSeed = data[0];
    QByteArray stream;
    QByteArray honest; // the plaintexts sealed, in order
    QByteArray lastRecord;
    bool tampered = false; // anything but honest records in the stream
    std::size_t pos = 1;
    while (pos + 2 <= size) {
        const unsigned op = data[pos] % 4;
        const std::size_t length = std::min<std::size_t>(data[pos + 1], size - pos - 2);
        const QByteArray bytes(reinterpret_cast<const char*>(data + pos + 2), static_cast<qsizetype>(length));
        pos += 2 + length;
        if (op == 0 && !bytes.isEmpty()) {
            lastRecord = *encoder.seal(bytes);
            stream += lastRecord;
            honest += bytes;
        } else if (op == 1 && !bytes.isEmpty()) {
            stream += bytes;
            tampered = true;
        } else if (op == 2 && !stream.isEmpty()) {
            const qsizetype at = static_cast<qsizetype>(length * 131 % static_cast<std::size_t>(stream.size()));
            stream[at] = static_cast<char>(stream[at] ^ (1 << (length % 8)));
            tampered = true;
        } else if (op == 3 && !lastRecord.isEmpty()) {
            stream += lastRecord;
            tampered = true;
        }
    }

    QByteArray opened;
    qsizetype fed = 0;
    unsigned step = 0;
    while (fed < stream.size()) {
        const qsizetype chunk = 1 + static_cast<qsizetype>((chunkSeed * 31 + step * 17) % 1031);
        const QByteArray piece = stream.mid(fed, chunk);
        fed += piece.size();
        ++step;
        if (chunkSeed & 1) { // records opened straight from the chunk
            const bool open = decoder.openInto(piece, opened);
            if (open == decoder.failed())
                std::abort();
            continue;
        }
        decoder.feed(piece);
        while (const std::optional<QByteArray> plaintext = decoder.next()) {
            if (decoder.failed() || plaintext->isEmpty() || plaintext->size() > kMaxRecordPlaintextBytes)
                std::abort();
            opened += *plaintext;
        }
    }
    // Nothing forged opens: what came out is the honest plaintexts or a prefix of them.
    if (!honest.startsWith(opened))
        std::abort();
    if (!tampered && (opened != honest || decoder.failed() || decoder.pendingBytes() != 0))
        std::abort();
    if (decoder.failed()) {
        decoder.feed(*encoder.seal("after the failure"));
        if (decoder.next() || decoder.pendingBytes() != 0)
            std::abort();
    }
    return 0;
}
