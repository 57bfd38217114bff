#pragma once

#include "chat/ChatLog.h"
#include "chat/ChatMessage.h"
#include "chat/ChatOutputs.h"
#include "chat/Roster.h"
#include "chat/ScriptInterpreter.h"
#include "session/SessionService.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>

namespace chat {

// The chat room as one copy sees it: sends what the user typed, takes the session's
// messages one per event, and keeps the log, the roster and the script state. The
// window (or the headless client) passes its controls' contents in and shows what
// comes back; sounds and message boxes go through ChatSounds and ChatView.
//
// Runs on the user-interface thread. Handlers run one at a time: an event that
// arrives while a handler is still running (a modal message box spins a nested
// event loop) is queued and handled after it, in order.
class ChatController : public QObject {
    Q_OBJECT

public:
    // `service`, `sounds` and `view` must outlive the controller, or the service
    // must be detached first (detachService) before it goes.
    ChatController(session::SessionService& service, ChatSounds& sounds, ChatView& view, QObject* parent = nullptr);
    ~ChatController() override;

    // Registers the controller for the service's message events; the handle is what
    // the local player is created with.
    qint32 registerForEvents();
    // Forgets the service: every later event returns at once, every send fails.
    void detachService();

    void setLocalPlayer(session::PlayerId id, const QString& name);
    session::PlayerId localPlayerId() const { return m_localPlayerId; }
    const QString& localPlayerName() const { return m_localPlayerName; }

    // Where file offers (messages of kind 2), leaves and the room's end go besides the
    // log; the chat layer does not read the offers. An unset hook drops its call.
    struct FileHooks {
        std::function<bool(session::PlayerId from, session::PlayerId to, const session::Message& payload)> offer;
        std::function<void(session::PlayerId id)> playerLeft;
        std::function<void()> roomEnded;
        // An offer of this copy's own that never reached the room.
        std::function<void(session::PlayerId to, const session::Message& payload)> offerUndelivered;
    };
    void setFileHooks(FileHooks hooks) { m_files = std::move(hooks); }

    // A bare number in the entry becomes a sound command instead of being sent.
    void setEasySound(bool on) { m_easySound = on; }
    bool easySound() const { return m_easySound; }

    ChatLog& log() { return m_log; }
    const ChatLog& log() const { return m_log; }
    Roster& roster() { return m_roster; }
    const Roster& roster() const { return m_roster; }
    ScriptInterpreter& interpreter() { return m_interpreter; }

    bool extScriptAllowed() const { return m_interpreter.extScriptAllowed(); }
    bool soundScriptPlayed() const { return m_interpreter.soundScriptPlayed(); }

    // What the entry box shows after a send attempt.
    struct EntryUpdate {
        QString text;
        bool caretAtEnd = false; // put the caret after the text
        bool focusEntry = false; // give the entry the keyboard focus
        bool sent = false;       // a message went out
    };

    // Sends the entry text to everybody.
    EntryUpdate cmdSend_Click(const QString& entryText);
    // Sends the entry text to the selected roster member (never to oneself).
    EntryUpdate cmdWhisper_Click(const QString& entryText);

    // Handles at most one waiting message.
    void DirectXEvent_DXCallBack(qint32 eventId);

    // Rebuilds the roster from the session's player list; nothing stays selected.
    void UpdateRoster();
    // The roster's selection changed (or a key was typed in it): re-evaluates
    // whether a private send is possible.
    void lstRoster_Click(int selectedIndex);
    bool whisperEnabled() const { return m_whisperEnabled; }
    // The room is gone: the user has been told, and nothing is sent any more.
    bool roomEnded() const { return m_roomEnded; }
    // While a line said before this user came (the room's history, or its separator)
    // goes into the log: its lineAdded is such a line.
    bool addingHistory() const { return m_addingHistory; }

    // The permission notice's timer (timWait, 1000 ms): on the sixth tick the
    // message label shows its resting caption again.
    void timWait_Timer();
    bool noticeTimerActive() const { return m_timWait.isActive(); }
    qint16 waitTicks() const { return m_waitTicks; }

Q_SIGNALS:
    void whisperEnabledChanged(bool enabled);
    // A member's line went into the log (after its scripts ran); `isPrivate` when it
    // was sent to this user alone.
    void lineReceived(const QString& sender, const QString& text, bool isPrivate);

private:
    class HandlerScope;

    EntryUpdate sendEntry(const QString& entryText, ChatKind kind, const session::PlayerEntry* recipient);
    void handleNetworkEvent();
    void updateRoster();
    void showNotice(const QString& caption);
    void setWhisperEnabled(bool enabled);
    void showReadError(const session::Error& error);
    void takeBackUndelivered(const QString& text);
    void giveBackUndelivered();
    bool deferIfBusy(std::function<void()> handler);
    void runNextDeferred();
    void onRoomLost();
    void showHistoryLine(const QString& name, const QString& text);

    QPointer<session::SessionService> m_service;
    FileHooks m_files;
    ChatSounds& m_sounds;
    ChatView& m_view;
    ChatLog m_log;
    Roster m_roster;
    ScriptInterpreter m_interpreter;
    QTimer m_timWait;
    qint16 m_waitTicks = 0;
    qint32 m_eventHandle = 0;

    session::PlayerId m_localPlayerId = 0;
    QString m_localPlayerName;
    bool m_easySound = false;
    bool m_whisperEnabled = false;
    bool m_roomEnded = false;
    bool m_historyShown = false; // the separator is in the log
    bool m_addingHistory = false;

    bool m_handling = false;
    bool m_drainPosted = false;
    QList<std::function<void()>> m_deferred;
    // The read-error box: whether it is open, how many deferred events came in while
    // it was, whether one of those runs now, and the errors they met.
    bool m_readErrorBoxOpen = false;
    qsizetype m_behindBox = 0;
    bool m_runningBehindBox = false;
    int m_readErrorsNotShown = 0;
    // Lines of ours that did not go out, waiting to be given back as one burst: one
    // send-failure box for all of them, none for those that came in while it was open.
    QStringList m_undelivered;
    bool m_giveBackPosted = false;
    bool m_undeliveredNeedsBox = false;
    bool m_sendFailedBoxOpen = false;
    bool m_eventBehindSendFailedBox = false;
};

} // namespace chat
