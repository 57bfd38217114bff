#pragma once

#include "chat/ChatOutputs.h"
#include "platform/SoundOutput.h"
#include "window/SoundFolder.h"

#include <QByteArray>
#include <QElapsedTimer>

namespace window {

// The chat window's sounds: the three built-in sounds, held in memory for the
// window's life, and the numbered files of the Sounds folder, listed once at load.
class WindowSounds : public chat::ChatSounds {
public:
    WindowSounds() = default;

    // Reads the built-in sounds into memory.
    void loadBuiltinSounds();
    // The listing the sound scripts are resolved against for the rest of the run.
    void setListing(SoundListing listing) { m_listing = std::move(listing); }
    const SoundListing& listing() const { return m_listing; }

    void playMessageSound() override { playNotice(m_message); }
    void playJoinSound() override { playNotice(m_join); }
    void playLeaveSound() override { playNotice(m_leave); }
    int scriptSoundCount() const override { return static_cast<int>(m_listing.files.size()); }
    void playScriptSound(int index) override;

    // The built-in sounds as loaded (empty before loadBuiltinSounds).
    const QByteArray& messageSound() const { return m_message; }
    const QByteArray& joinSound() const { return m_join; }
    const QByteArray& leaveSound() const { return m_leave; }

private:
    // In a busy room many lines arrive between two frames of the screen; the same
    // sound started again that soon would be heard as one, so it is started once.
    // Starting a sound opens a stream to the sound server: per line, that cost more
    // than everything else the window does.
    static constexpr qint64 kSameSoundGapMs = 50;
    void playNotice(const QByteArray& sound);

    platform::SoundOutput m_output;
    const QByteArray* m_lastNotice = nullptr;
    QElapsedTimer m_lastNoticeStart;
    QByteArray m_message;
    QByteArray m_join;
    QByteArray m_leave;
    SoundListing m_listing;
};

} // namespace window
