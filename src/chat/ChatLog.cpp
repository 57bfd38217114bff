#include "chat/ChatLog.h"

#include <QLocale>
#include <QTextBoundaryFinder>
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

namespace {
// `pos`, or the first boundary between grapheme clusters after it: a flag, a joined
// emoji, a letter with its combining marks and a CR LF pair are never cut apart.
qsizetype clusterBoundaryFrom(const QString& text, qsizetype pos) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.setPosition(pos);
    if (finder.isAtBoundary()) {
        return pos;
    }
    const qsizetype next = finder.toNextBoundary();
    return next < 0 ? text.size() : next;
}
} // namespace

void ChatLog::keepWholeSession() {
    if (!m_session) {
        m_session = new ChatLog(kSessionMaxChars, kSessionKeptChars, this);
        m_session->setText(m_text);
    }
}

QStringView ChatLog::withoutTimeStamp(QStringView message) const {
    const auto digit = [&](qsizetype at) { return message.at(at) >= u'0' && message.at(at) <= u'9'; };
    if (!m_clock || message.size() < kTimeStampChars || message.at(0) != u'[' || !digit(1) || !digit(2) ||
        message.at(3) != u':' || !digit(4) || !digit(5) || !message.sliced(6).startsWith(u"] ")) {
        return message;
    }
    return message.sliced(kTimeStampChars);
}

void ChatLog::addToLog(const QString& newText) {
    const QString stamped =
        m_clock ? u'[' + QLocale::c().toString(m_clock().time(), u"HH:mm") + u"] " + newText : newText;
    // The session keeps the same time as the log, stamped once.
    if (m_session) {
        m_session->addToLog(stamped);
    }
    const QString line = markContinuations(stamped);
    m_starts.append(m_text.size());
    m_text += line;
    m_text += u"\r\n";
    if (m_text.size() > m_maxChars) {
        const qsizetype cut = m_text.size() - m_keptChars;
        const auto kept = std::lower_bound(m_starts.begin(), m_starts.end(), cut);
        if (kept != m_starts.end()) {
            // The log opens where a message begins: the rest of a message cut inside
            // would open it with whatever its sender typed, a forged line of another
            // member included.
            const qsizetype at = *kept;
            m_starts.erase(m_starts.begin(), kept);
            for (qsizetype& start : m_starts) {
                start -= at;
            }
            m_text.remove(0, at);
            m_cutChars += at;
        } else {
            // The newest message alone is longer than what is kept: its end stays,
            // marked as the continuation it is.
            const qsizetype at = clusterBoundaryFrom(m_text, cut);
            m_text.remove(0, at);
            if (!m_text.startsWith(kContinuationMark)) {
                m_text.prepend(kContinuationMark);
            }
            m_starts = {0};
            m_cutChars += at;
        }
    }
    Q_EMIT lineAdded(line);
    Q_EMIT textChanged();
}

void ChatLog::setText(const QString& text) {
    if (m_session) {
        m_session->setText(text);
    }
    const QString normalized = normalizeLineBreaks(text);
    QList<qsizetype> starts;
    for (qsizetype at = 0; at < normalized.size();) {
        if (at == 0 || !QStringView(normalized).sliced(at).startsWith(kContinuationMark)) {
            starts.append(at);
        }
        const qsizetype end = normalized.indexOf(u"\r\n", at);
        if (end < 0) {
            break;
        }
        at = end + 2;
    }
    replaceText(normalized, std::move(starts));
}

QStringView ChatLog::message(qsizetype index) const {
    const qsizetype start = m_starts.at(index);
    const qsizetype end = index + 1 < m_starts.size() ? m_starts.at(index + 1) : m_text.size();
    return QStringView(m_text).sliced(start, end - start);
}

void ChatLog::removeLastMessage() {
    if (m_starts.isEmpty()) {
        return;
    }
    // The log's last message is the session's last one too.
    if (m_session) {
        m_session->removeLastMessage();
    }
    QList<qsizetype> starts = m_starts;
    const qsizetype last = starts.takeLast();
    replaceText(m_text.left(last), std::move(starts));
}

void ChatLog::replaceText(const QString& text, QList<qsizetype> starts) {
    m_starts = std::move(starts);
    if (text == m_text) {
        return;
    }
    m_text = text;
    ++m_replacements;
    Q_EMIT textChanged();
}

} // namespace chat
