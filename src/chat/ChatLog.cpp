#include "chat/ChatLog.h"

#include <algorithm>

namespace chat {

QString ChatLog::normalizeLineBreaks(const QString& text) {
    if (!text.contains(u'\r') && !text.contains(u'\n')) {
        return text;
    }
    QString out;
    out.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\r') {
            out += u"\r\n";
            if (i + 1 < text.size() && text.at(i + 1) == u'\n') {
                ++i;
            }
        } else if (c == u'\n') {
            out += u"\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

namespace {
// Characters that a text view starts a new line at, beside CR and LF.
bool isOtherLineBreak(QChar c) {
    return c == u'\u2028' || c == u'\u2029' || c == u'\u0085' || c == u'\v' || c == u'\f';
}
} // namespace

QString ChatLog::markContinuations(const QString& text) {
    // Nearly every line is a single line: it is neither copied nor changed.
    if (std::none_of(text.cbegin(), text.cend(),
                     [](QChar c) { return c == u'\r' || c == u'\n' || isOtherLineBreak(c); })) {
        return text;
    }
    QString plain = text;
    for (QChar& c : plain) {
        if (isOtherLineBreak(c)) {
            c = u'\n';
        }
    }
    plain = normalizeLineBreaks(plain);
    if (!plain.contains(u'\n')) {
        return plain;
    }
    return plain.replace(QStringLiteral("\r\n"), QStringLiteral("\r\n") + kContinuationMark);
}

void ChatLog::addToLog(const QString& newText) {
    const QString line = markContinuations(newText);
    m_text += line;
    m_text += u"\r\n";
    if (m_text.size() > kMaxChars) {
        qsizetype cut = m_text.size() - kKeptChars;
        // The kept part must not open with the second half of a character or of a
        // line break: drop that one orphaned code unit as well.
        const QChar first = m_text.at(cut);
        const QChar before = m_text.at(cut - 1);
        if ((first.isLowSurrogate() && before.isHighSurrogate()) || (first == u'\n' && before == u'\r')) {
            ++cut;
        }
        m_text.remove(0, cut);
        m_cutChars += cut;
    }
    Q_EMIT lineAdded(line);
    Q_EMIT textChanged();
}

void ChatLog::setText(const QString& text) {
    if (text == m_text) {
        return;
    }
    m_text = text;
    ++m_replacements;
    Q_EMIT textChanged();
}

} // namespace chat
