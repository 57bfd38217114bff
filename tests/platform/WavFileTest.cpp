#include "platform/WavFile.h"

#include <QByteArray>
#include <QList>
#include <gtest/gtest.h>
#include <initializer_list>
#include <optional>

using namespace Qt::StringLiterals;
using platform::WavFormat;

namespace {

QByteArray le16(unsigned value) {
    QByteArray bytes;
    bytes.append(static_cast<char>(value & 0xFF));
    bytes.append(static_cast<char>((value >> 8) & 0xFF));
    return bytes;
}

QByteArray le32(quint32 value) {
    return le16(value & 0xFFFF) + le16(value >> 16);
}

// A chunk as a RIFF writer lays it out, with the pad byte after an odd body.
QByteArray chunk(const char* id, const QByteArray& body) {
    QByteArray bytes = QByteArray(id, 4) + le32(static_cast<quint32>(body.size())) + body;
    if (body.size() % 2)
        bytes.append('\0');
    return bytes;
}

QByteArray chunkWithSize(const char* id, quint32 declaredSize, const QByteArray& body) {
    return QByteArray(id, 4) + le32(declaredSize) + body;
}

QByteArray fmtBody(unsigned tag, unsigned channels, quint32 rate, unsigned bits, std::optional<unsigned> align = {}) {
    const unsigned blockAlign = align.value_or(channels * bits / 8);
    return le16(tag) + le16(channels) + le32(rate) + le32(rate * blockAlign) + le16(blockAlign) + le16(bits);
}

QByteArray riff(std::initializer_list<QByteArray> chunks) {
    QByteArray body = QByteArrayLiteral("WAVE");
    for (const QByteArray& c : chunks)
        body += c;
    return QByteArrayLiteral("RIFF") + le32(static_cast<quint32>(body.size())) + body;
}

QByteArray withRiffSize(QByteArray image, quint32 size) {
    image.replace(4, 4, le32(size));
    return image;
}

const QByteArray kMonoSamples = QByteArrayLiteral("\x80\xff\x00\x40\xc0");
const QByteArray kStereoFrames = le16(1000) + le16(0xFC18) + le16(0x7FFF) + le16(0x8000);
const QByteArray kMono8 = riff({chunk("fmt ", fmtBody(1, 1, 22050, 8)), chunk("data", kMonoSamples)});

struct ParseCase {
    const char* name;
    QByteArray image;
    std::optional<WavFormat> format; // empty: must be rejected
    QByteArray samples;
};

} // namespace

TEST(WavFile, ParsesValidImagesAndRejectsDamagedOnes) {
    const QByteArray fmtMono8 = chunk("fmt ", fmtBody(1, 1, 22050, 8));
    const QByteArray fmtStereo16 = chunk("fmt ", fmtBody(1, 2, 44100, 16));
    const WavFormat mono8{1, 22050, 8};
    const WavFormat stereo16{2, 44100, 16};
    const QByteArray list = chunk("LIST", QByteArrayLiteral("INFOISFT\x05\0\0\0abcd\0"));

    const QList<ParseCase> cases = {
        {"8-bit mono 22050 Hz", kMono8, mono8, kMonoSamples},
        {"16-bit stereo", riff({fmtStereo16, chunk("data", kStereoFrames)}), stereo16, kStereoFrames},
        {"data before fmt", riff({chunk("data", kMonoSamples), fmtMono8}), mono8, kMonoSamples},
        {"LIST chunk before data", riff({fmtMono8, list, chunk("data", kMonoSamples)}), mono8, kMonoSamples},
        {"odd unknown chunk is padded", riff({chunk("junk", "abc"), fmtMono8, chunk("data", kMonoSamples)}), mono8,
         kMonoSamples},
        {"fmt with an extension size", riff({chunk("fmt ", fmtBody(1, 1, 22050, 8) + le16(0)), chunk("data", "ab")}),
         mono8, "ab"},
        {"partial frame dropped", riff({fmtStereo16, chunk("data", kStereoFrames + "xyz")}), stereo16, kStereoFrames},
        {"missing last pad byte", kMono8.chopped(1), mono8, kMonoSamples},
        {"bytes after the RIFF end ignored", kMono8 + "trailing", mono8, kMonoSamples},
        {"second data chunk ignored", riff({fmtMono8, chunk("data", "ab"), chunk("data", "cd")}), mono8, "ab"},
        {"empty data", riff({fmtMono8, chunk("data", {})}), mono8, {}},

        {"empty input", {}, {}, {}},
        {"not RIFF", "RIFX" + kMono8.sliced(4), {}, {}},
        {"not WAVE", kMono8.first(8) + "AVI " + kMono8.sliced(12), {}, {}},
        {"truncated header", kMono8.first(20), {}, {}},
        {"truncated inside data", kMono8.first(kMono8.size() - 3), {}, {}},
        {"RIFF length past the end", withRiffSize(kMono8, 4000), {}, {}},
        {"data length past the end", riff({fmtMono8, chunkWithSize("data", 1000, kMonoSamples)}), {}, {}},
        {"no fmt chunk", riff({chunk("data", kMonoSamples)}), {}, {}},
        {"no data chunk", riff({fmtMono8, list}), {}, {}},
        {"format 3 (float)", riff({chunk("fmt ", fmtBody(3, 1, 22050, 32)), chunk("data", "abcd")}), {}, {}},
        {"three channels", riff({chunk("fmt ", fmtBody(1, 3, 22050, 8)), chunk("data", "abc")}), {}, {}},
        {"24-bit samples", riff({chunk("fmt ", fmtBody(1, 1, 22050, 24)), chunk("data", "abc")}), {}, {}},
        {"zero sample rate", riff({chunk("fmt ", fmtBody(1, 1, 0, 8)), chunk("data", "ab")}), {}, {}},
        {"block alignment contradicts",
         riff({chunk("fmt ", fmtBody(1, 2, 22050, 16, 2)), chunk("data", "abcd")}),
         {},
         {}},
        {"fmt chunk too short", riff({chunk("fmt ", fmtBody(1, 1, 22050, 8).first(14)), chunk("data", "ab")}), {}, {}},
        {"4 GiB RIFF size", withRiffSize(kMono8, 0xFFFFFFFF), {}, {}},
        {"4 GiB data size", riff({fmtMono8, chunkWithSize("data", 0xFFFFFFFF, kMonoSamples)}), {}, {}},
        {"4 GiB unknown chunk size",
         riff({fmtMono8, chunkWithSize("LIST", 0xFFFFFFFE, "INFO"), chunk("data", "a")}),
         {},
         {}},
        {"4 GiB fmt size", riff({chunkWithSize("fmt ", 0xFFFFFFF0, fmtBody(1, 1, 22050, 8))}), {}, {}},
        {"chunk header cut short", riff({fmtMono8, chunk("data", "ab"), QByteArrayLiteral("LIS")}), {}, {}},
    };

    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = platform::parseWav(c.image);
        if (!c.format) {
            EXPECT_FALSE(result.ok());
            continue;
        }
        ASSERT_TRUE(result.ok()) << result.error().toStdString();
        EXPECT_EQ(result->format, *c.format);
        EXPECT_EQ(result->samples, c.samples);
    }
}

TEST(WavFile, ConvertsToSigned16BitSamples) {
    struct Case {
        const char* name;
        WavFormat from;
        QByteArray samples;
        int rate;
        int channels;
        QList<int> expected;
    };
    auto int16s = [](std::initializer_list<int> values) {
        QByteArray bytes;
        for (int v : values)
            bytes += le16(static_cast<unsigned>(v) & 0xFFFF);
        return bytes;
    };
    const QList<Case> cases = {
        {"unsigned 8-bit widened",
         {1, 8000, 8},
         QByteArrayLiteral("\x00\x80\xff\x7f"),
         8000,
         1,
         {-32768, 0, 32512, -256}},
        {"mono copied to both sides", {1, 8000, 16}, int16s({1000, -2000}), 8000, 2, {1000, 1000, -2000, -2000}},
        {"stereo averaged to mono",
         {2, 8000, 16},
         int16s({100, 300, -100, -300, 32767, 32767}),
         8000,
         1,
         {200, -200, 32767}},
        {"8-bit stereo to mono", {2, 8000, 8}, QByteArrayLiteral("\x00\xff"), 8000, 1, {-128}},
        {"rate doubled by interpolation", {1, 1000, 16}, int16s({0, 1000}), 2000, 1, {0, 500, 1000, 1000}},
        {"rate halved", {1, 2000, 16}, int16s({0, 10, 20, 30}), 1000, 1, {0, 20}},
        {"22050 to 44100 from 8-bit",
         {1, 22050, 8},
         QByteArrayLiteral("\x80\xc0"),
         44100,
         2,
         {0, 0, 8192, 8192, 16384, 16384, 16384, 16384}},
        {"empty stays empty", {1, 22050, 8}, {}, 48000, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = platform::convertToInt16({c.from, c.samples}, c.rate, c.channels);
        ASSERT_TRUE(result.ok()) << result.error().toStdString();
        EXPECT_EQ(result->format, (WavFormat{c.channels, c.rate, 16}));
        QList<int> actual;
        for (qsizetype i = 0; i + 1 < result->samples.size(); i += 2)
            actual.append(static_cast<qint16>(static_cast<quint8>(result->samples[i]) |
                                              (static_cast<quint8>(result->samples[i + 1]) << 8)));
        EXPECT_EQ(actual, c.expected);
    }
}

TEST(WavFile, RefusesConversionsThatWouldGrowTooLarge) {
    // Three frames at 1 Hz last three seconds: 576,000 bytes at 48 kHz in stereo.
    const platform::WavSound slow{{1, 1, 8}, QByteArray(3, '\x80')};
    EXPECT_FALSE(platform::convertToInt16(slow, 48000, 2, 100'000).ok());
    EXPECT_TRUE(platform::convertToInt16(slow, 48000, 2, 600'000).ok());
    EXPECT_FALSE(platform::convertToInt16(slow, 48000, 3).ok());
    EXPECT_FALSE(platform::convertToInt16(slow, 0, 2).ok());
}
