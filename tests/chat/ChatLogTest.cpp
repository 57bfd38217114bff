#include "chat/ChatLog.h"

#include "chat/ChatMessage.h"

#include <QStringList>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QString repeated(char16_t c, qsizetype n) {
    return QString(n, QChar(c));
}

TEST(ChatLog, AppendsEveryLineWithCrLfLineBreaks) {
    const struct {
        QString line;
        QString logged;
    } cases[] = {
        {u"Alice> hello"_s, u"Alice> hello\r\n"_s},
        {u""_s, u"\r\n"_s},
        {u"a\nb"_s, u"a\r\nb\r\n"_s},
        {u"a\rb"_s, u"a\r\nb\r\n"_s},
        {u"a\r\nb"_s, u"a\r\nb\r\n"_s},
        {u"a\n\rb\r\r\n"_s, u"a\r\n\r\nb\r\n\r\n\r\n"_s},
    };
    for (const auto& c : cases) {
        chat::ChatLog log;
        QStringList added;
        QObject::connect(&log, &chat::ChatLog::lineAdded, &log, [&](const QString& line) { added.append(line); });
        log.addToLog(c.line);
        EXPECT_EQ(log.text(), c.logged) << c.line.toStdString();
        EXPECT_EQ(added, QStringList{c.logged.chopped(2)});
    }
}

TEST(ChatLog, CutsToLast9000OnlyWhenOver10000) {
    const struct {
        QString before;
        QString line;
        QString after;
    } cases[] = {
        // Exactly 10000 stays.
        {repeated(u'a', 9990), repeated(u'b', 8), repeated(u'a', 9990) + repeated(u'b', 8) + u"\r\n"_s},
        {repeated(u'a', 9990), repeated(u'b', 9), repeated(u'a', 8989) + repeated(u'b', 9) + u"\r\n"_s},
        // A 30-character line (CR LF included) on a log 20 short of the cap.
        {repeated(u'x', 9980), repeated(u'y', 28), repeated(u'x', 8970) + repeated(u'y', 28) + u"\r\n"_s},
        // One line longer than the cap keeps its end.
        {u""_s, u"head"_s + repeated(u'z', 12000), repeated(u'z', 8998) + u"\r\n"_s},
    };
    for (const auto& c : cases) {
        chat::ChatLog log;
        log.setText(c.before);
        log.addToLog(c.line);
        EXPECT_EQ(log.text(), c.after);
    }
}

TEST(ChatLog, CutNeverLeavesHalfACharacterOrHalfALineBreak) {
    // Each log is laid out so that the plain cut (at index 1001 of 10001) would
    // start on the given code unit.
    const QString smile = u"😀"_s; // two UTF-16 code units
    const struct {
        QString before;
        QString expected;
    } cases[] = {
        // The low half of a surrogate pair at the cut goes too.
        {repeated(u'a', 1000) + smile + repeated(u'b', 8992), repeated(u'b', 8992) + u"ccccc\r\n"_s},
        // The LF of a CR LF pair at the cut goes too.
        {repeated(u'a', 1000) + u"\r\n"_s + repeated(u'b', 8992), repeated(u'b', 8992) + u"ccccc\r\n"_s},
        // A pair, or a CR LF, that starts at the cut stays whole.
        {repeated(u'a', 1001) + smile + repeated(u'b', 8991), smile + repeated(u'b', 8991) + u"ccccc\r\n"_s},
        {repeated(u'a', 1001) + u"\r\n"_s + repeated(u'b', 8991), u"\r\n"_s + repeated(u'b', 8991) + u"ccccc\r\n"_s},
    };
    for (const auto& c : cases) {
        chat::ChatLog log;
        log.setText(c.before);
        ASSERT_EQ(c.before.size() + 7, 10001);
        log.addToLog(u"ccccc"_s);
        EXPECT_EQ(log.text(), c.expected);
    }
}

TEST(ChatMessage, WritesKindThenText) {
    const struct {
        chat::ChatKind kind;
        QString text;
        QByteArray payload;
    } cases[] = {
        {chat::ChatKind::Public, u"hi"_s,
         QByteArray::fromHex("00000000"
                             "00000002"
                             "6869")},
        {chat::ChatKind::Private, u"あ"_s,
         QByteArray::fromHex("00000001"
                             "00000003"
                             "e38182")},
    };
    for (const auto& c : cases) {
        const chat::ChatMessage message{c.kind, c.text};
        EXPECT_EQ(message.toMessage().payload(), c.payload);
    }
}

} // namespace
