#include "chat/ChatNotifier.h"

#include "chat/ChatTexts.h"

#include <algorithm>

namespace chat {

ChatNotifier::ChatNotifier(QObject* parent) : QObject(parent) {
    m_gather.setSingleShot(true);
    connect(&m_gather, &QTimer::timeout, this, &ChatNotifier::showGathered);
}

void ChatNotifier::setMentionWords(const QStringList& words) {
    m_mentionWords.clear();
    for (const QString& word : words) {
        if (!word.trimmed().isEmpty()) {
            m_mentionWords.append(word.trimmed());
        }
    }
}

void ChatNotifier::setTimes(int settleMs, int minGapMs) {
    m_settleMs = settleMs;
    m_minGapMs = minGapMs;
}

void ChatNotifier::setWindowActive(bool active) {
    m_windowActive = active;
    if (!active) {
        return;
    }
    // The user sees the log now: nothing gathered is news any more.
    m_gather.stop();
    m_gathered = 0;
    m_gatheredPrivate = 0;
    if (m_unread != 0) {
        m_unread = 0;
        Q_EMIT unreadChanged(0);
    }
}

bool ChatNotifier::mentionsUser(const QString& text) const {
    if (!m_ownName.isEmpty() && text.contains(m_ownName, Qt::CaseInsensitive)) {
        return true;
    }
    return std::any_of(m_mentionWords.cbegin(), m_mentionWords.cend(),
                       [&](const QString& word) { return text.contains(word, Qt::CaseInsensitive); });
}

bool ChatNotifier::wanted(const QString& text, bool isPrivate) const {
    switch (m_mode) {
    case NotifyMode::EveryLine:
        return true;
    case NotifyMode::MentionsAndPrivate:
        return isPrivate || mentionsUser(text);
    case NotifyMode::Never:
        break;
    }
    return false;
}

void ChatNotifier::lineArrived(const QString& sender, const QString& text, bool isPrivate) {
    if (m_windowActive) {
        return;
    }
    ++m_unread;
    Q_EMIT unreadChanged(m_unread);
    if (!wanted(text, isPrivate)) {
        return;
    }
    ++m_gathered;
    m_gatheredPrivate += isPrivate ? 1 : 0;
    m_lastSender = sender;
    m_lastText = text;
    m_lastPrivate = isPrivate;
    if (!m_gather.isActive()) {
        const qint64 sinceShown = m_lastShown.isValid() ? m_lastShown.elapsed() : m_minGapMs;
        m_gather.start(static_cast<int>(std::max<qint64>(m_settleMs, m_minGapMs - sinceShown)));
    }
}

ChatNotice ChatNotifier::noticeFor(const QString& sender, const QString& text, bool isPrivate, int count,
                                   int privateCount) const {
    // The first line of the text, cut to its start.
    QString start = text.section(u'\n', 0, 0);
    if (start.endsWith(u'\r')) {
        start.chop(1);
    }
    if (start.size() > kShownChars || start.size() < text.trimmed().size()) {
        start = start.left(kShownChars) + u'…';
    }
    const QString line = isPrivate ? QString(sender + u"> (" + start + u')') : QString(sender + u"> " + start);
    if (count <= 1) {
        return {texts::noticeSummary(m_roomName, isPrivate), line};
    }
    const QString privates = privateCount > 0 ? texts::noticePrivateCount(privateCount) + u'\n' : QString();
    return {texts::noticeSummaryGathered(m_roomName, count), privates + line};
}

void ChatNotifier::showGathered() {
    if (m_gathered == 0 || m_windowActive) {
        return;
    }
    const ChatNotice shown = noticeFor(m_lastSender, m_lastText, m_lastPrivate, m_gathered, m_gatheredPrivate);
    m_gathered = 0;
    m_gatheredPrivate = 0;
    m_lastShown.start();
    Q_EMIT notice(shown);
}

NotifyMode notifyModeFromSetting(const QString& text) {
    const QString value = text.trimmed();
    if (value == u"1") {
        return NotifyMode::MentionsAndPrivate;
    }
    if (value == u"2") {
        return NotifyMode::Never;
    }
    return NotifyMode::EveryLine;
}

QStringList mentionWordsFromSetting(const QString& text) {
    QString words = text;
    words.replace(u'、', u',').replace(u'，', u',');
    QStringList list;
    for (const QString& word : words.split(u',', Qt::SkipEmptyParts)) {
        if (!word.trimmed().isEmpty()) {
            list.append(word.trimmed());
        }
    }
    return list;
}

} // namespace chat
