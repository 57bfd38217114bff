#pragma once

#include "session/SessionTypes.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <deque>
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

    void setLimit(int chars) {
        settle(); // what came before was kept under the old cap
        m_limit = chars;
    }
    void setObeysSysclear(bool obeys) { m_obeysSysclear = obeys; }

    // A public line of `from` (`name`), with its sender's seq (0: not known): one not
    // above the last taken of that sender is a resend and is not kept twice. `payload`
    // is the message as sent; a payload that is no chat line is ignored.
    void addPublic(PlayerId from, const QString& name, quint32 seq, const QByteArray& payload) {
        addPublic(from, name, seq, payload, 0);
    }
    // The same of the payload at `payloadAt` in `bytes` (a relayed frame, kept shared).
    void addPublic(PlayerId from, const QString& name, quint32 seq, const QByteArray& bytes, qsizetype payloadAt);
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
    // A plain line (no command at its start) not yet decoded: most of a busy room's
    // lines fall out of the history before anybody asks for it, so they are decoded
    // only when asked for, or when so many wait that they must be counted.
    struct Pending {
        PlayerId from = 0;
        QString name;
        QByteArray payload; // the bytes it lies in (a relayed frame, say), shared, not copied
        qsizetype textAt = 0;
        qsizetype textBytes = 0;
        qsizetype leastChars = 0; // what the line takes of the log at the least
    };
    void append(Entry entry) const;
    void trim() const;
    // The pending lines in the history, as if each had been added on arrival.
    void settle() const;
    static bool isMessageOf(const Entry& entry, const QString& name);

    // Settled lazily, so also by what only reads the history.
    mutable QList<Entry> m_entries;
    mutable qsizetype m_chars = 0;
    mutable std::deque<Pending> m_pending;
    mutable qsizetype m_pendingChars = 0; // the least the pending lines take
    int m_limit = kDefaultChars;
    bool m_obeysSysclear = false;
    QHash<PlayerId, quint32> m_lastSeq;
};

} // namespace session
