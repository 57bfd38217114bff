#pragma once

#include <QObject>
#include <QString>

namespace chat {

// The text of the chat log: lines that each end with CR LF. A line's own text may
// hold further CR LF pairs when a message spanned several lines.
//
// The log is bounded by character count (UTF-16 code units): an append that makes
// it longer than kMaxChars cuts it back to its last kKeptChars.
class ChatLog : public QObject {
    Q_OBJECT

public:
    static constexpr qsizetype kMaxChars = 10000;
    static constexpr qsizetype kKeptChars = 9000;

    explicit ChatLog(QObject* parent = nullptr) : QObject(parent) {}

    const QString& text() const { return m_text; }
    bool isEmpty() const { return m_text.isEmpty(); }
    // Code units the cap has cut from the front so far, and how often the text was
    // replaced: a view that showed the text before can tell what an append left of it.
    qint64 cutChars() const { return m_cutChars; }
    qint64 replacements() const { return m_replacements; }

    // Opens every line after the first of a message that spans several lines, so
    // that no message can pass for another member's line or for a notice.
    static constexpr QStringView kContinuationMark = u"　"; // an ideographic space

    // Appends `newText` (a line without its line end) and CR LF, then applies the
    // cap. Any lone CR or LF inside `newText` becomes CR LF first, so every line
    // break of the log is a CR LF pair; see markContinuations.
    void addToLog(const QString& newText);

    // Replaces the whole text (the interpreter's clear and delete operations).
    void setText(const QString& text);
    void clear() { setText(QString()); }

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
    QString m_text;
    qint64 m_cutChars = 0;
    qint64 m_replacements = 0;
};

} // namespace chat
