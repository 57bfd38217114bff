#include "chat/ChatNotifier.h"

#include "ChatRecorders.h"
#include "chat/ScriptInterpreter.h"
#include "common/TestSupport.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// The three notify settings as stored, with mention words, against the lines that
// arrive while the window is not active: which of them reach the desktop.
TEST(ChatNotifier, EachSettingNotifiesItsLinesAndAMentionAlwaysUnlessNever) {
    const struct {
        QString notify, words, text;
        bool isPrivate, shown;
    } cases[] = {
        {u""_s, u""_s, u"こんにちは"_s, false, true}, // an old file: every line
        {u"0"_s, u""_s, u"こんにちは"_s, false, true},         {u"1"_s, u""_s, u"こんにちは"_s, false, false},
        {u"1"_s, u""_s, u"太郎さん、見て"_s, false, true}, // the handle name
        {u"1"_s, u"taro、ﾊﾅ"_s, u"TARO, look"_s, false, true}, {u"1"_s, u"taro、ﾊﾅ"_s, u"to ﾊﾅ"_s, false, true},
        {u"1"_s, u"taro、ﾊﾅ"_s, u"tar o"_s, false, false},     {u"1"_s, u""_s, u"内緒の話"_s, true, true},
        {u"2"_s, u""_s, u"太郎さん"_s, true, false},           {u"x"_s, u""_s, u"こんにちは"_s, false, true},
    };
    for (const auto& c : cases) {
        chat::ChatNotifier notifier;
        notifier.setTimes(0, 0);
        notifier.setRoomName(u"雑談部屋"_s);
        notifier.setOwnName(u"太郎"_s);
        notifier.setMode(chat::notifyModeFromSetting(c.notify));
        notifier.setMentionWords(chat::mentionWordsFromSetting(c.words));
        notifier.setWindowActive(false);
        QSignalSpy notices(&notifier, &chat::ChatNotifier::notice);
        notifier.lineArrived(u"花子"_s, c.text, c.isPrivate);
        testsupport::spinFor(std::chrono::milliseconds(20));
        EXPECT_EQ(notices.count(), c.shown ? 1 : 0) << c.notify.toStdString() << " " << c.text.toStdString();
        EXPECT_EQ(notifier.unread(), 1);
    }
}

// With times on, each line opens with the time, in the log and the whole session, and
// "@clear" finds its sender's lines and no others; with them off the lines are as always.
TEST(ChatLog, TimesOpenEachLineOnlyWhenWanted) {
    for (const bool times : {false, true}) {
        chat::ChatLog log;
        log.keepWholeSession();
        if (times)
            log.setTimeStamps([] { return QDateTime(QDate(2026, 1, 2), QTime(9, 5, 30)); });
        chattest::RecordingSounds sounds;
        chat::ScriptInterpreter interpreter(log, sounds);
        log.addToLog(u"花子> おはよう\n二行目"_s);
        log.addToLog(u"[09:05] 次郎> 偽の時刻"_s);
        const QString stamp = times ? u"[09:05] "_s : QString();
        EXPECT_EQ(log.wholeSession().text(),
                  stamp + u"花子> おはよう\r\n　二行目\r\n"_s + stamp + u"[09:05] 次郎> 偽の時刻\r\n"_s);
        interpreter.RunScript(u"@clear花子;"_s, u"花子"_s);
        interpreter.RunScript(u"@clear次郎;"_s, u"次郎"_s); // not the line of "[09:05] 次郎"
        EXPECT_EQ(log.text(), stamp + u"[09:05] 次郎> 偽の時刻\r\n"_s + stamp + u"花子 さんはログを消去しました\r\n"_s +
                                  stamp + u"次郎 さんはログを消去しました\r\n"_s);
        EXPECT_EQ(log.wholeSession().text(), log.text());
    }
}

} // namespace
