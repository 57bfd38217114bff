#include "resources/BuiltinResources.h"

#include "WaveSynth.h"
#include "common/TestSupport.h"
#include "platform/WavFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QtEndian>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

using namespace Qt::StringLiterals;
using resources::BuiltinSound;

TEST(Sounds, KeptFilesAreWhatTheGeneratorMakesAudibleAndShippedAsKept) {
    // A sound edited in the generator but not made again (resources/regenerate.sh), or a
    // generator that no longer writes what it wrote, fails here (one step of rounding
    // allowed). Built-in sounds are compiled in byte for byte; the default Sounds folder
    // is copied beside the program.
    const struct {
        const char* file; // under resources/
        std::function<generator::Samples()> synth;
        int bits;
        std::optional<BuiltinSound> builtin = {};
    } cases[] = {
        {"builtin-sounds/message.wav", generator::messageChime, 8, BuiltinSound::Message},
        {"builtin-sounds/join.wav", generator::joinSound, 8, BuiltinSound::Join},
        {"builtin-sounds/leave.wav", generator::leaveSound, 8, BuiltinSound::Leave},
        {"Sounds/bell.wav", generator::bell, 16},
        {"Sounds/clap.wav", generator::clap, 16},
        {"Sounds/fanfare.wav", generator::fanfare, 16},
        {"Sounds/knock.wav", generator::knock, 16},
        {"Sounds/whistle.wav", generator::whistle, 16},
    };
    const QDir source(QStringLiteral(MIRELUNE_RESOURCES_SOURCE));
    const QDir installed(QCoreApplication::applicationDirPath() + u"/Sounds"_s);
    const QStringList defaults{u"bell.wav"_s, u"clap.wav"_s, u"fanfare.wav"_s, u"knock.wav"_s, u"whistle.wav"_s};
    EXPECT_EQ(QDir(source.filePath(u"Sounds"_s)).entryList({u"*.wav"_s}, QDir::Files, QDir::Name), defaults);
    EXPECT_EQ(installed.entryList({u"*.wav"_s}, QDir::Files, QDir::Name), defaults);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QString file = QString::fromLatin1(c.file);
        const QByteArray kept = testsupport::readAll(source.filePath(file));
        const QByteArray made = generator::encodeWav(c.synth(), 22050, c.bits);
        ASSERT_EQ(kept.size(), made.size());
        EXPECT_EQ(kept.first(44), made.first(44));
        const auto sound = platform::parseWav(kept);
        ASSERT_TRUE(sound.ok()) << sound.error().toStdString();
        EXPECT_EQ(sound->format, (platform::WavFormat{1, 22050, c.bits}));

        // Samples as fractions of full scale; one step is 1/128 or 1/32768 exactly.
        const int width = c.bits / 8;
        const auto level = [&](const QByteArray& image, qsizetype i) {
            return width == 1 ? (static_cast<unsigned char>(image[i]) - 128) / 128.0
                              : qFromLittleEndian<qint16>(image.constData() + i) / 32768.0;
        };
        double worst = 0.0, peak = 0.0;
        for (qsizetype i = 44; i < kept.size(); i += width) {
            worst = std::max(worst, std::abs(level(kept, i) - level(made, i)));
            peak = std::max(peak, std::abs(level(kept, i)));
        }
        EXPECT_LE(worst, width == 1 ? 1 / 128.0 : 1 / 32768.0);
        EXPECT_GT(peak, 0.4);

        if (c.builtin) {
            EXPECT_EQ(resources::builtinSound(*c.builtin), kept);
            // Starting and ending at silence is what keeps the sound from clicking.
            EXPECT_LE(std::max(std::abs(level(kept, 44)), std::abs(level(kept, kept.size() - 1))), 2 / 128.0);
        } else {
            const double seconds = static_cast<double>(kept.size() - 44) / (width * 22050);
            EXPECT_TRUE(seconds > 0.1 && seconds < 2.0) << seconds;
            EXPECT_EQ(testsupport::readAll(installed.filePath(QFileInfo(file).fileName())), kept);
        }
    }
}

TEST(BuiltinPictures, HaveTheirSizesAndCaptionsOnlyInsideTheirClickAreas) {
    // Caption ink (pixels darker than mid-grey) must fall inside the areas given, some in
    // each: the tabs' click areas (rows of the tab picture) and, for the buttons, inside
    // the frame lines the window draws at x 8 and 64, y 1 and 16.
    namespace p = resources::pictures;
    const QRect button(QPoint(9, 2), QPoint(63, 15));
    const auto rows = [](int top, int bottom) { return QRect(QPoint(0, top), QPoint(19, bottom)); };
    const std::tuple<QLatin1StringView, QSize, QList<QRect>> cases[] = {
        {p::kHeader, {18, 18}, {}},
        {p::kFooter, {18, 18}, {}},
        {p::kSelect, {20, 18}, {}},
        {p::kHide, {20, 20}, {}},
        {p::kTerminator, {20, 2}, {}},
        {p::kSpacer, {20, 3}, {}},
        {p::kVersion, {127, 303}, {}},
        {p::kSend, {75, 18}, {button}},
        {p::kExit, {75, 18}, {button}},
        {p::kMenuBase, {20, 283}, {rows(4, 45), rows(60, 109), rows(124, 173), rows(188, 269)}}};
    for (const auto& [path, size, inkAreas] : cases) {
        SCOPED_TRACE(path.data());
        const QImage image{QString(path)};
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), size);
        if (inkAreas.isEmpty())
            continue;
        QList<int> ink(inkAreas.size(), 0);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                if (qGray(image.pixel(x, y)) >= 128)
                    continue;
                const auto area = std::ranges::find_if(inkAreas, [&](const QRect& r) { return r.contains(x, y); });
                ASSERT_NE(area, inkAreas.end()) << "caption ink outside its area at " << x << "," << y;
                ++ink[area - inkAreas.begin()];
            }
        for (int count : ink)
            EXPECT_GT(count, 40) << "an area without caption";
    }
}
