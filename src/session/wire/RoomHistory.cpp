#include "session/wire/RoomHistory.h"

#include "session/wire/Message.h"
#include "session/wire/NameRules.h"
#include "session/wire/ScriptSyntax.h"
#include "session/wire/WireBuffer.h"

#include <QtEndian>
#include <algorithm>

namespace session {

namespace {

using script::kClear;
using script::kDel;
constexpr QStringView kSysClear = u"@sysclear";
// What a notice line takes of the log, about: a name and " さんが参加しました".
constexpr qsizetype kNoticeChars = 20;
// The line end every log line has.
constexpr qsizetype kLineEndChars = 2;
// Each line on the wire takes at least its id and two string lengths.
constexpr qsizetype kMinLineBytes = 12;
// Pending lines are counted once they take, at the least, this many times the cap.
constexpr qsizetype kPendingCaps = 8;

using script::commandEnd;
using script::startsWithCommand;

} // namespace

QString RoomHistory::remainderOf(const QString& text, const QString& senderName) {
    if (!text.startsWith(u'@')) {
        return text;
    }
    const qsizetype end = commandEnd(text, senderName);
    return end < 0 ? text : text.mid(end + 1);
}

bool RoomHistory::isMessageOf(const Entry& entry, const QString& name) {
    // The log's test on the line "sender> text": it begins with the name and "> ".
    if (entry.notice) {
        return false;
    }
    const QString shown = entry.line.name + u"> " + entry.line.text;
    return shown.startsWith(name) && QStringView(shown).sliced(name.size()).startsWith(u"> ");
}

void RoomHistory::addPublic(PlayerId from, const QString& name, quint32 seq, const QByteArray& bytes,
                            qsizetype payloadAt) {
    if (seq != 0) {
        quint32& last = m_lastSeq[from];
        if (seq <= last) {
            return;
        }
        last = seq;
    }
    // A chat line: kind i32 (0 or 1), then its text, length u32 and UTF-8 bytes. One
    // that begins with neither a command nor a byte-order mark waits undecoded.
    const qsizetype payloadBytes = bytes.size() - payloadAt;
    if (payloadAt >= 0 && payloadBytes >= 8) {
        const auto* at = reinterpret_cast<const uchar*>(bytes.constData()) + payloadAt;
        const qint32 kind = qFromBigEndian<qint32>(at);
        const quint32 length = qFromBigEndian<quint32>(at + 4);
        if ((kind == 0 || kind == 1) && length > 0 && length <= static_cast<quint64>(payloadBytes - 8) &&
            at[8] != '@' && at[8] != 0xEF) {
            Pending line{from, name, bytes, payloadAt + 8, static_cast<qsizetype>(length), 0};
            // A UTF-16 unit of the decoded text takes at most four bytes.
            line.leastChars = name.size() + 2 + line.textBytes / 4 + kLineEndChars;
            m_pendingChars += line.leastChars;
            m_pending.push_back(std::move(line));
            if (m_pendingChars > kPendingCaps * m_limit) {
                settle();
            }
            return;
        }
    }
    settle();
    Message message(payloadAt == 0 ? bytes : bytes.mid(payloadAt));
    const Result<qint32> kind = message.readInt32();
    if (!kind || (*kind != 0 && *kind != 1)) {
        return;
    }
    const Result<QString> read = message.readString();
    if (!read) {
        return;
    }
    const QString& text = *read;
    if (text.startsWith(u'@')) {
        const qsizetype end = commandEnd(text, name);
        if (end >= 0) {
            const QString argument = text.left(end);
            if (startsWithCommand(text, kSysClear) && m_obeysSysclear) {
                clear();
            } else if (startsWithCommand(text, u"@s")) {
                // A sound plays; the logs keep what they hold.
            } else if (startsWithCommand(text, kClear)) {
                const QString who = argument.mid(kClear.size());
                m_entries.removeIf([&](const Entry& entry) { return isMessageOf(entry, who); });
                m_chars = 0;
                for (const Entry& entry : std::as_const(m_entries)) {
                    m_chars += entry.chars;
                }
                addNotice(); // "name さんはログを消去しました"
            } else if (startsWithCommand(text, kDel)) {
                if (!m_entries.isEmpty() && isMessageOf(m_entries.back(), argument.mid(kDel.size()))) {
                    m_chars -= m_entries.back().chars;
                    m_entries.removeLast();
                }
            }
        }
    }
    const QString remainder = remainderOf(text, name);
    if (remainder.isEmpty()) {
        return;
    }
    Entry entry;
    entry.line = HistoryLine{from, name, remainder};
    entry.chars = name.size() + 2 + remainder.size() + kLineEndChars;
    append(std::move(entry));
}

void RoomHistory::settle() const {
    if (m_pending.empty()) {
        return;
    }
    // From the newest line back: once the lines after one take more than the cap even
    // at the least, neither it nor anything older can stay, and it is not decoded.
    std::size_t first = m_pending.size();
    qsizetype after = 0;
    while (first > 0 && after <= m_limit) {
        --first;
        after += m_pending[first].leastChars;
    }
    if (first > 0) {
        m_entries.clear();
        m_chars = 0;
    }
    for (std::size_t i = first; i < m_pending.size(); ++i) {
        const Pending& line = m_pending[i];
        Entry entry;
        entry.line = HistoryLine{line.from, line.name,
                                 QString::fromUtf8(line.payload.constData() + line.textAt, line.textBytes)};
        entry.chars = line.name.size() + 2 + entry.line.text.size() + kLineEndChars;
        append(std::move(entry));
    }
    m_pending.clear();
    m_pendingChars = 0;
}

void RoomHistory::addNotice() {
    settle();
    Entry entry;
    entry.notice = true;
    entry.chars = kNoticeChars;
    append(std::move(entry));
}

void RoomHistory::append(Entry entry) const {
    if (entry.chars > m_limit) {
        // The log keeps the end of such a line alone; the history has nothing to give.
        m_entries.clear();
        m_chars = 0;
        return;
    }
    m_chars += entry.chars;
    m_entries.append(std::move(entry));
    trim();
}

void RoomHistory::trim() const {
    // Oldest first; a notice left at the front is nobody's last line any more.
    qsizetype drop = 0;
    while (drop < m_entries.size() && (m_chars > m_limit || m_entries.at(drop).notice)) {
        m_chars -= m_entries.at(drop).chars;
        ++drop;
    }
    m_entries.remove(0, drop);
}

void RoomHistory::clear() {
    m_entries.clear();
    m_chars = 0;
    m_pending.clear();
    m_pendingChars = 0;
}

bool RoomHistory::isEmpty() const {
    settle();
    return std::none_of(m_entries.cbegin(), m_entries.cend(), [](const Entry& entry) { return !entry.notice; });
}

QList<HistoryLine> RoomHistory::lines() const {
    settle();
    QList<HistoryLine> out;
    for (const Entry& entry : m_entries) {
        if (!entry.notice) {
            out.append(entry.line);
        }
    }
    return out;
}

void RoomHistory::seed(const QList<HistoryLine>& lines) {
    settle();
    QList<Entry> later = std::exchange(m_entries, {});
    m_chars = 0;
    for (const HistoryLine& line : lines) {
        Entry entry;
        entry.line = line;
        entry.chars = line.name.size() + 2 + line.text.size() + kLineEndChars;
        append(std::move(entry));
    }
    for (Entry& entry : later) {
        append(std::move(entry));
    }
}

QByteArray RoomHistory::encode() const {
    const QList<HistoryLine> out = lines();
    WireWriter writer;
    writer.u32(static_cast<quint32>(out.size()));
    for (const HistoryLine& line : out) {
        writer.i32(line.from);
        writer.string(line.name);
        writer.string(line.text);
    }
    return writer.take();
}

std::optional<QList<HistoryLine>> RoomHistory::decode(const QByteArray& body) {
    WireReader in(body);
    const auto count = in.u32();
    if (!in.ok() || *count > static_cast<quint32>(in.remaining() / kMinLineBytes)) {
        return std::nullopt;
    }
    QList<HistoryLine> out;
    out.reserve(static_cast<qsizetype>(*count));
    for (quint32 i = 0; i < *count; ++i) {
        const auto from = in.i32();
        const auto name = in.string(kMaxNameChars * 3);
        const auto text = in.string(static_cast<quint32>(body.size()));
        if (!in.ok()) {
            return std::nullopt;
        }
        // A name that would not go on as it came (longer than a handle name may be, or
        // grown past the limit once its invalid bytes were replaced) is left out: this
        // copy gives its history to newcomers if it takes the room over, and they must
        // be able to read it.
        if (name->size() > kMaxNameChars || name->toUtf8().size() > kMaxNameChars * 3) {
            continue;
        }
        out.append(HistoryLine{*from, *name, *text});
    }
    return out;
}

} // namespace session
