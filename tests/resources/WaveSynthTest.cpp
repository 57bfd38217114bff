#include "WaveSynth.h"

#include "platform/WavFile.h"
#include "resources/BuiltinResources.h"

#include <QFile>
#include <QtEndian>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <utility>

using namespace Qt::StringLiterals;

TEST(WaveSynth, EncodesCanonicalPcmAndClipsOutOfRangeSamples) {
    const generator::Samples samples = {0.0, 1.0, -1.0, 2.0, -3.0, 0.5};
    struct Case {
        int bits;
        QByteArray data;
    };
    const Case cases[] = {
        {8, QByteArray::fromHex("80ff01ff01c0")},
        {16, QByteArray::fromHex("0000ff7f0180ff7f01800040")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        const QByteArray image = generator::encodeWav(samples, 11025, c.bits);
        ASSERT_EQ(image.size(), 44 + c.data.size());
        EXPECT_EQ(image.first(4), "RIFF");
        EXPECT_EQ(qFromLittleEndian<quint32>(image.constData() + 4), quint32(image.size() - 8));
        EXPECT_EQ(image.sliced(44), c.data);
        const auto sound = platform::parseWav(image);
        ASSERT_TRUE(sound.ok()) << sound.error().toStdString();
        EXPECT_EQ(sound->format, (platform::WavFormat{1, 11025, c.bits}));
    }
}

TEST(WaveSynth, KeptSoundsAreWhatTheGeneratorMakes) {
    // A sound edited in the generator but not made again (resources/regenerate.sh)
    // fails here. One step of difference is allowed for rounding on another machine.
    struct Case {
        const char* file; // under resources/
        std::function<generator::Samples()> synth;
        int bits;
    };
    const Case cases[] = {
        {"builtin-sounds/message.wav", generator::messageChime, 8},
        {"builtin-sounds/join.wav", generator::joinSound, 8},
        {"builtin-sounds/leave.wav", generator::leaveSound, 8},
        {"Sounds/bell.wav", generator::bell, 16},
        {"Sounds/clap.wav", generator::clap, 16},
        {"Sounds/fanfare.wav", generator::fanfare, 16},
        {"Sounds/knock.wav", generator::knock, 16},
        {"Sounds/whistle.wav", generator::whistle, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        QFile file(QStringLiteral(MIRELUNE_RESOURCES_SOURCE "/") + QLatin1StringView(c.file));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray kept = file.readAll();
        const QByteArray made = generator::encodeWav(c.synth(), 22050, c.bits);
        ASSERT_EQ(kept.size(), made.size());
        EXPECT_EQ(kept.first(44), made.first(44));
        int worst = 0;
        for (qsizetype i = 44; i < kept.size(); i += c.bits / 8) {
            const int a =
                c.bits == 8 ? static_cast<unsigned char>(kept[i]) : qFromLittleEndian<qint16>(kept.constData() + i);
            const int b =
                c.bits == 8 ? static_cast<unsigned char>(made[i]) : qFromLittleEndian<qint16>(made.constData() + i);
            worst = std::max(worst, std::abs(a - b));
        }
        EXPECT_LE(worst, 1);
    }
    // The program's copies are the kept files, byte for byte.
    for (const auto& [which, name] :
         {std::pair{resources::BuiltinSound::Message, "message"}, std::pair{resources::BuiltinSound::Join, "join"},
          std::pair{resources::BuiltinSound::Leave, "leave"}}) {
        QFile file(QStringLiteral(MIRELUNE_RESOURCES_SOURCE "/builtin-sounds/") + QLatin1StringView(name) + u".wav"_s);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(resources::builtinSound(which), file.readAll()) << name;
    }
}
