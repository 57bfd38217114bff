#include "chat/ScriptInterpreter.h"

#include "ChatRecorders.h"

#include <QStringList>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

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
        log.addToLog(c.line);
        EXPECT_EQ(log.text(), c.logged) << c.line.toStdString();
    }
}

TEST(ChatLog, CutsToLast9000OnlyWhenOver10000AndOnlyWhereAMessageOrACharacterBegins) {
    const QString smile = u"😀"_s; // two UTF-16 code units
    const QString flag = u"🇯🇵"_s; // two code points, four code units, one character
    const QString crLf = u"\r\n"_s, mark = u"　"_s;
    const struct {
        const char* name;
        QString before;
        QString line;
        QString after;
    } cases[] = {
        {"exactly 10000 stays", QString(9990, u'a'), QString(8, u'b'), QString(9990, u'a') + QString(8, u'b') + crLf},
        {"10001 is cut where a message begins", QString(999, u'a') + crLf + QString(8987, u'c') + crLf,
         QString(9, u'b'), QString(8987, u'c') + crLf + QString(9, u'b') + crLf},
        // The plain cut (at index 1001) would open the log with the line that X typed
        // after its continuation mark.
        {"a cut inside a message drops the rest of it",
         u"X> "_s + QString(995, u'x') + crLf + mark + u"W> I agree to pay"_s + crLf + u"Y> "_s + QString(8967, u'c') +
             crLf,
         u"Y> bbbb"_s, u"Y> "_s + QString(8967, u'c') + crLf + u"Y> bbbb"_s + crLf},
        // One message longer than what is kept keeps its end behind a continuation mark;
        // the plain cut of these falls at index 1001 or 1002 of the message.
        {"one message longer than the cap keeps its end", u""_s, u"head"_s + QString(12000, u'z'),
         mark + QString(8998, u'z') + crLf},
        {"the low half of a surrogate pair at the cut goes too", u""_s,
         QString(1000, u'a') + smile + QString(8997, u'b'), mark + QString(8997, u'b') + crLf},
        {"a flag cut between its two halves goes whole", u""_s, QString(1000, u'a') + flag + QString(8996, u'b'),
         mark + QString(8996, u'b') + crLf},
        {"a CR LF at the cut goes whole and its mark opens the log", u""_s,
         QString(1000, u'a') + u"\n"_s + QString(8996, u'b'), mark + QString(8996, u'b') + crLf},
        {"a pair that starts at the cut stays whole", u""_s, QString(1001, u'a') + smile + QString(8996, u'b'),
         mark + smile + QString(8996, u'b') + crLf},
    };
    for (const auto& c : cases) {
        chat::ChatLog log;
        log.setText(c.before);
        log.addToLog(c.line);
        EXPECT_EQ(log.text(), c.after) << c.name;
    }
}

struct ScriptCase {
    QString text;
    bool allowed;
    QString logBefore;
    QString remainder;
    QString logAfter;
    QStringList sounds;
    bool soundScriptPlayed;
};

void runCases(const std::vector<ScriptCase>& cases, const QString& senderName = QString()) {
    for (const ScriptCase& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        chat::ChatLog log;
        chattest::RecordingSounds sounds;
        sounds.count = 5;
        chat::ScriptInterpreter interpreter(log, sounds);
        interpreter.setExtScriptAllowed(c.allowed);
        interpreter.setSoundScriptPlayed(true); // must be cleared by every run
        log.setText(c.logBefore);

        EXPECT_EQ(interpreter.RunScript(c.text, senderName), c.remainder);
        EXPECT_EQ(log.text(), c.logAfter);
        EXPECT_EQ(sounds.played, c.sounds);
        EXPECT_EQ(interpreter.soundScriptPlayed(), c.soundScriptPlayed);
    }
}

const QString kLog = u"A> one\r\nB> two\r\n"_s;

TEST(RunScript, SoundAndSysClearCommandsAndTextsThatAreNone) {
    runCases({
        {u"@S3;"_s, false, kLog, u""_s, kLog, {u"sound 3"_s}, true},
        {u"@s3;hello"_s, false, kLog, u"hello"_s, kLog, {u"sound 3"_s}, true},
        {u"@Sabc;hi"_s, false, kLog, u"hi"_s, kLog, {}, true},
        {u"@S;hi"_s, false, kLog, u"hi"_s, kLog, {}, true},
        {u"@S3;@S4;"_s, false, kLog, u"@S4;"_s, kLog, {u"sound 3"_s}, true},
        {u"@S2.5;"_s, false, kLog, u""_s, kLog, {u"sound 2"_s}, true},
        {u"@S3.5;"_s, false, kLog, u""_s, kLog, {u"sound 4"_s}, true},
        // Outside the list of five files, or not a number: nothing plays, and the
        // standard message sound stays off all the same.
        {u"@S5;"_s, false, kLog, u""_s, kLog, {}, true},
        {u"@S32768;"_s, false, kLog, u""_s, kLog, {}, true},
        {u"@S３;"_s, false, kLog, u""_s, kLog, {}, true},
        // Without permission "@sysclear" is a sound command whose argument is no number.
        {u"@sysclear;hi"_s, false, kLog, u"hi"_s, kLog, {}, true},
        {u"@sysclear;hi"_s, true, kLog, u"hi"_s, u""_s, {}, false},
        {u"@sysclearANYTHING;x"_s, true, kLog, u"x"_s, u""_s, {}, false},
        // No command, or an unknown one (only ASCII letters are folded: "İ" is no "i").
        {u"hello @S3;"_s, false, kLog, u"hello @S3;"_s, kLog, {}, false},
        {u"@foo;bar"_s, false, kLog, u"bar"_s, kLog, {}, false},
        {u"@;"_s, false, kLog, u""_s, kLog, {}, false},
        {u"@permission=yes;hi"_s, false, kLog, u"hi"_s, kLog, {}, false},
        {u"@İ;rest"_s, false, kLog, u"rest"_s, kLog, {}, false},
    });
}

TEST(RunScript, ClearAndDelRemoveOnlyTheNamedMembersLines) {
    const QString notice = u"X さんはログを消去しました\r\n"_s;
    const QString others = u"XY> b\r\nY> X> c\r\nX さんが参加しました\r\nX to Y> d\r\nY> (X> e)\r\n"_s;
    runCases({
        {u"@clearX;"_s, false, u"X> a\r\n"_s + others + u"X> (private)\r\n"_s, u""_s, others + notice, {}, false},
        {u"@CLEARX;hi"_s, true, u"X> a\r\n"_s, u"hi"_s, notice, {}, false},
        // A lone CR ends a line without taking the next line's first character.
        {u"@clearX;"_s, false, u"Y> a\rZ> b\r\nX> c\r\n"_s, u""_s, u"Y> a\r\nZ> b\r\n"_s + notice, {}, false},
        // A log that does not end with a line break keeps its last characters.
        {u"@clearX;"_s, false, u"Y> a\r\nZ> tail"_s, u""_s, u"Y> a\r\nZ> tail\r\n"_s + notice, {}, false},
        // The name is whatever stands before the first ";", case kept.
        {u"@clearx;"_s, false, u"X> a\r\nx> b\r\n"_s, u""_s, u"X> a\r\nx さんはログを消去しました\r\n"_s, {}, false},
        // "@del" removes the last line, only when it is the named member's.
        {u"@delX;"_s, false, u"Y> a\r\nX> b\r\n"_s, u""_s, u"Y> a\r\n"_s, {}, false},
        {u"@delX;"_s, false, u"X> hi\r\n"_s, u""_s, u""_s, {}, false},
        {u"@delX;"_s, false, u"X> a\r\nY> b\r\n"_s, u""_s, u"X> a\r\nY> b\r\n"_s, {}, false},
        {u"@delX;more"_s, false, u""_s, u"more"_s, u""_s, {}, false},
        // Bob's command leaves JimBob's line, and a line that merely quotes Bob.
        {u"@delBob;"_s, false, u"A> a\r\nJimBob> hi\r\n"_s, u""_s, u"A> a\r\nJimBob> hi\r\n"_s, {}, false},
        {u"@delBob;"_s, false, u"A> a\r\nC> Bob> hi\r\n"_s, u""_s, u"A> a\r\nC> Bob> hi\r\n"_s, {}, false},
        // A line that does not open with the continuation mark is a message of its own.
        {u"@delX;"_s, false, u"X> a\r\nb\r\n"_s, u""_s, u"X> a\r\nb\r\n"_s, {}, false},
        // A message goes with all its lines; XY's stay, also after X's.
        {u"@delX;"_s, false, u"Y> a\r\nX> b\r\n　c\r\n"_s, u""_s, u"Y> a\r\n"_s, {}, false},
        {u"@clearX;"_s,
         false,
         u"W> a\r\n　b\r\nX> c\r\n　d\r\nXY> e\r\n　f\r\nX> (g\r\n　h)\r\n"_s,
         u""_s,
         u"W> a\r\n　b\r\nXY> e\r\n　f\r\n"_s + notice,
         {},
         false},
    });
}

TEST(RunScript, SendersOwnNameWithSemicolonIsOneCommand) {
    const QString log = u"a;b> mine\r\na> theirs\r\n"_s;
    runCases(
        {
            {u"@cleara;b;hi"_s, false, log, u"hi"_s, u"a> theirs\r\na;b さんはログを消去しました\r\n"_s, {}, false},
            {u"@dela;b;"_s, false, u"a> theirs\r\na;b> mine\r\n"_s, u""_s, u"a> theirs\r\n"_s, {}, false},
            // Another member's name after "@clear": the first ";" ends the command.
            {u"@clearc;x"_s, false, u"c> 1\r\n"_s, u"x"_s, u"c さんはログを消去しました\r\n"_s, {}, false},
        },
        u"a;b"_s);
    // Received from somebody else, the same text names the member "a".
    runCases({{u"@cleara;b;hi"_s, false, log, u"b;hi"_s, u"a;b> mine\r\na さんはログを消去しました\r\n"_s, {}, false}},
             u"z"_s);
}

} // namespace
