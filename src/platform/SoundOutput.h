#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QAudioSink;

namespace platform {

struct WavFormat;
struct WavSound;

// Plays WAV sounds (PCM, 8 or 16 bits, mono or stereo) on the default audio output,
// one at a time: a sound that starts stops the one playing. Playing is asynchronous;
// the call returns once the sound has been handed over.
//
// The first sound opens one output stream, which stays open, playing silence between
// sounds, for as long as the object lives: a stream opened per sound loses its
// start, or all of a short sound, while the sound server sets it up, and a stream
// closed as soon as its samples were handed over drops what the server still holds.
// Every sound is converted to the stream's format (16 bits, the device's rate).
//
// Lives on the user-interface thread and owns everything it plays (the sound is
// copied, so the caller's image may go away at once). Nothing is ever played in place
// of a sound that cannot be played: a missing, damaged or unsupported file returns
// false and leaves a sound already playing alone. With no audio device (no sound
// server) every call returns false at once and nothing is printed: the first use
// turns Qt Multimedia's logging categories (qt.multimedia.*) off for the whole
// process. Qt Multimedia looks for the sound server once per process, so a server
// started later is used only after a restart. A stream that fails (the device went
// away) is opened again by the next sound.
class SoundOutput : public QObject {
    Q_OBJECT

public:
    explicit SoundOutput(QObject* parent = nullptr);
    ~SoundOutput() override;

    // Plays a whole WAV file image held in memory.
    bool play(const QByteArray& wavImage);
    // Plays a WAV file from disk; only regular files up to kMaxFileBytes are read.
    bool playFile(const QString& path);
    // Silences the sound playing; the stream stays open.
    void stop();
    // True from a successful start until the sound's last sample has been heard.
    bool isPlaying() const;

    static constexpr qint64 kMaxFileBytes = qint64{32} * 1024 * 1024;

private:
    class Feed;

    bool start(const WavSound& sound);
    bool openStream(const WavFormat& first);
    void closeStream();

    QAudioSink* m_sink = nullptr;
    Feed* m_feed = nullptr;
};

} // namespace platform
