#include "resources/BuiltinResources.h"

#include "platform/WavFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using resources::BuiltinSound;

namespace {

// The largest distance of an 8- or 16-bit sample from silence, as a fraction of full scale.
double peakLevel(const platform::WavSound& sound) {
    double peak = 0.0;
    if (sound.format.bitsPerSample == 8) {
        for (char c : sound.samples)
            peak = std::max(peak, std::abs(static_cast<unsigned char>(c) - 128) / 128.0);
    } else {
        const auto* s = reinterpret_cast<const qint16*>(sound.samples.constData());
        for (qsizetype i = 0; i < sound.samples.size() / 2; ++i)
            peak = std::max(peak, std::abs(static_cast<int>(s[i])) / 32768.0);
    }
    return peak;
}

bool isInk(QRgb pixel) {
    return qGray(pixel) < 128;
}

} // namespace

TEST(BuiltinSounds, AreMono22050Hz8BitPcmOfTheirExactSizesAndAudible) {
    struct Case {
        BuiltinSound which;
        qsizetype bytes;
    };
    const Case cases[] = {{BuiltinSound::Message, 1184}, {BuiltinSound::Join, 15916}, {BuiltinSound::Leave, 9388}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.which));
        const QByteArray image = resources::builtinSound(c.which);
        ASSERT_EQ(image.size(), c.bytes);
        const auto sound = platform::parseWav(image);
        ASSERT_TRUE(sound.ok()) << sound.error().toStdString();
        EXPECT_EQ(sound->format, (platform::WavFormat{1, 22050, 8}));
        // Nothing but the canonical 44-byte header besides the samples.
        EXPECT_EQ(sound->samples.size(), c.bytes - 44);
        EXPECT_GT(peakLevel(*sound), 0.4);
        // Starting and ending at silence is what keeps the sound from clicking.
        const auto first = static_cast<unsigned char>(sound->samples.front());
        const auto last = static_cast<unsigned char>(sound->samples.back());
        EXPECT_LE(std::abs(first - 128), 2);
        EXPECT_LE(std::abs(last - 128), 2);
    }
}

TEST(BuiltinPictures, HaveTheirPixelSizes) {
    namespace p = resources::pictures;
    struct Case {
        QLatin1StringView path;
        QSize size;
    };
    const Case cases[] = {
        {p::kHeader, {18, 18}}, {p::kFooter, {18, 18}},    {p::kMenuBase, {20, 283}}, {p::kSelect, {20, 18}},
        {p::kHide, {20, 20}},   {p::kTerminator, {20, 2}}, {p::kSpacer, {20, 3}},     {p::kSend, {75, 18}},
        {p::kExit, {75, 18}},   {p::kVersion, {127, 303}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.data());
        const QImage image{QString(c.path)};
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), c.size);
    }
}

TEST(BuiltinPictures, TabCaptionsLieInsideTheClickAreasOfTheirTabs) {
    // The tabs' click areas in rows of the tab picture (it starts 300 twips down the
    // strip, 15 twips to the pixel): a caption outside its area would switch to the
    // wrong panel when clicked.
    const QImage strip(QString(resources::pictures::kMenuBase));
    ASSERT_FALSE(strip.isNull());
    const int areas[4][2] = {{4, 45}, {60, 109}, {124, 173}, {188, 269}};
    int inkPerArea[4] = {};
    for (int y = 0; y < strip.height(); ++y) {
        for (int x = 0; x < strip.width(); ++x) {
            if (!isInk(strip.pixel(x, y)))
                continue;
            const auto area = std::find_if(std::begin(areas), std::end(areas),
                                           [y](const int(&a)[2]) { return y >= a[0] && y <= a[1]; });
            ASSERT_TRUE(area != std::end(areas)) << "caption ink outside every tab at row " << y;
            ++inkPerArea[area - std::begin(areas)];
        }
    }
    for (int tab = 0; tab < 4; ++tab)
        EXPECT_GT(inkPerArea[tab], 40) << "tab " << tab << " has no caption";
}

TEST(BuiltinPictures, ButtonCaptionsStayInsideTheButtonFrame) {
    // The window draws the frame lines over the picture at x 8 and 64, y 1 and 16.
    for (QLatin1StringView path : {resources::pictures::kSend, resources::pictures::kExit}) {
        SCOPED_TRACE(path.data());
        const QImage button{QString(path)};
        ASSERT_FALSE(button.isNull());
        int ink = 0;
        for (int y = 0; y < button.height(); ++y) {
            for (int x = 0; x < button.width(); ++x) {
                if (!isInk(button.pixel(x, y)))
                    continue;
                ++ink;
                EXPECT_TRUE(x > 8 && x < 64 && y > 1 && y < 16) << "ink at " << x << "," << y;
            }
        }
        EXPECT_GT(ink, 40);
    }
}

TEST(DefaultSounds, AreShortAudiblePcmWavBesideTheProgramAsInTheSource) {
    const QDir source(QStringLiteral(MIRELUNE_RESOURCES_SOURCE "/Sounds"));
    const QDir installed(QCoreApplication::applicationDirPath() + u"/Sounds"_s);
    const QStringList names = source.entryList({u"*.wav"_s}, QDir::Files, QDir::Name);
    EXPECT_GE(names.size(), 3);
    EXPECT_EQ(installed.entryList({u"*.wav"_s}, QDir::Files, QDir::Name), names);
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        QFile file(source.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray image = file.readAll();
        const auto sound = platform::parseWav(image);
        ASSERT_TRUE(sound.ok()) << sound.error().toStdString();
        EXPECT_EQ(sound->format.channels, 1);
        const double seconds =
            static_cast<double>(sound->samples.size()) / (sound->format.bytesPerFrame() * sound->format.sampleRate);
        EXPECT_GT(seconds, 0.1);
        EXPECT_LT(seconds, 2.0);
        EXPECT_GT(peakLevel(*sound), 0.4);

        QFile copy(installed.filePath(name));
        ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
        EXPECT_EQ(copy.readAll(), image);
    }
}
