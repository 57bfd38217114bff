#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace chat {

// Which arriving lines the desktop is told of.
enum class NotifyMode {
    EveryLine = 0,          // every line, while the window is not active
    MentionsAndPrivate = 1, // only lines naming the user and lines sent to them alone
    Never = 2,              // none at all
};

// What the desktop is told: a summary (the room, and who spoke) and a body.
struct ChatNotice {
    QString summary;
    QString body;
    friend bool operator==(const ChatNotice&, const ChatNotice&) = default;
};

// Decides which arriving lines become desktop notifications, gathers bursts into one
// and counts the lines that arrived unread. It shows nothing itself: the window turns
// `notice` into a desktop notification and `unreadChanged` into its title and tray.
//
// A line arriving while the window is not active counts as unread. A line that
// names the user (their handle name or one of the mention words, in any case) is
// always wanted unless notices are off; a private line is wanted in both modes
// that notify. The first wanted line after a quiet spell is shown a moment later
// (kSettleMs, so that lines arriving together go as one); after a notice the next
// waits until kMinGapMs have passed, and every line wanted meanwhile goes into it.
class ChatNotifier : public QObject {
    Q_OBJECT

public:
    static constexpr int kSettleMs = 200;
    static constexpr int kMinGapMs = 3000;
    // The start of a line a notice shows, in characters.
    static constexpr qsizetype kShownChars = 80;

    explicit ChatNotifier(QObject* parent = nullptr);

    void setRoomName(const QString& name) { m_roomName = name; }
    void setOwnName(const QString& name) { m_ownName = name; }
    void setMode(NotifyMode mode) { m_mode = mode; }
    void setMentionWords(const QStringList& words);
    // For tests: the gathering times in milliseconds.
    void setTimes(int settleMs, int minGapMs);

    // The window became active (the lines are read: the count goes to 0 and
    // whatever was gathered is dropped) or stopped being so.
    void setWindowActive(bool active);
    bool windowActive() const { return m_windowActive; }
    int unread() const { return m_unread; }

    // A member's line arrived; `isPrivate` when it was sent to this user alone.
    void lineArrived(const QString& sender, const QString& text, bool isPrivate);

    // Whether a line would be shown while the window is not active.
    bool wanted(const QString& text, bool isPrivate) const;
    bool mentionsUser(const QString& text) const;

    // The notice for lines gathered: one line shows its sender and start, several
    // their count and the newest of them.
    ChatNotice noticeFor(const QString& sender, const QString& text, bool isPrivate, int count, int privateCount) const;

Q_SIGNALS:
    void notice(const chat::ChatNotice& notice);
    void unreadChanged(int unread);

private:
    void showGathered();

    QString m_roomName;
    QString m_ownName;
    NotifyMode m_mode = NotifyMode::EveryLine;
    QStringList m_mentionWords;
    int m_settleMs = kSettleMs;
    int m_minGapMs = kMinGapMs;
    bool m_windowActive = true;
    int m_unread = 0;

    QTimer m_gather;
    QElapsedTimer m_lastShown;
    int m_gathered = 0;
    int m_gatheredPrivate = 0;
    QString m_lastSender;
    QString m_lastText;
    bool m_lastPrivate = false;
};

// The notify mode stored as text ("0", "1", "2"); anything else is the default.
NotifyMode notifyModeFromSetting(const QString& text);
// The mention words stored as one text, separated by commas (ASCII or Japanese).
QStringList mentionWordsFromSetting(const QString& text);

} // namespace chat
