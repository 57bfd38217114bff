#include "window/WindowSounds.h"

#include "resources/BuiltinResources.h"

namespace window {

void WindowSounds::loadBuiltinSounds() {
    m_message = resources::builtinSound(resources::BuiltinSound::Message);
    m_join = resources::builtinSound(resources::BuiltinSound::Join);
    m_leave = resources::builtinSound(resources::BuiltinSound::Leave);
}

void WindowSounds::playNotice(const QByteArray& sound) {
    if (m_lastNotice == &sound && m_lastNoticeStart.isValid() && m_lastNoticeStart.elapsed() < kSameSoundGapMs) {
        return;
    }
    m_lastNotice = &sound;
    m_lastNoticeStart.start();
    m_output.play(sound);
}

void WindowSounds::playScriptSound(int index) {
    const QString path = m_listing.pathOf(index);
    if (!path.isEmpty()) {
        m_output.playFile(path);
    }
}

} // namespace window
