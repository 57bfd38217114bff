#include "platform/SoundOutput.h"

#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// Qt Multimedia looks for the sound server once per process, so everything that
// needs a particular server (or none) runs in a child: this executable again, with
// one of the disabled SoundOutputChild tests selected and MIRELUNE_SOUND_CHILD set.

namespace {

constexpr auto kChildVariable = "MIRELUNE_SOUND_CHILD";
constexpr int kRecordRate = 22050;

QByteArray le32(quint32 v) {
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return b;
}

// An 8-bit mono 22,050 Hz image of a 100 Hz square wave swinging `amplitude` steps
// around silence (128): loud flat stretches that survive resampling by the server.
QByteArray squareWave(int milliseconds, int amplitude) {
    const int rate = 22050;
    QByteArray samples(rate * milliseconds / 1000, '\0');
    for (qsizetype i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<char>((i * 200 / rate) % 2 ? 128 + amplitude : 128 - amplitude);
    const QByteArray fmt =
        QByteArrayLiteral("\x01\x00\x01\x00") + le32(rate) + le32(rate) + QByteArrayLiteral("\x01\x00\x08\x00");
    QByteArray body = "WAVEfmt " + le32(16) + fmt + "data" + le32(static_cast<quint32>(samples.size())) + samples;
    if (samples.size() % 2)
        body.append('\0');
    return "RIFF" + le32(static_cast<quint32>(body.size())) + body;
}

bool isChild(const char* role) {
    return qEnvironmentVariable(kChildVariable) == QLatin1StringView(role);
}

struct ChildResult {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ChildResult runChild(const char* role, const char* test, const QProcessEnvironment& base,
                     std::chrono::milliseconds timeout) {
    QProcessEnvironment env = base;
    env.insert(QString::fromLatin1(kChildVariable), QString::fromLatin1(role));
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(
        QCoreApplication::applicationFilePath(),
        {u"--gtest_also_run_disabled_tests"_s, u"--gtest_filter=SoundOutputChild."_s + QLatin1StringView(test)});
    ChildResult result;
    result.finished = child.waitForFinished(static_cast<int>(timeout.count()));
    if (!result.finished) {
        child.kill();
        child.waitForFinished(2000);
    }
    result.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    result.out = child.readAllStandardOutput();
    result.err = child.readAllStandardError();
    return result;
}

// mkdtemp makes the folder 0700, as Qt and the sound server want a runtime folder;
// under /tmp the socket path stays short enough.
QString folderTemplate() {
    return u"/tmp/mirelune-snd-XXXXXX"_s;
}

// Ends a process this test started, by its own pid: politely, then for good.
void endProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(2000)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

// A PulseAudio server of our own with one null sink named "test", and a recorder of
// what that sink plays. As root PulseAudio only warns ("not intended to be run as
// root") unless --system is given; a per-user server with its own HOME and runtime
// folder needs neither D-Bus nor --system, and -n keeps it from loading the machine's
// default configuration.
class NullSinkServer {
public:
    ~NullSinkServer() {
        endProcess(m_recorder);
        endProcess(m_server);
    }

    // An empty text when the server runs; otherwise why it does not.
    QString start() {
        if (!m_folder.isValid())
            return u"no temporary folder"_s;
        const QString program = QStandardPaths::findExecutable(u"pulseaudio"_s);
        if (program.isEmpty())
            return u"pulseaudio is not installed"_s;
        QProcessEnvironment env = environment();
        env.remove(u"PULSE_SERVER"_s);
        m_server.setProcessEnvironment(env);
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start(program, {u"-n"_s, u"--daemonize=no"_s, u"--exit-idle-time=-1"_s, u"--use-pid-file=no"_s,
                                 u"--realtime=no"_s, u"--high-priority=no"_s, u"--disable-shm=yes"_s,
                                 u"--load=module-null-sink sink_name=test"_s,
                                 u"--load=module-native-protocol-unix auth-anonymous=1 socket="_s + socketPath()});
        if (!m_server.waitForStarted(5000))
            return u"pulseaudio did not start: "_s + m_server.errorString();
        testsupport::waitUntil(
            [&] { return QFileInfo::exists(socketPath()) || m_server.state() == QProcess::NotRunning; }, 5s);
        if (!QFileInfo::exists(socketPath()))
            return u"pulseaudio did not open its socket: "_s + QString::fromLocal8Bit(m_server.readAll());
        return {};
    }

    // Records the sink's monitor as signed 16-bit mono samples; empty text once data flows.
    QString startRecording() {
        const QString program = QStandardPaths::findExecutable(u"parecord"_s);
        if (program.isEmpty())
            return u"parecord is not installed"_s;
        m_recorder.setProcessEnvironment(clientEnvironment());
        m_recorder.start(program,
                         {u"-d"_s, u"test.monitor"_s, u"--raw"_s, u"--format=s16le"_s, u"--rate=%1"_s.arg(kRecordRate),
                          u"--channels=1"_s, u"--latency-msec=20"_s, recordingPath()});
        if (!m_recorder.waitForStarted(5000))
            return u"parecord did not start: "_s + m_recorder.errorString();
        // The null sink runs while idle, so its monitor delivers silence at once.
        testsupport::waitUntil([&] { return QFileInfo(recordingPath()).size() > 0; }, 5s);
        if (QFileInfo(recordingPath()).size() == 0)
            return u"parecord recorded nothing: "_s + QString::fromLocal8Bit(m_recorder.readAllStandardError());
        return {};
    }

    // Recorded samples whose level lies in [low, high].
    qsizetype countLevel(int low, int high) const {
        const QByteArray bytes = testsupport::readAll(recordingPath());
        qsizetype n = 0;
        for (qsizetype i = 0; i + 1 < bytes.size(); i += 2) {
            const int level =
                std::abs(static_cast<qint16>(static_cast<quint8>(bytes[i]) | (static_cast<quint8>(bytes[i + 1]) << 8)));
            n += level >= low && level <= high;
        }
        return n;
    }

    QProcessEnvironment clientEnvironment() const {
        QProcessEnvironment env = environment();
        env.insert(u"PULSE_SERVER"_s, u"unix:"_s + socketPath());
        return env;
    }

private:
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, m_folder.path());
        env.insert(u"XDG_RUNTIME_DIR"_s, m_folder.path());
        env.insert(u"XDG_CONFIG_HOME"_s, m_folder.filePath(u"config"_s));
        return env;
    }
    QString socketPath() const { return m_folder.filePath(u"native"_s); }
    QString recordingPath() const { return m_folder.filePath(u"recorded.raw"_s); }

    QTemporaryDir m_folder{folderTemplate()};
    QProcess m_server;
    QProcess m_recorder;
};

// Square waves of ±100 and ±40 steps arrive as about ±25,600 and ±10,240.
constexpr int kLoudLow = 20000, kLoudHigh = 32767;
constexpr int kSoftLow = 7000, kSoftHigh = 14000;

} // namespace

TEST(SoundOutput, DamagedOrUnreadableSoundsPlayNothing) {
    const QByteArray good = squareWave(50, 40);
    QTemporaryDir folder(folderTemplate());
    ASSERT_TRUE(folder.isValid());
    testsupport::writeAll(folder.filePath(u"truncated.wav"_s), good.first(good.size() / 2));
    ASSERT_EQ(mkfifo(QFile::encodeName(folder.filePath(u"pipe.wav"_s)).constData(), 0600), 0);

    platform::SoundOutput output;
    for (const QByteArray& image :
         {good.first(40), good.first(good.size() - 10), QByteArray(), QByteArrayLiteral("RIFF\xff\xff\xff\xffWAVE")}) {
        EXPECT_FALSE(output.play(image));
        EXPECT_FALSE(output.isPlaying());
    }
    // A pipe would block a reader until someone writes to it.
    for (const QString& path : {folder.filePath(u"truncated.wav"_s), folder.filePath(u"missing.wav"_s),
                                folder.filePath(u"pipe.wav"_s), folder.path()}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_FALSE(output.playFile(path));
        EXPECT_FALSE(output.isPlaying());
    }
}

TEST(SoundOutput, WithoutSoundServerReturnsAtOnceAndPrintsNothing) {
    QTemporaryDir folder(folderTemplate());
    ASSERT_TRUE(folder.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"PULSE_SERVER"_s, u"unix:"_s + folder.filePath(u"no-such-socket"_s));
    env.insert(u"XDG_RUNTIME_DIR"_s, folder.path());
    env.remove(u"QT_LOGGING_RULES"_s);

    const ChildResult child = runChild("no-server", "DISABLED_PlaysWithoutServer", env, 30s);
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.exitCode, 0) << child.out.toStdString();
    EXPECT_TRUE(child.err.isEmpty()) << child.err.toStdString();
    EXPECT_TRUE(child.out.contains("[  PASSED  ] 1 test")) << child.out.toStdString();
}

TEST(SoundOutputChild, DISABLED_PlaysWithoutServer) {
    if (!isChild("no-server"))
        GTEST_SKIP() << "runs only as a child of WithoutSoundServerReturnsAtOnceAndPrintsNothing";
    const QByteArray sound = squareWave(500, 40);
    QTemporaryDir folder(folderTemplate());
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
    if (const QString why = server.start(); !why.isEmpty())
        GTEST_SKIP() << "no PulseAudio null sink here: " << why.toStdString();
    if (const QString why = server.startRecording(); !why.isEmpty())
        GTEST_SKIP() << "cannot record the PulseAudio null sink: " << why.toStdString();

    const ChildResult child = runChild("null-sink", "DISABLED_PlaysToServer", server.clientEnvironment(), 30s);
    ASSERT_TRUE(child.finished);
    ASSERT_EQ(child.exitCode, 0) << child.out.toStdString() << child.err.toStdString();

    // The soft 300 ms sound must arrive nearly whole, its end included (the server
    // still held it when the sink went idle); the loud 3 s one was cut off as soon as
    // the soft one started.
    const qsizetype mostOfSoft = kRecordRate * 240 / 1000;
    EXPECT_TRUE(testsupport::waitUntil([&] { return server.countLevel(kSoftLow, kSoftHigh) >= mostOfSoft; }, 5s))
        << server.countLevel(kSoftLow, kSoftHigh) << " samples of the soft sound";
    EXPECT_LT(server.countLevel(kLoudLow, kLoudHigh), kRecordRate / 2);
}

TEST(SoundOutputChild, DISABLED_PlaysToServer) {
    if (!isChild("null-sink"))
        GTEST_SKIP() << "runs only as a child of PlayedSoundReachesTheServerAndReplacesThePreviousOne";
    const QByteArray loud = squareWave(3000, 100);
    const QByteArray soft = squareWave(300, 40);
    platform::SoundOutput output;

    EXPECT_FALSE(output.play(soft.first(soft.size() - 100)));
    ASSERT_TRUE(output.play(loud));
    ASSERT_TRUE(output.play(soft));
    EXPECT_TRUE(output.isPlaying());
    // Damaged input leaves the playing sound alone.
    EXPECT_FALSE(output.play(loud.first(30)));
    EXPECT_TRUE(output.isPlaying());

    EXPECT_TRUE(testsupport::waitUntil([&] { return !output.isPlaying(); }, 5s));
    // Long enough for the loud sound to show in the recording had it gone on.
    testsupport::spinFor(1s);
}
