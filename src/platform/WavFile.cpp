#include "platform/WavFile.h"

#include <QString>
#include <algorithm>
#include <limits>
#include <optional>

using namespace Qt::StringLiterals;

namespace platform {

namespace {

constexpr qint64 kRiffHeaderBytes = 12;
constexpr qint64 kChunkHeaderBytes = 8;
constexpr qint64 kFmtMinimumBytes = 16;
constexpr quint16 kFormatTagPcm = 1;

quint16 readLe16(QByteArrayView bytes, qint64 at) {
    return static_cast<quint16>(static_cast<quint8>(bytes[at]) | (static_cast<quint8>(bytes[at + 1]) << 8));
}

quint32 readLe32(QByteArrayView bytes, qint64 at) {
    return static_cast<quint32>(readLe16(bytes, at)) | (static_cast<quint32>(readLe16(bytes, at + 2)) << 16);
}

Result<WavFormat> parseFormatChunk(QByteArrayView chunk) {
    if (chunk.size() < kFmtMinimumBytes)
        return fail(u"the fmt chunk is too short"_s);
    const quint16 formatTag = readLe16(chunk, 0);
    const quint16 channels = readLe16(chunk, 2);
    const quint32 sampleRate = readLe32(chunk, 4);
    const quint16 blockAlign = readLe16(chunk, 12);
    const quint16 bitsPerSample = readLe16(chunk, 14);
    if (formatTag != kFormatTagPcm)
        return fail(u"unsupported encoding (format tag %1)"_s.arg(formatTag));
    if (channels != 1 && channels != 2)
        return fail(u"unsupported channel count %1"_s.arg(channels));
    if (bitsPerSample != 8 && bitsPerSample != 16)
        return fail(u"unsupported sample size of %1 bits"_s.arg(bitsPerSample));
    if (sampleRate == 0 || sampleRate > static_cast<quint32>(std::numeric_limits<int>::max()))
        return fail(u"invalid sample rate %1"_s.arg(sampleRate));
    WavFormat format{channels, static_cast<int>(sampleRate), bitsPerSample};
    // The frame size is what the samples are cut by; a header that disagrees with
    // itself is damaged rather than something to guess about.
    if (blockAlign != format.bytesPerFrame())
        return fail(u"block alignment %1 does not match the format"_s.arg(blockAlign));
    return format;
}

} // namespace

Result<WavSound> parseWav(QByteArrayView image) {
    const qint64 size = image.size();
    if (size < kRiffHeaderBytes)
        return fail(u"too short for a RIFF header"_s);
    if (image.first(4) != "RIFF" || image.sliced(8, 4) != "WAVE")
        return fail(u"not a RIFF/WAVE image"_s);

    const qint64 riffEnd = 8 + qint64{readLe32(image, 4)};
    // Some writers count the pad byte of an odd last chunk without writing it; one
    // byte short is accepted, anything more is a truncated file.
    if (riffEnd > size + 1)
        return fail(u"truncated: the RIFF length runs past the end"_s);
    const qint64 end = std::min(riffEnd, size);

    std::optional<WavFormat> format;
    std::optional<QByteArrayView> data;
    qint64 pos = kRiffHeaderBytes;
    while (pos < end) {
        if (end - pos < kChunkHeaderBytes)
            return fail(u"truncated chunk header"_s);
        const QByteArrayView id = image.sliced(pos, 4);
        const qint64 chunkSize = readLe32(image, pos + 4);
        const qint64 body = pos + kChunkHeaderBytes;
        if (chunkSize > end - body)
            return fail(u"chunk \"%1\" runs past the end"_s.arg(QString::fromLatin1(id)));
        const QByteArrayView chunk = image.sliced(body, chunkSize);
        if (id == "fmt " && !format) {
            auto parsed = parseFormatChunk(chunk);
            if (!parsed)
                return fail(parsed.error());
            format = *parsed;
        } else if (id == "data" && !data) {
            data = chunk;
        }
        pos = body + chunkSize + (chunkSize & 1);
    }

    if (!format)
        return fail(u"no fmt chunk"_s);
    if (!data)
        return fail(u"no data chunk"_s);
    const qint64 frameBytes = format->bytesPerFrame();
    const qint64 wholeFrames = data->size() / frameBytes;
    return WavSound{*format, data->first(wholeFrames * frameBytes).toByteArray()};
}

namespace {

// One sample of channel `channel` at frame `frame`, widened to signed 16 bits.
qint16 sampleAt(const WavSound& sound, qint64 frame, int channel) {
    const qint64 at = frame * sound.format.bytesPerFrame() + channel * (sound.format.bitsPerSample / 8);
    if (sound.format.bitsPerSample == 8)
        return static_cast<qint16>((static_cast<quint8>(sound.samples[at]) - 128) * 256);
    return static_cast<qint16>(readLe16(sound.samples, at));
}

// The value of output channel `channel` at `frame` of the source.
int mixedSample(const WavSound& sound, qint64 frame, int channel, int outChannels) {
    if (sound.format.channels == outChannels)
        return sampleAt(sound, frame, channel);
    if (sound.format.channels == 1)
        return sampleAt(sound, frame, 0);
    return (sampleAt(sound, frame, 0) + sampleAt(sound, frame, 1)) / 2;
}

} // namespace

Result<WavSound> convertToInt16(const WavSound& sound, int sampleRate, int channels, qsizetype maxBytes) {
    if (sampleRate <= 0 || (channels != 1 && channels != 2))
        return fail(u"unsupported output format"_s);
    const qint64 frames = sound.samples.size() / sound.format.bytesPerFrame();
    const qint64 sourceRate = sound.format.sampleRate;
    // One data chunk holds fewer than 2^32 frames and rates stay below 2^31, so the
    // products below fit in 64 bits.
    if (frames >= (qint64{1} << 32))
        return fail(u"the sound is too long to convert"_s);
    const qint64 outFrames = frames * sampleRate / sourceRate;
    if (outFrames > maxBytes / (channels * 2))
        return fail(u"the converted sound would be too large"_s);

    QByteArray out;
    out.resize(outFrames * channels * 2);
    qint64 write = 0;
    for (qint64 i = 0; i < outFrames; ++i) {
        const qint64 left = i * sourceRate / sampleRate;
        const qint64 right = std::min(left + 1, frames - 1);
        // The position between the two source frames, in units of 1 / sampleRate.
        const qint64 fraction = i * sourceRate - left * sampleRate;
        for (int c = 0; c < channels; ++c) {
            const qint64 a = mixedSample(sound, left, c, channels);
            const qint64 b = mixedSample(sound, right, c, channels);
            const auto value = static_cast<quint16>(static_cast<qint16>(a + (b - a) * fraction / sampleRate));
            out[write++] = static_cast<char>(value & 0xFF);
            out[write++] = static_cast<char>(value >> 8);
        }
    }
    return WavSound{WavFormat{channels, sampleRate, 16}, out};
}

} // namespace platform
