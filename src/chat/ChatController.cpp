#include "chat/ChatController.h"

#include "chat/ChatLogging.h"
#include "chat/ChatTexts.h"

#include <QMetaObject>
#include <QScopedValueRollback>
#include <utility>

namespace chat {

namespace {

constexpr int kNoticeTickMs = 1000;
// The notice goes on the tick after this count (six ticks from rest).
constexpr qint16 kNoticeLastTick = 5;
constexpr quint32 kErrorNoSession = 0x80004005u;
// A file offer rides in the chat as a message of its own kind (docs/protocol.md, "Transfers").
constexpr qint32 kFileOfferKind = 2;

} // namespace

// Marks a handler as running; on leaving, hands the next deferred event to the
// event loop so that each runs as a handler of its own.
class ChatController::HandlerScope {
public:
    explicit HandlerScope(ChatController& controller) : m_controller(controller) { m_controller.m_handling = true; }
    ~HandlerScope() {
        m_controller.m_handling = false;
        if (!m_controller.m_deferred.isEmpty() && !m_controller.m_drainPosted) {
            m_controller.m_drainPosted = true;
            QMetaObject::invokeMethod(&m_controller, &ChatController::runNextDeferred, Qt::QueuedConnection);
        }
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

private:
    ChatController& m_controller;
};

ChatController::ChatController(session::SessionService& service, ChatSounds& sounds, ChatView& view, QObject* parent)
    : QObject(parent), m_service(&service), m_sounds(sounds), m_view(view), m_interpreter(m_log, m_sounds) {
    m_timWait.setInterval(kNoticeTickMs);
    connect(&m_timWait, &QTimer::timeout, this, &ChatController::timWait_Timer);
    connect(&service, &session::SessionService::roomLost, this, &ChatController::onRoomLost);
}

ChatController::~ChatController() {
    if (m_service && m_eventHandle != 0) {
        m_service->unregisterEventReceiver(m_eventHandle);
    }
}

qint32 ChatController::registerForEvents() {
    if (!m_service) {
        return 0;
    }
    if (m_eventHandle == 0) {
        m_eventHandle =
            m_service->registerEventReceiver(this, [this](qint32 eventId) { DirectXEvent_DXCallBack(eventId); });
    }
    return m_eventHandle;
}

void ChatController::detachService() {
    if (m_service && m_eventHandle != 0) {
        m_service->unregisterEventReceiver(m_eventHandle);
    }
    m_eventHandle = 0;
    m_service = nullptr;
}

void ChatController::setLocalPlayer(session::PlayerId id, const QString& name) {
    m_localPlayerId = id;
    m_localPlayerName = name;
    m_interpreter.setOwnName(name);
}

bool ChatController::deferIfBusy(std::function<void()> handler) {
    if (!m_handling) {
        return false;
    }
    m_deferred.append(std::move(handler));
    return true;
}

void ChatController::runNextDeferred() {
    m_drainPosted = false;
    if (m_deferred.isEmpty()) {
        return;
    }
    const std::function<void()> next = m_deferred.takeFirst();
    m_runningBehindBox = m_behindBox > 0;
    if (m_runningBehindBox) {
        --m_behindBox;
    }
    next();
    m_runningBehindBox = false;
}

void ChatController::onRoomLost() {
    // A window that has let go of the service (it is closing) is told nothing more.
    if (m_roomEnded || !m_service || deferIfBusy([this] { onRoomLost(); })) {
        return;
    }
    // The leave notices and the lines given back are shown first.
    if (const session::Result<int> waiting = m_service->waitingMessageCount(m_localPlayerId); waiting && *waiting > 0) {
        QMetaObject::invokeMethod(this, &ChatController::onRoomLost, Qt::QueuedConnection);
        return;
    }
    const HandlerScope scope(*this);
    m_roomEnded = true;
    if (m_files.roomEnded)
        m_files.roomEnded();
    m_log.addToLog(texts::roomEnded());
    m_roster.clear();
    setWhisperEnabled(false);
    m_view.showMessageBox(texts::roomEnded());
}

ChatController::EntryUpdate ChatController::cmdSend_Click(const QString& entryText) {
    // A click cannot reach a busy window (its message box is modal); should one
    // arrive anyway, it is refused, leaving the entry as it is.
    if (m_handling) {
        return {entryText};
    }
    const HandlerScope scope(*this);
    return sendEntry(entryText, ChatKind::Public, nullptr);
}

ChatController::EntryUpdate ChatController::cmdWhisper_Click(const QString& entryText) {
    if (m_handling) {
        return {entryText};
    }
    const HandlerScope scope(*this);
    const session::PlayerEntry* recipient = m_roster.selectedEntry();
    if (recipient == nullptr) {
        return {entryText};
    }
    if (entryText.isEmpty() || recipient->id == m_localPlayerId) {
        return {entryText};
    }
    // Copied: the roster may be rebuilt while a failure box is showing.
    const session::PlayerEntry target = *recipient;
    return sendEntry(entryText, ChatKind::Private, &target);
}

ChatController::EntryUpdate ChatController::sendEntry(const QString& entryText, ChatKind kind,
                                                      const session::PlayerEntry* recipient) {
    // In a room that is gone the text stays where it is; the user was told why once.
    if (entryText.isEmpty() || m_roomEnded) {
        return {entryText};
    }
    // A number typed with the input method on is a number as well.
    if (const std::optional<QString> number = ScriptInterpreter::asciiDigits(entryText); m_easySound && number) {
        return {u"@S" + *number + u";", true, false, false};
    }

    // Every copy reads commands in ASCII only; one typed in full width goes out in
    // ASCII, so the others receive the command the user meant.
    ScriptInterpreter::Prepared prepared =
        m_interpreter.PrepareCommand(ScriptInterpreter::withAsciiCommand(entryText), m_localPlayerName);
    if (prepared.notice) {
        showNotice(*prepared.notice);
        if (m_service) {
            m_service->setHistoryObeysSysclear(m_interpreter.extScriptAllowed());
        }
    }
    if (prepared.text.isEmpty()) {
        return {QString()};
    }
    // The entry gives LF line ends; the wire and the log carry CR LF.
    QString text = ChatLog::normalizeLineBreaks(prepared.text);

    const session::PlayerId to = recipient != nullptr ? recipient->id : session::kEveryone;
    const session::Status sent = m_service ? m_service->send(m_localPlayerId, to, ChatMessage{kind, text}.toMessage())
                                           : session::Status(session::failure(kErrorNoSession, QString()));
    if (!sent) {
        qCDebug(lcChat) << "send failed" << Qt::hex << sent.error().code << sent.error().description;
        m_view.showMessageBox(texts::sendFailed());
        return {entryText};
    }

    // The sender runs its own command exactly as the receivers do.
    if (text.startsWith(u'@')) {
        text = m_interpreter.RunScript(text, m_localPlayerName);
        if (text.isEmpty()) {
            m_interpreter.setSoundScriptPlayed(false);
            return {QString(), false, false, true};
        }
    }
    if (recipient != nullptr) {
        m_log.addToLog(m_localPlayerName + u" to " + recipient->name + u"> " + text);
    } else {
        m_log.addToLog(m_localPlayerName + u"> " + text);
    }
    if (m_interpreter.soundScriptPlayed()) {
        m_interpreter.setSoundScriptPlayed(false);
    } else {
        m_sounds.playMessageSound();
    }
    return {QString(), false, true, true};
}

void ChatController::DirectXEvent_DXCallBack(qint32 eventId) {
    // An event that waits behind the send-failure box remembers it: a line of ours it
    // gives back belongs to the burst that box told of.
    if (deferIfBusy([this, eventId, behindBox = m_sendFailedBoxOpen] {
            m_eventBehindSendFailedBox = behindBox;
            DirectXEvent_DXCallBack(eventId);
            m_eventBehindSendFailedBox = false;
        })) {
        return;
    }
    const HandlerScope scope(*this);
    handleNetworkEvent();
}

void ChatController::showReadError(const session::Error& error) {
    // The error number as a signed 32-bit value, the way error numbers are shown
    // to users throughout the program.
    const QString text =
        texts::readFailedPrefix() + QString::number(static_cast<qint32>(error.code)) + u' ' + error.description;
    // One box at a time: errors of the events that came in while it was open are
    // logged and counted, so a member who sends broken messages cannot stack boxes.
    if (m_readErrorBoxOpen || m_runningBehindBox) {
        ++m_readErrorsNotShown;
        qCWarning(lcChat) << "read error while its box was open (" << m_readErrorsNotShown << "so far):" << text;
        return;
    }
    m_readErrorBoxOpen = true;
    m_view.showMessageBox(text);
    m_readErrorBoxOpen = false;
    m_behindBox = m_deferred.size();
}

void ChatController::handleNetworkEvent() {
    if (!m_service) {
        return;
    }
    const session::Result<int> waiting = m_service->waitingMessageCount(m_localPlayerId);
    if (!waiting) {
        showReadError(waiting.error());
        return;
    }
    if (*waiting <= 0) {
        return;
    }
    session::Result<session::ReceivedMessage> received = m_service->receive();
    if (!received) {
        showReadError(received.error());
        return;
    }
    const session::PlayerId from = received->from;
    const session::PlayerId addressee = received->to;
    session::Message& message = received.value().message;
    const session::Result<qint32> first = message.readInt32();
    if (!first) {
        showReadError(first.error());
        return;
    }

    if (received->undelivered) {
        // A line of ours that never reached the room. The log took it when it went
        // out; now the user gets the text back, and the log takes nothing more.
        if (isChatKind(*first)) {
            const session::Result<QString> text = message.readString();
            if (!text) {
                showReadError(text.error());
                return;
            }
            takeBackUndelivered(*text);
        } else if (*first == kFileOfferKind && m_files.offerUndelivered) {
            m_files.offerUndelivered(addressee, message);
        }
        return;
    }

    if (received->history) {
        if (!isChatKind(*first)) {
            return;
        }
        const session::Result<QString> text = message.readString();
        if (!text) {
            showReadError(text.error());
            return;
        }
        showHistoryLine(received->historyName, *text);
        return;
    }

    if (from == session::kSystemSender && *first == session::kSystemRecordsMissed) {
        const session::Result<qint32> count = message.readInt32();
        if (!count) {
            showReadError(count.error());
            return;
        }
        m_log.addToLog(texts::recordsMissed(*count));
        return;
    }
    if (from == session::kSystemSender) {
        if (*first != session::kSystemPlayerJoined && *first != session::kSystemPlayerLeft) {
            return;
        }
        const session::Result<qint32> playerType = message.readInt32();
        if (!playerType) {
            showReadError(playerType.error());
            return;
        }
        const session::Result<qint32> playerId = message.readInt32();
        if (!playerId) {
            showReadError(playerId.error());
            return;
        }
        if (*first == session::kSystemPlayerJoined) {
            const session::Result<QString> name = m_service->playerName(*playerId);
            if (!name) {
                showReadError(name.error());
                return;
            }
            m_log.addToLog(texts::joined(*name));
            m_sounds.playJoinSound();
        } else {
            // The member is gone from the session already; its name is the roster's.
            m_log.addToLog(texts::left(m_roster.nameOf(*playerId)));
            m_sounds.playLeaveSound();
            if (m_files.playerLeft)
                m_files.playerLeft(*playerId);
        }
        updateRoster();
        return;
    }

    if (*first == kFileOfferKind) {
        // The transfers judge the offer; one that is no offer is dropped like any
        // unknown kind.
        if (m_files.offer)
            m_files.offer(from, addressee, message);
        return;
    }
    const session::Result<QString> name = m_service->playerName(from);
    if (!name) {
        showReadError(name.error());
        return;
    }
    if (!isChatKind(*first)) {
        return;
    }
    const session::Result<QString> read = message.readString();
    if (!read) {
        showReadError(read.error());
        return;
    }
    QString text = *read;
    if (text.startsWith(u'@')) {
        text = m_interpreter.RunScript(text, *name);
        if (text.isEmpty()) {
            m_interpreter.setSoundScriptPlayed(false);
            return;
        }
    }
    // A line sent to everybody stays public, whatever kind its sender gave it.
    const bool isPrivate = *first == static_cast<qint32>(ChatKind::Private) && addressee == m_localPlayerId;
    if (isPrivate) {
        m_log.addToLog(*name + u"> (" + text + u")");
    } else {
        m_log.addToLog(*name + u"> " + text);
    }
    Q_EMIT lineReceived(*name, text, isPrivate);
    if (m_interpreter.soundScriptPlayed()) {
        m_interpreter.setSoundScriptPlayed(false);
    } else {
        m_sounds.playMessageSound();
    }
}

void ChatController::showHistoryLine(const QString& name, const QString& text) {
    // Shown as its author's line, under one separator; what it once ran (a sound, a
    // clearing) is not run again, and nothing plays or notifies for it.
    const QScopedValueRollback<bool> adding(m_addingHistory, true);
    if (!std::exchange(m_historyShown, true)) {
        m_log.addToLog(texts::historySeparator());
    }
    m_log.addToLog(name + u"> " + text);
}

void ChatController::takeBackUndelivered(const QString& text) {
    QString entry = text;
    entry.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_undelivered.append(entry);
    m_undeliveredNeedsBox = m_undeliveredNeedsBox || !m_eventBehindSendFailedBox;
    // The service raises the lines that did not go out together: they are given back
    // once the events already waiting have been handled, all at once.
    if (!m_giveBackPosted) {
        m_giveBackPosted = true;
        QMetaObject::invokeMethod(this, &ChatController::giveBackUndelivered, Qt::QueuedConnection);
    }
}

void ChatController::giveBackUndelivered() {
    if (deferIfBusy([this] { giveBackUndelivered(); })) {
        return;
    }
    const HandlerScope scope(*this);
    m_giveBackPosted = false;
    if (m_undelivered.isEmpty()) {
        return;
    }
    const QString text = m_undelivered.join(u'\n');
    m_undelivered.clear();
    qCDebug(lcChat) << "lines that did not go out given back:" << text.count(u'\n') + 1;
    // Given back before the box, so the user sees the text in the entry while reading it.
    m_view.restoreEntry(text);
    if (!std::exchange(m_undeliveredNeedsBox, false)) {
        return;
    }
    m_sendFailedBoxOpen = true;
    m_view.showMessageBox(texts::sendFailed());
    m_sendFailedBoxOpen = false;
}

void ChatController::UpdateRoster() {
    if (deferIfBusy([this] { UpdateRoster(); })) {
        return;
    }
    const HandlerScope scope(*this);
    updateRoster();
}

void ChatController::updateRoster() {
    const session::Result<session::OneBasedList<session::PlayerEntry>> players =
        m_service ? m_service->listPlayers()
                  : session::Result<session::OneBasedList<session::PlayerEntry>>(
                        session::failure(kErrorNoSession, QString()));
    if (!players) {
        // Nothing was listed, so the list is left empty; the private-send button
        // keeps its state, as after any failed rebuild.
        m_roster.clear();
        qCDebug(lcChat) << "player list failed" << Qt::hex << players.error().code << players.error().description;
        m_view.showMessageBox(texts::rosterUpdateFailed());
        return;
    }
    // Members who stayed keep their rows: a join or a leave touches one row only.
    m_roster.assign(players->items());
    if (m_roster.selectedIndex() < 0) {
        setWhisperEnabled(false);
    }
}

void ChatController::lstRoster_Click(int selectedIndex) {
    m_roster.setSelectedIndex(selectedIndex);
    const session::PlayerEntry* selected = m_roster.selectedEntry();
    setWhisperEnabled(selected != nullptr && selected->id != m_localPlayerId);
}

void ChatController::setWhisperEnabled(bool enabled) {
    if (enabled == m_whisperEnabled) {
        return;
    }
    m_whisperEnabled = enabled;
    Q_EMIT whisperEnabledChanged(enabled);
}

void ChatController::showNotice(const QString& caption) {
    m_view.setMessageTag(caption);
    // Restarting a running timer would lengthen the wait: a second notice only
    // replaces the caption.
    if (!m_timWait.isActive()) {
        m_timWait.start();
    }
}

void ChatController::timWait_Timer() {
    if (deferIfBusy([this] { timWait_Timer(); })) {
        return;
    }
    const HandlerScope scope(*this);
    if (m_waitTicks == kNoticeLastTick) {
        m_view.setMessageTag(texts::messageTagAtRest());
        m_waitTicks = 0;
        m_timWait.stop();
    } else {
        ++m_waitTicks;
    }
}

} // namespace chat
