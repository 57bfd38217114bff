#pragma once

#include <QString>

namespace chat {

// What the chat core asks of its host (the chat window, or the headless client)
// beyond the log and the roster it keeps itself. Called on the user-interface
// thread only.

// Sound output. Every sound plays asynchronously, a new one replacing the one that
// plays; a sound that cannot be played is silently skipped.
class ChatSounds {
public:
    virtual ~ChatSounds() = default;

    // The built-in message, join and leave sounds.
    virtual void playMessageSound() = 0;
    virtual void playJoinSound() = 0;
    virtual void playLeaveSound() = 0;

    // The numbered sounds of the Sounds folder: entry n of its sorted listing is
    // sound n. playScriptSound is only called with 0 <= index < scriptSoundCount().
    virtual int scriptSoundCount() const = 0;
    virtual void playScriptSound(int index) = 0;
};

// What the window shows on the chat core's behalf.
class ChatView {
public:
    virtual ~ChatView() = default;

    // The caption of the message label (lblMesTag).
    virtual void setMessageTag(const QString& caption) = 0;

    // A message box with an OK button only and the program's title. The window's box
    // is modal and runs a nested event loop; the chat core defers its own handlers
    // until it returns.
    virtual void showMessageBox(const QString& text) = 0;

    // Text the user sent that never reached the room after all (the room ended, or
    // its link could not be brought back), given back with LF line breaks, the
    // messages of one burst in the order they were sent, one per line. The window
    // puts it back into the entry; the send-failure box follows.
    virtual void restoreEntry(const QString& text) = 0;
};

} // namespace chat
