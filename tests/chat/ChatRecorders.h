#pragma once

#include "chat/ChatOutputs.h"

#include <QStringList>
#include <functional>

namespace chattest {

// Records every sound as a word: "message", "join", "leave" or "sound N".
class RecordingSounds : public chat::ChatSounds {
public:
    QStringList played;
    int count = 20;

    void playMessageSound() override { played.append(QStringLiteral("message")); }
    void playJoinSound() override { played.append(QStringLiteral("join")); }
    void playLeaveSound() override { played.append(QStringLiteral("leave")); }
    int scriptSoundCount() const override { return count; }
    void playScriptSound(int index) override { played.append(QStringLiteral("sound %1").arg(index)); }
};

class RecordingView : public chat::ChatView {
public:
    QString messageTag;
    QStringList boxes;
    QStringList restored; // every text given back to the entry
    // Runs while a box "shows", as the nested event loop of a modal box would.
    std::function<void()> whileBoxShows;

    void setMessageTag(const QString& caption) override { messageTag = caption; }
    void showMessageBox(const QString& text) override {
        boxes.append(text);
        if (whileBoxShows)
            whileBoxShows();
    }
    void restoreEntry(const QString& text) override { restored.append(text); }
};

} // namespace chattest
