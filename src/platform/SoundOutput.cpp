#include "platform/SoundOutput.h"

#include "platform/Logging.h"
#include "platform/WavFile.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QMediaDevices>
#include <algorithm>
#include <cstring>

namespace platform {

namespace {

// The stream's rate when the device names no preferred rate of its own.
constexpr int kFallbackSampleRate = 48000;

// How much the stream holds ahead: a sound starts at most this much later than asked,
// and the program's thread may be this long busy elsewhere before the stream runs dry
// (and the server skips what comes late).
constexpr qint64 kStreamBufferMs = 150;
// How long a sound counts as playing after its last sample went into the stream, on
// top of the stream buffer's own length.
constexpr qint64 kTailMarginMs = 60;
constexpr qint64 kMaxTailMs = 3000;
constexpr qint64 kLeadSilenceMs = 50;

QLoggingCategory::CategoryFilter previousFilter = nullptr;

// Qt Multimedia's categories (qt.multimedia.*) report every missing or failing
// sound server; they stay off whatever the logging rules say.
void silenceMultimediaCategories(QLoggingCategory* category) {
    if (previousFilter)
        previousFilter(category);
    const char* name = category->categoryName();
    if (std::strcmp(name, "qt.multimedia") == 0 || std::strncmp(name, "qt.multimedia.", 14) == 0) {
        for (QtMsgType type : {QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg})
            category->setEnabled(type, false);
    }
}

void installMultimediaFilterOnce() {
    static const bool installed = [] {
        previousFilter = QLoggingCategory::installFilter(silenceMultimediaCategories);
        return true;
    }();
    Q_UNUSED(installed);
}

// Qt Multimedia 6.4 also warns through the default category when it finds no sound
// server ("pa_context_connect() failed", "No audio device detected"), which no
// category filter can single out without silencing every plain warning of the
// program. Those warnings are switched off only while we call into Qt Multimedia.
class QuietDefaultCategory {
public:
    QuietDefaultCategory() : m_category(QLoggingCategory::defaultCategory()) {
        if (m_category) {
            m_warning = m_category->isWarningEnabled();
            m_critical = m_category->isCriticalEnabled();
            m_category->setEnabled(QtWarningMsg, false);
            m_category->setEnabled(QtCriticalMsg, false);
        }
    }
    ~QuietDefaultCategory() {
        if (m_category) {
            m_category->setEnabled(QtWarningMsg, m_warning);
            m_category->setEnabled(QtCriticalMsg, m_critical);
        }
    }
    QuietDefaultCategory(const QuietDefaultCategory&) = delete;
    QuietDefaultCategory& operator=(const QuietDefaultCategory&) = delete;

private:
    QLoggingCategory* m_category;
    bool m_warning = true;
    bool m_critical = true;
};

} // namespace

// What the stream plays: the current sound, then silence, for as long as it is open.
// The sink pulls from it on the thread the output lives on.
class SoundOutput::Feed : public QIODevice {
public:
    Feed(int frameBytes, QObject* parent) : QIODevice(parent), m_frameBytes(frameBytes) { open(QIODevice::ReadOnly); }

    void setSound(QByteArray samples) {
        m_samples = std::move(samples);
        m_position = 0;
        m_finished.invalidate();
    }
    void silence() { setSound({}); }
    // The sound has samples left, or handed its last over less than `tailMs` ago.
    bool holdsSound(qint64 tailMs) const {
        return m_position < m_samples.size() || (m_finished.isValid() && m_finished.elapsed() < tailMs);
    }

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        // Whole frames only, so the channels never change places.
        const qint64 size = maxSize - maxSize % m_frameBytes;
        const qint64 fromSound = std::min<qint64>(size, m_samples.size() - m_position);
        if (fromSound > 0) {
            std::memcpy(data, m_samples.constData() + m_position, static_cast<std::size_t>(fromSound));
            m_position += fromSound;
            if (m_position == m_samples.size()) {
                m_samples.clear();
                m_position = 0;
                m_finished.start();
            }
        }
        const qint64 silent = size - std::max<qint64>(fromSound, 0);
        std::memset(data + (size - silent), 0, static_cast<std::size_t>(silent));
        return size;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const int m_frameBytes;
    QByteArray m_samples;
    qsizetype m_position = 0;
    QElapsedTimer m_finished;
};

SoundOutput::SoundOutput(QObject* parent) : QObject(parent) {}

SoundOutput::~SoundOutput() {
    QuietDefaultCategory quiet;
    // Deleted here rather than later, so that no signal of the sink reaches a half
    // destroyed object.
    QAudioSink* sink = m_sink;
    closeStream();
    delete sink;
}

bool SoundOutput::play(const QByteArray& wavImage) {
    auto sound = parseWav(wavImage);
    if (!sound) {
        qCInfo(lcPlatform) << "sound not played:" << sound.error();
        return false;
    }
    return start(*sound);
}

bool SoundOutput::playFile(const QString& path) {
    // A regular file only: reading a named pipe or a device would block the window.
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > kMaxFileBytes) {
        qCInfo(lcPlatform) << "sound file not played, missing or too large:" << path;
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCInfo(lcPlatform) << "sound file not played:" << path << file.errorString();
        return false;
    }
    const QByteArray image = file.read(kMaxFileBytes + 1);
    if (image.size() > kMaxFileBytes)
        return false;
    return play(image);
}

void SoundOutput::stop() {
    if (m_feed)
        m_feed->silence();
}

bool SoundOutput::isPlaying() const {
    if (!m_sink)
        return false;
    const qint64 tailMs =
        std::min(m_sink->format().durationForBytes(m_sink->bufferSize()) / 1000 + kTailMarginMs, kMaxTailMs);
    return m_feed->holdsSound(tailMs);
}

bool SoundOutput::start(const WavSound& sound) {
    if (sound.samples.isEmpty())
        return false;
    const bool opening = !m_sink;
    if (opening && !openStream(sound.format))
        return false;
    const QAudioFormat format = m_sink->format();
    const WavFormat streamFormat{format.channelCount(), format.sampleRate(), 16};
    QByteArray samples = sound.samples;
    if (sound.format != streamFormat) {
        auto converted = convertToInt16(sound, streamFormat.sampleRate, streamFormat.channels);
        if (!converted) {
            qCInfo(lcPlatform) << "sound not played:" << converted.error();
            return false;
        }
        samples = std::move(converted->samples);
    }
    // A new stream loses its first few milliseconds on the way to the sound server
    // (measured 15 to 20 ms), most of the attack of a short sound: silence in front of
    // the first sound takes the loss instead.
    if (opening)
        samples.prepend(QByteArray(format.bytesForDuration(kLeadSilenceMs * 1000), '\0'));
    m_feed->setSound(std::move(samples));
    return true;
}

bool SoundOutput::openStream(const WavFormat& first) {
    installMultimediaFilterOnce();
    QuietDefaultCategory quiet;

    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) {
        qCDebug(lcPlatform) << "no audio output device";
        return false;
    }
    // The stream takes the first sound's rate and channels: the program's own sounds
    // all share them, so they play as made, and only other sounds are converted.
    QAudioFormat format;
    format.setSampleFormat(QAudioFormat::Int16);
    format.setChannelCount(first.channels);
    format.setSampleRate(first.sampleRate);
    if (!device.isFormatSupported(format)) {
        const QAudioFormat preferred = device.preferredFormat();
        format.setChannelCount(std::clamp(preferred.channelCount() > 0 ? preferred.channelCount() : 2, 1, 2));
        format.setSampleRate(preferred.sampleRate() > 0 ? preferred.sampleRate() : kFallbackSampleRate);
        if (!device.isFormatSupported(format)) {
            qCInfo(lcPlatform) << "the audio device does not take" << format;
            return false;
        }
    }

    auto* sink = new QAudioSink(device, format, this);
    sink->setBufferSize(format.bytesForDuration(kStreamBufferMs * 1000));
    // The feed is the sink's child, so it lives exactly as long as the sink reads it.
    m_feed = new Feed(format.bytesPerFrame(), sink);
    m_sink = sink;
    connect(sink, &QAudioSink::stateChanged, this, [this, sink](QAudio::State state) {
        // The device failed or went away; the next sound opens a new stream.
        if (sink == m_sink && state == QAudio::StoppedState && sink->error() != QAudio::NoError) {
            QuietDefaultCategory quietAgain;
            closeStream();
            sink->deleteLater();
        }
    });
    sink->start(m_feed);
    if (m_sink != sink || sink->error() != QAudio::NoError) {
        qCInfo(lcPlatform) << "the audio device did not start:" << sink->error();
        if (m_sink == sink) {
            closeStream();
            sink->deleteLater();
        }
        return false;
    }
    return true;
}

void SoundOutput::closeStream() {
    if (!m_sink)
        return;
    QAudioSink* sink = m_sink;
    m_sink = nullptr;
    m_feed = nullptr;
    disconnect(sink, nullptr, this, nullptr);
    sink->stop();
}

} // namespace platform
