#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringView>
#include <functional>
#include <utility>

namespace chat {

// The text of the chat log: lines that each end with CR LF. A line's own text may
// hold further CR LF pairs when a message spanned several lines.
//
// The log is bounded by character count (UTF-16 code units): an append that makes
// it longer than kMaxChars cuts it back to its last kKeptChars. The log knows where
// each message begins, so that a cut or a script command never leaves part of a
// message standing as if it were a line of its own.
class ChatLog : public QObject {
    Q_OBJECT

public:
    static constexpr qsizetype kMaxChars = 10000;
    static constexpr qsizetype kKeptChars = 9000;

    explicit ChatLog(QObject* parent = nullptr) : QObject(parent) {}
    ChatLog(qsizetype maxChars, qsizetype keptChars, QObject* parent = nullptr)
        : QObject(parent), m_maxChars(maxChars), m_keptChars(keptChars) {}

    // From now on the log also keeps the whole session beside its capped text: every
    // message, bounded only by kSessionMaxChars (cut back to kSessionKeptChars), with
    // what is removed from the log removed there too. The window saves that on exit.
    void keepWholeSession();
    // The whole session, or the log itself when it keeps none.
    const ChatLog& wholeSession() const { return m_session ? *m_session : *this; }
    static constexpr qsizetype kSessionMaxChars = 4'000'000;
    static constexpr qsizetype kSessionKeptChars = 3'600'000;

    // From now on each message added opens with the local time it was added, as
    // "[HH:mm] ", in the log and in the whole session alike. `clock` gives the time.
    void setTimeStamps(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    bool timeStamps() const { return bool(m_clock); }
    static constexpr qsizetype kTimeStampChars = 8;
    // `message` without the time it opens with, when the log adds times; as it is
    // otherwise. Whose line a message is is read from what follows the time.
    QStringView withoutTimeStamp(QStringView message) const;

    const QString& text() const { return m_text; }
    bool isEmpty() const { return m_text.isEmpty(); }
    // Code units the cap has cut from the front so far, and how often the text was
    // replaced: a view that showed the text before can tell what an append left of it.
    qint64 cutChars() const { return m_cutChars; }
    qint64 replacements() const { return m_replacements; }

    // Opens every line after the first of a message that spans several lines, so
    // that no message can pass for another member's line or for a notice.
    static constexpr QStringView kContinuationMark = u"　"; // an ideographic space

    // Appends `newText` (one message, without its line end) and CR LF, then applies
    // the cap. Any line break inside `newText` becomes CR LF and a continuation mark
    // first; see markContinuations. A cut that falls inside a message drops the rest
    // of that message too, so the log always opens where a message begins; only when
    // the cut falls inside the newest message is its end kept, opened by
    // kContinuationMark and cut between whole characters (grapheme clusters).
    void addToLog(const QString& newText);

    // Replaces the whole text, its lone CRs and LFs made CR LF. Each line that does not
    // open with kContinuationMark begins a message, and so does the first line.
    void setText(const QString& text);
    void clear() { setText(QString()); }

    // The messages of the log, oldest first, each with its lines and their CR LF.
    qsizetype messageCount() const { return m_starts.size(); }
    QStringView message(qsizetype index) const;
    // Removes the messages for which `isGone` holds; a kept last message without its
    // final line break gets one.
    template <typename Predicate>
    void removeMessagesIf(Predicate isGone) {
        QString kept;
        QList<qsizetype> starts;
        kept.reserve(m_text.size());
        for (qsizetype i = 0; i < messageCount(); ++i) {
            const QStringView part = message(i);
            if (!isGone(part)) {
                starts.append(kept.size());
                kept += part;
            }
        }
        if (!kept.isEmpty() && !kept.endsWith(u"\r\n")) {
            kept += u"\r\n";
        }
        replaceText(kept, std::move(starts));
        if (m_session) {
            m_session->removeMessagesIf(isGone);
        }
    }
    void removeLastMessage();

    // `text` with every CR LF, lone CR and lone LF turned into CR LF.
    static QString normalizeLineBreaks(const QString& text);
    // `text` as the log shows it: every line break (CR LF, lone CR or LF, and the
    // other characters a text view breaks lines at: U+2028, U+2029, NEL, VT, FF)
    // becomes CR LF followed by kContinuationMark.
    static QString markContinuations(const QString& text);

Q_SIGNALS:
    // One appended line, after normalisation and without its final CR LF.
    void lineAdded(const QString& line);
    // Any change of the text, appends included.
    void textChanged();

private:
    void replaceText(const QString& text, QList<qsizetype> starts);

    std::function<QDateTime()> m_clock;
    qsizetype m_maxChars = kMaxChars;
    qsizetype m_keptChars = kKeptChars;
    ChatLog* m_session = nullptr; // a child; see keepWholeSession
    QString m_text;
    // Where each message begins in m_text, ascending; the first is 0 when not empty.
    QList<qsizetype> m_starts;
    qint64 m_cutChars = 0;
    qint64 m_replacements = 0;
};

} // namespace chat
