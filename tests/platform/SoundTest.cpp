#include "common/TestSupport.h"
#include "platform/SoundOutput.h"
#include "platform/WavFile.h"
#ifdef MIRELUNE_TEST_BUILTIN_SOUNDS
#include "resources/BuiltinResources.h"
#endif

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <initializer_list>
#include <optional>
#include <sys/stat.h>
#include <tuple>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using platform::WavFormat;

namespace {

// `value` as `bytes` bytes, least significant first.
QByteArray le(quint32 value, int bytes) {
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

// A chunk as a RIFF writer lays it out, with the pad byte after an odd body; or one
// whose header claims `declaredSize` bytes, followed by `body` alone.
QByteArray chunk(const char* id, const QByteArray& body, std::optional<quint32> declaredSize = {}) {
    const QByteArray bytes = QByteArray(id, 4) + le(declaredSize.value_or(body.size()), 4) + body;
    return body.size() % 2 && !declaredSize ? bytes + '\0' : bytes;
}

QByteArray fmtBody(unsigned tag, unsigned channels, quint32 rate, unsigned bits, std::optional<unsigned> align = {}) {
    const unsigned blockAlign = align.value_or(channels * bits / 8);
    return le(tag, 2) + le(channels, 2) + le(rate, 4) + le(rate * blockAlign, 4) + le(blockAlign, 2) + le(bits, 2);
}

QByteArray riff(std::initializer_list<QByteArray> chunks, std::optional<quint32> declaredSize = {}) {
    QByteArray body = QByteArrayLiteral("WAVE");
    for (const QByteArray& c : chunks)
        body += c;
    return "RIFF" + le(declaredSize.value_or(body.size()), 4) + body;
}

QByteArray int16s(std::initializer_list<int> values) {
    QByteArray bytes;
    for (int v : values)
        bytes += le(static_cast<quint32>(v), 2);
    return bytes;
}

QList<int> int16Values(const QByteArray& bytes) {
    QList<int> values;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        values.append(static_cast<qint16>(static_cast<quint8>(bytes[i]) | (static_cast<quint8>(bytes[i + 1]) << 8)));
    return values;
}

// Damaged and hostile images are refused (no format); the others give their format
// and whole frames.
TEST(WavFile, ParsesValidImagesAndRejectsDamagedOnes) {
    const QByteArray samples = QByteArrayLiteral("\x80\xff\x00\x40\xc0");
    const QByteArray frames = int16s({1000, -1000, 32767, -32768});
    const QByteArray fmt8 = chunk("fmt ", fmtBody(1, 1, 22050, 8));
    const QByteArray fmt16 = chunk("fmt ", fmtBody(1, 2, 44100, 16));
    const QByteArray data = chunk("data", samples);
    const QByteArray mono8 = riff({fmt8, data});
    const auto withFmt = [](const QByteArray& fmt, const QByteArray& body) {
        return riff({chunk("fmt ", fmt), chunk("data", body)});
    };
    const std::optional<WavFormat> m8 = WavFormat{1, 22050, 8}, s16 = WavFormat{2, 44100, 16}, refused;
    // name, image, format (none: refused), samples
    const std::tuple<const char*, QByteArray, std::optional<WavFormat>, QByteArray> cases[] = {
        {"8-bit mono 22050 Hz", mono8, m8, samples},
        {"16-bit stereo", riff({fmt16, chunk("data", frames)}), s16, frames},
        {"odd unknown chunk is padded", riff({chunk("junk", "abc"), fmt8, data}), m8, samples},
        {"fmt with extension size", withFmt(fmtBody(1, 1, 22050, 8) + le(0, 2), "ab"), m8, "ab"},
        {"partial frame dropped", riff({fmt16, chunk("data", frames + "xyz")}), s16, frames},
        {"missing last pad byte", mono8.chopped(1), m8, samples},
        {"bytes after the RIFF end ignored", mono8 + "trailing", m8, samples},
        {"empty data", riff({fmt8, chunk("data", {})}), m8, {}},
        {"empty input", {}, refused, {}},
        {"not RIFF", "RIFX" + mono8.sliced(4), refused, {}},
        {"RIFF length past the end", riff({fmt8, data}, 4000), refused, {}},
        {"data length past the end", riff({fmt8, chunk("data", samples, 1000)}), refused, {}},
        {"no fmt chunk", riff({data}), refused, {}},
        {"no data chunk", riff({fmt8, chunk("LIST", "INFO")}), refused, {}},
        {"format 3 (float)", withFmt(fmtBody(3, 1, 22050, 32), "abcd"), refused, {}},
        {"24-bit samples", withFmt(fmtBody(1, 1, 22050, 24), "abc"), refused, {}},
        {"zero sample rate", withFmt(fmtBody(1, 1, 0, 8), "ab"), refused, {}},
        {"block alignment contradicts", withFmt(fmtBody(1, 2, 22050, 16, 2), "abcd"), refused, {}},
        {"fmt chunk too short", withFmt(fmtBody(1, 1, 22050, 8).first(14), "ab"), refused, {}},
        {"4 GiB RIFF size", riff({fmt8, data}, 0xFFFFFFFF), refused, {}},
        {"4 GiB unknown chunk size", riff({fmt8, chunk("LIST", "INFO", 0xFFFFFFFE), chunk("data", "a")}), refused, {}},
        {"chunk header cut short", riff({fmt8, chunk("data", "ab"), QByteArrayLiteral("LIS")}), refused, {}},
    };
    for (const auto& [name, image, format, wanted] : cases) {
        SCOPED_TRACE(name);
        const auto result = platform::parseWav(image);
        ASSERT_EQ(result.ok(), format.has_value());
        if (result.ok()) {
            EXPECT_EQ(std::tuple(result->format, result->samples), std::tuple(*format, wanted));
        }
    }
}

TEST(WavFile, ConvertsToSigned16BitSamples) {
    // name, source format, source samples, rate, channels, samples expected
    const std::tuple<const char*, WavFormat, QByteArray, int, int, QList<int>> cases[] = {
        {"unsigned 8-bit widened", {1, 8000, 8}, QByteArray::fromHex("0080ff7f"), 8000, 1, {-32768, 0, 32512, -256}},
        {"mono copied to both sides", {1, 8000, 16}, int16s({1000, -2000}), 8000, 2, {1000, 1000, -2000, -2000}},
        {"stereo averaged", {2, 8000, 16}, int16s({100, 300, -100, -300, 32767, 32767}), 8000, 1, {200, -200, 32767}},
        {"rate doubled by interpolation", {1, 1000, 16}, int16s({0, 1000}), 2000, 1, {0, 500, 1000, 1000}},
        {"rate halved", {1, 2000, 16}, int16s({0, 10, 20, 30}), 1000, 1, {0, 20}},
        {"22050 to 44100 Hz", {1, 22050, 8}, "\x80\xc0", 44100, 2, {0, 0, 8192, 8192, 16384, 16384, 16384, 16384}},
    };
    for (const auto& [name, from, samples, rate, channels, expected] : cases) {
        SCOPED_TRACE(name);
        const auto result = platform::convertToInt16({from, samples}, rate, channels);
        ASSERT_TRUE(result.ok()) << result.error().toStdString();
        EXPECT_EQ(std::tuple(result->format, int16Values(result->samples)),
                  std::tuple(WavFormat{channels, rate, 16}, expected));
    }

    // Three frames at 1 Hz last three seconds: 576,000 bytes at 48 kHz in stereo.
    const platform::WavSound slow{{1, 1, 8}, QByteArray(3, '\x80')};
    EXPECT_FALSE(platform::convertToInt16(slow, 48000, 2, 100'000).ok());
    EXPECT_TRUE(platform::convertToInt16(slow, 48000, 2, 600'000).ok());
    EXPECT_FALSE(platform::convertToInt16(slow, 48000, 3).ok());
    EXPECT_FALSE(platform::convertToInt16(slow, 0, 2).ok());
}

// Qt Multimedia looks for the sound server once per process, so everything that
// needs a particular server (or none) runs in a child: this executable again, with
// one of the disabled SoundOutputChild tests selected.

constexpr int kRecordRate = 22050;
constexpr int kMessageSoundsPlayed = 4;
// mkdtemp makes the folder 0700, as Qt and the sound server want a runtime folder;
// under /tmp the socket path stays short enough.
const QString kFolderTemplate = u"/tmp/mirelune-snd-XXXXXX"_s;

// An 8-bit mono 22,050 Hz image of a 100 Hz square wave swinging `amplitude` steps
// around silence (128): loud flat stretches that survive resampling by the server.
// Swings of 100 and 40 steps arrive as about 25,600 and 10,240.
QByteArray squareWave(int milliseconds, int amplitude) {
    QByteArray samples(kRecordRate * milliseconds / 1000, '\0');
    for (qsizetype i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<char>((i * 200 / kRecordRate) % 2 ? 128 + amplitude : 128 - amplitude);
    return riff({chunk("fmt ", fmtBody(1, 1, kRecordRate, 8)), chunk("data", samples)});
}

// The child's exit code (-1 when it crashed or hung) and what it printed.
std::tuple<int, QByteArray, QByteArray> runChild(const char* test, const QProcessEnvironment& env) {
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {u"--gtest_also_run_disabled_tests"_s, u"--gtest_filter=SoundOutputChild."_s + QLatin1String(test)});
    const bool finished = child.waitForFinished(30'000);
    if (!finished) {
        child.kill();
        child.waitForFinished(2000);
    }
    return {finished && child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1,
            child.readAllStandardOutput(), child.readAllStandardError()};
}

// A PulseAudio server of our own with one null sink named "test", and a recorder of
// that sink's monitor as signed 16-bit mono samples. A per-user server with its own
// HOME and runtime folder needs neither D-Bus nor --system (as root it only warns);
// -n keeps it from loading the machine's default configuration.
struct NullSinkServer {
    ~NullSinkServer() {
        for (QProcess* process : {&recorder, &server}) {
            process->kill();
            process->waitForFinished(2000);
        }
    }

    // Empty once data flows; otherwise why it does not.
    QString start() {
        for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
            clientEnv.insert(QLatin1String(name), folder.path());
        clientEnv.remove(u"PULSE_SERVER"_s);
        server.setProcessEnvironment(clientEnv);
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(u"pulseaudio"_s, {u"-n"_s, u"--daemonize=no"_s, u"--exit-idle-time=-1"_s, u"--use-pid-file=no"_s,
                                       u"--realtime=no"_s, u"--high-priority=no"_s, u"--disable-shm=yes"_s,
                                       u"--load=module-null-sink sink_name=test"_s,
                                       u"--load=module-native-protocol-unix auth-anonymous=1 socket="_s + socket});
        testsupport::waitUntil([&] { return QFileInfo::exists(socket) || server.state() == QProcess::NotRunning; });
        if (!QFileInfo::exists(socket))
            return u"pulseaudio did not open its socket: "_s + server.errorString() +
                   QString::fromLocal8Bit(server.readAll());
        clientEnv.insert(u"PULSE_SERVER"_s, u"unix:"_s + socket);

        recorder.setProcessEnvironment(clientEnv);
        recorder.start(u"parecord"_s,
                       {u"-d"_s, u"test.monitor"_s, u"--raw"_s, u"--format=s16le"_s, u"--rate=%1"_s.arg(kRecordRate),
                        u"--channels=1"_s, u"--latency-msec=20"_s, recording});
        // The null sink runs while idle, so its monitor delivers silence at once.
        if (!testsupport::waitUntil([&] { return QFileInfo(recording).size() > 0; }))
            return u"parecord recorded nothing: "_s + recorder.errorString() +
                   QString::fromLocal8Bit(recorder.readAllStandardError());
        return {};
    }

    // Recorded samples whose level lies in [low, high].
    qsizetype countLevel(int low, int high) const {
        return std::ranges::count_if(int16Values(testsupport::readAll(recording)),
                                     [&](int value) { return std::abs(value) >= low && std::abs(value) <= high; });
    }

    QTemporaryDir folder{kFolderTemplate};
    const QString socket = folder.filePath(u"native"_s), recording = folder.filePath(u"recorded.raw"_s);
    QProcessEnvironment clientEnv = QProcessEnvironment::systemEnvironment(); // a client's, once started
    QProcess server, recorder;
};

} // namespace

TEST(SoundOutput, WithoutSoundServerReturnsAtOnceAndPrintsNothing) {
    QTemporaryDir folder(kFolderTemplate);
    ASSERT_TRUE(folder.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"PULSE_SERVER"_s, u"unix:"_s + folder.filePath(u"no-such-socket"_s));
    env.insert(u"XDG_RUNTIME_DIR"_s, folder.path());
    env.remove(u"QT_LOGGING_RULES"_s);

    const auto [exitCode, out, err] = runChild("DISABLED_PlaysWithoutServer", env);
    EXPECT_EQ(exitCode, 0) << out.toStdString();
    EXPECT_TRUE(err.isEmpty()) << err.toStdString();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
}

TEST(SoundOutputChild, DISABLED_PlaysWithoutServer) {
    const QByteArray sound = squareWave(500, 40);
    QTemporaryDir folder(kFolderTemplate);
    testsupport::writeAll(folder.filePath(u"sound.wav"_s), sound);
    platform::SoundOutput output;
    for (int round = 0; round < 2; ++round) {
        QElapsedTimer timer;
        timer.start();
        EXPECT_FALSE(output.play(sound));
        EXPECT_FALSE(output.playFile(folder.filePath(u"sound.wav"_s)));
        EXPECT_LT(timer.elapsed(), 100);
        EXPECT_FALSE(output.isPlaying());
    }
    // The process's own plain warnings still get through afterwards.
    EXPECT_TRUE(QLoggingCategory::defaultCategory()->isWarningEnabled());
}

TEST(SoundOutput, PlayedSoundReachesTheServerAndReplacesThePreviousOne) {
    NullSinkServer server;
    if (const QString why = server.start(); !why.isEmpty()) {
        GTEST_SKIP() << "no recordable PulseAudio null sink here: " << why.toStdString();
    }
    const auto [exitCode, out, err] = runChild("DISABLED_PlaysToServer", server.clientEnv);
    ASSERT_EQ(exitCode, 0) << out.toStdString() << err.toStdString();

    // The soft 300 ms sound must arrive nearly whole, its end included (the server
    // still held it when the sink went idle); the loud 3 s one was cut off as soon as
    // the soft one started.
    const auto soft = [&] { return server.countLevel(7000, 14000); };
    EXPECT_TRUE(testsupport::waitUntil([&] { return soft() >= kRecordRate * 240 / 1000; })) << soft() << " soft";
    EXPECT_LT(server.countLevel(20000, 32767), kRecordRate / 2);

#ifdef MIRELUNE_TEST_BUILTIN_SOUNDS
    // The shortest built-in sound (52 ms; heard whole, 507 to 523 samples above 2,500) is
    // heard from its start: a cut attack loses most of them.
    const qsizetype before = server.countLevel(2500, 32767);
    // Desktop sound servers hold half a second and more of a stream: a stream closed
    // once its last samples were handed over was never heard there.
    server.clientEnv.insert(u"PULSE_LATENCY_MSEC"_s, u"500"_s);
    ASSERT_EQ(std::get<0>(runChild("DISABLED_PlaysMessageSound", server.clientEnv)), 0);
    EXPECT_TRUE(testsupport::waitUntil([&] {
        return server.countLevel(2500, 32767) - before >= 490 * kMessageSoundsPlayed;
    })) << server.countLevel(2500, 32767) - before
        << " samples of the message sound";
#endif
}

#ifdef MIRELUNE_TEST_BUILTIN_SOUNDS
// As a window plays it for lines that come seconds apart.
TEST(SoundOutputChild, DISABLED_PlaysMessageSound) {
    platform::SoundOutput output;
    for (int line = 0; line < kMessageSoundsPlayed; ++line) {
        if (line > 0)
            testsupport::spinFor(1500ms);
        ASSERT_TRUE(output.play(resources::builtinSound(resources::BuiltinSound::Message)));
        EXPECT_TRUE(testsupport::waitUntil([&] { return !output.isPlaying(); }));
    }
    testsupport::spinFor(1000ms); // what the server still holds
}
#endif

TEST(SoundOutputChild, DISABLED_PlaysToServer) {
    const QByteArray loud = squareWave(3000, 100);
    const QByteArray soft = squareWave(300, 40);
    platform::SoundOutput output;
    // Damaged or unreadable files play nothing; a pipe would block a reader until
    // someone writes to it.
    QTemporaryDir folder(kFolderTemplate);
    testsupport::writeAll(folder.filePath(u"truncated.wav"_s), soft.first(1000));
    ASSERT_EQ(mkfifo(QFile::encodeName(folder.filePath(u"pipe.wav"_s)).constData(), 0600), 0);
    for (const QString& name : {u"truncated.wav"_s, u"missing.wav"_s, u"pipe.wav"_s, QString()})
        EXPECT_FALSE(output.playFile(folder.filePath(name)) || output.isPlaying()) << name.toStdString();
    ASSERT_TRUE(output.play(loud));
    ASSERT_TRUE(output.play(soft));
    // Damaged input leaves the playing sound alone.
    EXPECT_FALSE(output.play(loud.first(30)));
    EXPECT_TRUE(output.isPlaying());
    EXPECT_TRUE(testsupport::waitUntil([&] { return !output.isPlaying(); }));
    // Long enough for the loud sound to show in the recording had it gone on.
    testsupport::spinFor(1s);
}
