#include "platform/SoundOutput.h"

#include "platform/Logging.h"
#include "platform/WavFile.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstring>

namespace platform {

namespace {

// Rate used when a device supports none of the sound's formats and names no
// preferred rate of its own.
constexpr int kFallbackSampleRate = 48000;

// How long a sound is kept after its last sample left for the server, on top of the
// server buffer's own length.
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

QAudioFormat audioFormatOf(const WavFormat& wav) {
    QAudioFormat format;
    format.setSampleFormat(wav.bitsPerSample == 8 ? QAudioFormat::UInt8 : QAudioFormat::Int16);
    format.setChannelCount(wav.channels);
    format.setSampleRate(wav.sampleRate);
    return format;
}

} // namespace

SoundOutput::SoundOutput(QObject* parent) : QObject(parent) {}

SoundOutput::~SoundOutput() {
    QuietDefaultCategory quiet;
    // Deleted here rather than later, so that no signal of the sink reaches a half
    // destroyed object.
    QAudioSink* sink = m_sink;
    release();
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
    QAudioSink* sink = m_sink;
    release();
    if (sink)
        sink->deleteLater();
}

bool SoundOutput::start(const WavSound& parsed) {
    if (parsed.samples.isEmpty())
        return false;
    installMultimediaFilterOnce();
    QuietDefaultCategory quiet;

    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) {
        qCDebug(lcPlatform) << "no audio output device";
        return false;
    }

    WavSound sound = parsed;
    QAudioFormat format = audioFormatOf(sound.format);
    if (!device.isFormatSupported(format)) {
        const QAudioFormat preferred = device.preferredFormat();
        const int rate = preferred.sampleRate() > 0 ? preferred.sampleRate() : kFallbackSampleRate;
        const int channels = std::clamp(preferred.channelCount(), 1, 2);
        auto converted = convertToInt16(sound, rate, channels);
        if (!converted) {
            qCInfo(lcPlatform) << "sound not played:" << converted.error();
            return false;
        }
        sound = std::move(converted).value();
        format = audioFormatOf(sound.format);
        if (!device.isFormatSupported(format)) {
            qCInfo(lcPlatform) << "the audio device takes neither the sound's format nor" << format;
            return false;
        }
    }

    stop();
    auto* sink = new QAudioSink(device, format, this);
    // The buffer is the sink's child, so it lives exactly as long as the sink reads it.
    auto* buffer = new QBuffer(sink);
    // A new stream loses its first few milliseconds on the way to the sound server
    // (measured up to 20 ms), which is most of the attack of a short sound: the 52 ms
    // message sound came out nearly silent. Silence in front of every sound takes the
    // loss instead.
    const QByteArray lead(format.bytesForDuration(kLeadSilenceMs * 1000),
                          format.sampleFormat() == QAudioFormat::UInt8 ? '\x80' : '\0');
    buffer->setData(lead + sound.samples);
    buffer->open(QIODevice::ReadOnly);
    connect(sink, &QAudioSink::stateChanged, this, [this, sink, format](QAudio::State state) {
        if (sink != m_sink)
            return;
        if (state == QAudio::IdleState) {
            // Idle means the last samples went to the sound server, not that they were
            // heard: stopping now would throw away what its buffer still holds, which
            // is longer than the whole message sound.
            const qint64 tailMs =
                std::min(format.durationForBytes(sink->bufferSize()) / 1000 + kTailMarginMs, kMaxTailMs);
            QTimer::singleShot(std::chrono::milliseconds(tailMs), sink, [this, sink] {
                if (sink == m_sink)
                    stop();
            });
        } else if (state == QAudio::StoppedState) {
            // The device failed or went away.
            QuietDefaultCategory quietAgain;
            stop();
        }
    });
    m_sink = sink;
    sink->start(buffer);
    if (m_sink != sink || sink->error() != QAudio::NoError) {
        qCInfo(lcPlatform) << "the audio device did not start:" << sink->error();
        if (m_sink == sink)
            stop();
        return false;
    }
    return true;
}

void SoundOutput::release() {
    if (!m_sink)
        return;
    QAudioSink* sink = m_sink;
    m_sink = nullptr;
    disconnect(sink, nullptr, this, nullptr);
    sink->stop();
}

} // namespace platform
