#pragma once

#include "session/SessionTypes.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <optional>

namespace session {

// What a room's host (and, for a takeover, every member) keeps of the room's last
// public lines, to give a newcomer: the lines as every copy's log shows them, bounded
// like the log (its cap of characters), the private ones never.
//
// It follows the scripts that change the logs: "@clear" + name + ";" takes that
// member's lines out, "@del" + name + ";" the last one when it is that member's, and
// "@sysclear;" empties it where this copy obeys that command (its own permission).
// The join, leave and clear notices are kept as placeholders, unsent, so "@del" sees
// the same last line as a log does.
class RoomHistory {
public:
    // The log's cap; a line alone longer than that leaves nothing older behind.
    static constexpr int kDefaultChars = 10000;

    void setLimit(int chars) { m_limit = chars; }
    void setObeysSysclear(bool obeys) { m_obeysSysclear = obeys; }

    // A public line of `from` (`name`), with its sender's seq (0: not known): one not
    // above the last taken of that sender is a resend and is not kept twice. `payload`
    // is the message as sent; a payload that is no chat line is ignored.
    void addPublic(PlayerId from, const QString& name, quint32 seq, const QByteArray& payload);
    // A member joined or left: a line in every log that is not anybody's message.
    void addNotice();
    void clear();

    // The lines to give, oldest first.
    QList<HistoryLine> lines() const;
    bool isEmpty() const;
    // Takes `lines` (a History frame's) as what was said before; lines kept since stay after them.
    void seed(const QList<HistoryLine>& lines);

    // The History frame's body: count u32, count × (sender i32, name string, text string).
    QByteArray encode() const;
    // Nothing for a body that is malformed.
    static std::optional<QList<HistoryLine>> decode(const QByteArray& body);

    // The remainder of a line's text once its opening command is taken off, as every
    // copy shows it (a text without a command is itself); `senderName` as the
    // interpreter of the chat line uses it for "@clear" and "@del".
    static QString remainderOf(const QString& text, const QString& senderName);

private:
    struct Entry {
        HistoryLine line; // an empty name and text: a notice
        bool notice = false;
        qsizetype chars = 0;
    };
    void append(Entry entry);
    void trim();
    static bool isMessageOf(const Entry& entry, const QString& name);

    QList<Entry> m_entries;
    qsizetype m_chars = 0;
    int m_limit = kDefaultChars;
    bool m_obeysSysclear = false;
    QHash<PlayerId, quint32> m_lastSeq;
};

} // namespace session
