// The room connection's frame decoder, fed a hostile byte stream in chunks of
// varying size, as a socket delivers it. The bytes of every frame it returns must be
// exactly the bytes that came in, and a failed decoder must stay failed.

#include "session/SessionConfig.h"
#include "session/wire/FrameCodec.h"
#include "session/wire/WireBuffer.h"

#include <cstdint>
#include <cstdlib>

namespace {

// Reads a frame body the way the room's handlers do: fixed fields, strings with a
// cap, then the rest. Only the reader's own checks are exercised here.
void readBody(const QByteArray& body) {
    session::WireReader in(body);
    (void)in.u32();
    (void)in.string(4096);
    (void)in.bytes(16);
    (void)in.u16();
    (void)in.i32();
    (void)in.u8();
    const QByteArray rest = in.rest();
    if (in.ok() && in.remaining() != 0)
        std::abort();
    (void)rest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte chooses how the stream is cut into chunks, so that every split
    // of a frame (inside the length, between length and type, inside the body) occurs.
    const unsigned chunkSeed = data[0];
    const QByteArray stream(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));

    // A small limit, so that the refusal of oversized frames is reached with short inputs;
    // the configured limit is tried on every other input.
    const quint32 limit = (chunkSeed & 0x80) ? session::SessionConfig{}.maxFrameBytes : 512;
    session::FrameDecoder decoder(limit);
    QByteArray reassembled;
    qsizetype fed = 0;
    unsigned step = 0;
    while (fed < stream.size()) {
        const qsizetype chunk = 1 + static_cast<qsizetype>((chunkSeed * 7 + step * 13) % 97);
        const QByteArray piece = stream.mid(fed, chunk);
        decoder.feed(piece);
        fed += piece.size();
        ++step;
        while (const std::optional<session::Frame> frame = decoder.next()) {
            if (decoder.failed())
                std::abort();
            reassembled += session::encodeFrame(static_cast<session::FrameType>(frame->type), frame->body);
            if (static_cast<quint32>(frame->body.size()) + 1 > limit)
                std::abort();
            readBody(frame->body);
        }
    }

    if (decoder.failed()) {
        // Nothing more comes out of a failed stream, whatever follows.
        decoder.feed(QByteArrayLiteral("\x00\x00\x00\x01\x30"));
        if (decoder.next() || decoder.pendingBytes() != 0)
            std::abort();
        // What was returned before the failure is still a prefix of the stream.
        if (!stream.startsWith(reassembled))
            std::abort();
        return 0;
    }
    // Every byte is either in a returned frame, unchanged, or still pending.
    if (reassembled.size() + decoder.pendingBytes() != stream.size() || !stream.startsWith(reassembled))
        std::abort();
    return 0;
}
