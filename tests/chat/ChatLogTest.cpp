#include "chat/ChatLog.h"

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
        {u"a\n\rb\r\r\n"_s, u"a\r\n　\r\n　b\r\n　\r\n　\r\n"_s},
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

TEST(ChatLog, CutsToLast9000OnlyWhenOver10000AndNeverInsideACharacterOrALineBreak) {
    const QString smile = u"😀"_s; // two UTF-16 code units
    const struct {
        const char* name;
        QString before;
        QString line;
        QString after;
    } cases[] = {
        {"exactly 10000 stays", repeated(u'a', 9990), repeated(u'b', 8),
         repeated(u'a', 9990) + repeated(u'b', 8) + u"\r\n"_s},
        {"10001 is cut", repeated(u'a', 9990), repeated(u'b', 9), repeated(u'a', 8989) + repeated(u'b', 9) + u"\r\n"_s},
        {"a line of 30 on a log 20 short of the cap", repeated(u'x', 9980), repeated(u'y', 28),
         repeated(u'x', 8970) + repeated(u'y', 28) + u"\r\n"_s},
        {"one line longer than the cap keeps its end", u""_s, u"head"_s + repeated(u'z', 12000),
         repeated(u'z', 8998) + u"\r\n"_s},
        // The plain cut of these (at index 1001 of 10001) would start on the code unit
        // after the first 1000 or 1001 characters.
        {"the low half of a surrogate pair at the cut goes too", repeated(u'a', 1000) + smile + repeated(u'b', 8992),
         u"ccccc"_s, repeated(u'b', 8992) + u"ccccc\r\n"_s},
        {"the LF of a CR LF at the cut goes too", repeated(u'a', 1000) + u"\r\n"_s + repeated(u'b', 8992), u"ccccc"_s,
         repeated(u'b', 8992) + u"ccccc\r\n"_s},
        {"a pair that starts at the cut stays whole", repeated(u'a', 1001) + smile + repeated(u'b', 8991), u"ccccc"_s,
         smile + repeated(u'b', 8991) + u"ccccc\r\n"_s},
        {"a CR LF that starts at the cut stays whole", repeated(u'a', 1001) + u"\r\n"_s + repeated(u'b', 8991),
         u"ccccc"_s, u"\r\n"_s + repeated(u'b', 8991) + u"ccccc\r\n"_s},
    };
    for (const auto& c : cases) {
        chat::ChatLog log;
        log.setText(c.before);
        log.addToLog(c.line);
        EXPECT_EQ(log.text(), c.after) << c.name;
    }
}

} // namespace
