// What a newcomer is given of a busy room: a room's lines pass by the thousand, and
// the history must keep exactly what a log under the same cap keeps.
#include "session/wire/RoomHistory.h"

#include "session/wire/Message.h"

#include <QStringList>
#include <gtest/gtest.h>

using namespace session;
using namespace Qt::StringLiterals;

namespace {

QByteArray chatLine(const QString& text) {
    Message message;
    message.writeInt32(0);
    message.writeString(text);
    return message.payload();
}

// Ten characters, numbered: "行007ああああああ"; with the name "ベン" it takes 16 of the log.
QString numbered(int n) {
    return u"行%1ああああああ"_s.arg(n, 3, 10, QChar(u'0'));
}

QStringList texts(const RoomHistory& history) {
    QStringList out;
    for (const HistoryLine& line : history.lines())
        out.append(line.text);
    return out;
}

QStringList numberedRange(int first, int last) {
    QStringList out;
    for (int n = first; n <= last; ++n)
        out.append(numbered(n));
    return out;
}

} // namespace

TEST(RoomHistory, KeepsWhatALogUnderTheSameCapKeepsAfterThousandsOfLines) {
    const struct {
        const char* what;
        int lines;         // numbered lines of ベン, seq 1, 2, ...
        QStringList after; // then these texts of ベン
        QStringList expected;
    } cases[] = {
        {"the last six fit the cap of 100", 1000, {}, numberedRange(995, 1000)},
        {"a line longer than the cap leaves only what follows it",
         300,
         {QString(200, u'長'), numbered(1), numbered(2)},
         {numbered(1), numbered(2)}},
        {"\"@del\" takes the last line out", 50, {u"@delベン;"_s}, numberedRange(45, 49)},
        {"\"@clear\" takes the member's lines out, its notice is nobody's line",
         70,
         {u"@clearベン;"_s, numbered(1)},
         {numbered(1)}},
        {"a few lines are all kept", 3, {}, numberedRange(1, 3)},
    };
    for (const auto& c : cases) {
        RoomHistory history;
        history.setLimit(100);
        quint32 seq = 0;
        for (int n = 1; n <= c.lines; ++n) {
            history.addPublic(2, u"ベン"_s, ++seq, chatLine(numbered(n)));
            history.addPublic(2, u"ベン"_s, seq, chatLine(u"resent"_s)); // a resend is not kept twice
        }
        for (const QString& text : c.after)
            history.addPublic(2, u"ベン"_s, ++seq, chatLine(text));
        EXPECT_EQ(texts(history), c.expected) << c.what;
    }
}
