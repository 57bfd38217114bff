#pragma once

#include "platform/Result.h"

#include <QByteArray>
#include <QByteArrayView>

namespace platform {

// The sample layout of a PCM sound: 8-bit samples are unsigned (silence 128),
// 16-bit samples signed little-endian; channels are interleaved.
struct WavFormat {
    int channels = 0;      // 1 or 2
    int sampleRate = 0;    // frames per second, above 0
    int bitsPerSample = 0; // 8 or 16

    int bytesPerFrame() const { return channels * bitsPerSample / 8; }
    friend bool operator==(const WavFormat&, const WavFormat&) = default;
};

struct WavSound {
    WavFormat format;
    QByteArray samples; // whole frames only
};

// Reads a RIFF/WAVE image: uncompressed PCM (format tag 1), 8 or 16 bits, mono or
// stereo, any sample rate. Chunks may come in any order and unknown ones are skipped.
// Every length is checked against the bytes really present, so a damaged, truncated
// or unsupported image gives an error and never a read past its end. A partial frame
// at the end of the data is dropped.
Result<WavSound> parseWav(QByteArrayView image);

// The sound as signed 16-bit samples with `channels` channels (1 or 2) at
// `sampleRate`, for a device that cannot take the sound's own format. Mono is copied
// to both sides, stereo is mixed down by averaging, the rate is changed by linear
// interpolation. Fails when the result would be larger than `maxBytes`.
Result<WavSound> convertToInt16(const WavSound& sound, int sampleRate, int channels,
                                qsizetype maxBytes = qsizetype{64} * 1024 * 1024);

} // namespace platform
