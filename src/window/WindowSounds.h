#pragma once

#include "chat/ChatOutputs.h"
#include "platform/SoundOutput.h"
#include "window/SoundFolder.h"

#include <QByteArray>

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

    void playMessageSound() override { m_output.play(m_message); }
    void playJoinSound() override { m_output.play(m_join); }
    void playLeaveSound() override { m_output.play(m_leave); }
    int scriptSoundCount() const override { return static_cast<int>(m_listing.files.size()); }
    void playScriptSound(int index) override;

    // The built-in sounds as loaded (empty before loadBuiltinSounds).
    const QByteArray& messageSound() const { return m_message; }
    const QByteArray& joinSound() const { return m_join; }
    const QByteArray& leaveSound() const { return m_leave; }

private:
    platform::SoundOutput m_output;
    QByteArray m_message;
    QByteArray m_join;
    QByteArray m_leave;
    SoundListing m_listing;
};

} // namespace window
