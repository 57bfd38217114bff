#include "chat/ChatController.h"

#include "ChatRecorders.h"
#include "common/FakeSessionService.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <tuple>
#include <utility>

using namespace Qt::StringLiterals;
using testsupport::FakeSessionService;

namespace {

const QString kReadFailed = u"メッセージの読み込みに失敗しました "_s;

class ChatControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.players = {{1, u"Alice"_s}, {2, u"Bob"_s}, {3, u"Carol"_s}};
        service.eventHandle = controller.registerForEvents();
        controller.setLocalPlayer(1, u"Alice"_s);
        controller.UpdateRoster();
    }

    // Waits until every delivered message has been taken and handled.
    void settle() {
        ASSERT_TRUE(testsupport::waitUntil([&] { return service.queue.isEmpty(); }));
        QCoreApplication::processEvents();
    }

    void selectMember(int index) { controller.lstRoster_Click(index); }
    // What a send leaves in the entry: its text, whether it went out, whether the entry
    // takes the focus.
    static std::tuple<QString, bool, bool> entry(const chat::ChatController::EntryUpdate& update) {
        return {update.text, update.sent, update.focusEntry};
    }

    // What went out, one "from>to kind text" each.
    QStringList sent() const {
        QStringList lines;
        for (const FakeSessionService::Sent& message : service.sent)
            lines.append(u"%1>%2 %3 %4"_s.arg(message.from).arg(message.to).arg(message.kind).arg(message.text));
        return lines;
    }

    FakeSessionService service;
    chattest::RecordingSounds sounds;
    chattest::RecordingView view;
    chat::ChatController controller{service, sounds, view};
};

TEST_F(ChatControllerTest, PublicAndPrivateLinesHaveTheirShapes) {
    // A private line needs somebody selected, and not oneself.
    EXPECT_EQ(controller.cmdWhisper_Click(u"secret"_s).text, u"secret"_s);
    selectMember(0);
    EXPECT_EQ(controller.cmdWhisper_Click(u"secret"_s).text, u"secret"_s);
    EXPECT_TRUE(service.sent.isEmpty());

    EXPECT_EQ(entry(controller.cmdSend_Click(u"hello\nworld"_s)), std::tuple(QString(), true, true));
    selectMember(1);
    EXPECT_FALSE(controller.cmdWhisper_Click(QString()).sent);
    EXPECT_TRUE(controller.cmdWhisper_Click(u"@S2;psst"_s).sent);
    EXPECT_EQ(sent(), (QStringList{u"1>0 0 hello\r\nworld"_s, u"1>2 1 @S2;psst"_s}));

    service.deliverChat(2, 0, u"hi all"_s);
    service.deliverChat(3, 1, u"@S2;just you"_s, 1);
    service.deliverChat(2, 0, u"two\rlines"_s);
    // What one member can make others show: never a line of somebody else, nor a
    // private line that was public.
    service.deliverChat(2, 0, u"a\u2028Alice> b\u2029c"_s);
    service.deliverChat(2, 1, u"to all, dressed as private"_s);
    settle();

    EXPECT_EQ(controller.log().text(), u"Alice> hello\r\n　world\r\n"
                                       u"Alice to Bob> psst\r\n"
                                       u"Bob> hi all\r\n"
                                       u"Carol> (just you)\r\n"
                                       u"Bob> two\r\n　lines\r\n"
                                       u"Bob> a\r\n　Alice> b\r\n　c\r\n"
                                       u"Bob> to all, dressed as private\r\n"_s);
    EXPECT_EQ(sounds.played, (QStringList{u"message"_s, u"sound 2"_s, u"message"_s, u"sound 2"_s, u"message"_s,
                                          u"message"_s, u"message"_s}));
    EXPECT_TRUE(view.boxes.isEmpty());
}

// What was said before: under one separator, as their authors' lines, even of one who
// left; nothing in them runs (scripts allowed here, yet "@sysclear;" clears nothing),
// nothing plays and nothing is notified.
TEST_F(ChatControllerTest, HistoryLinesAreShownUnderTheSeparatorAndRunNothing) {
    controller.cmdSend_Click(u"@permission=yes;"_s);
    QStringList notified;
    QObject::connect(&controller, &chat::ChatController::lineReceived, &controller,
                     [&](const QString&, const QString& text, bool) { notified.append(text); });
    service.deliverHistory(9, u"Dan"_s, u"@S2;@sysclear;まだある"_s);
    service.deliverHistory(2, u"Bob"_s, u"@clearDan;"_s);
    service.deliverChat(2, 0, u"now"_s);
    settle();
    EXPECT_EQ(controller.log().text(), u"―――― 参加する前の発言 ――――\r\nDan> @S2;@sysclear;まだある\r\n"
                                       u"Bob> @clearDan;\r\nBob> now\r\n"_s);
    EXPECT_EQ(sounds.played, QStringList{u"message"_s});
    EXPECT_EQ(notified, QStringList{u"now"_s});
}

TEST_F(ChatControllerTest, ClearAndDelRunOnTheSenderToo) {
    service.deliverChat(2, 0, u"b1"_s);
    settle();
    controller.cmdSend_Click(u"a1"_s);
    sounds.played.clear();

    EXPECT_TRUE(controller.cmdSend_Click(u"@clear;"_s).text.isEmpty());
    EXPECT_EQ(controller.log().text(), u"Bob> b1\r\nAlice さんはログを消去しました\r\n"_s);
    EXPECT_TRUE(sounds.played.isEmpty());

    controller.cmdSend_Click(u"a2"_s);
    controller.cmdSend_Click(u"@del;see above"_s);
    EXPECT_EQ(controller.log().text(), u"Bob> b1\r\nAlice さんはログを消去しました\r\nAlice> see above\r\n"_s);

    // Received, Bob's command acts on Bob's lines.
    service.deliverChat(2, 0, u"b2"_s);
    service.deliverChat(2, 0, u"@delBob;"_s);
    settle();
    EXPECT_TRUE(controller.log().text().endsWith(u"Alice> see above\r\n"_s));

    // Commands take whole messages, continuation lines and one's own private lines
    // included; "Bo" takes nothing of "Bob".
    service.players.append({4, u"Bo"_s});
    controller.cmdSend_Click(u"line one\nline two"_s);
    service.deliverChat(4, 0, u"x1a\r\nx1b"_s);
    service.deliverChat(2, 0, u"xy line"_s);
    service.deliverChat(4, 0, u"@clearBo;"_s);
    settle();
    controller.cmdSend_Click(u"two\nlines"_s);
    controller.cmdSend_Click(u"@del;"_s);
    const QString kept = u"Bob> b1\r\nAlice さんはログを消去しました\r\nAlice> see above\r\n"
                         u"Alice> line one\r\n　line two\r\nBob> xy line\r\nBo さんはログを消去しました\r\n"_s;
    EXPECT_EQ(controller.log().text(), kept);
    selectMember(1);
    controller.cmdWhisper_Click(u"psst\nmore"_s);
    controller.cmdSend_Click(u"@clear;"_s);
    EXPECT_EQ(controller.log().text(), u"Bob> b1\r\nAlice さんはログを消去しました\r\nBob> xy line\r\n"
                                       u"Bo さんはログを消去しました\r\nAlice さんはログを消去しました\r\n"_s);
}

TEST_F(ChatControllerTest, PermissionCommandsAreNotSentAndTheirNoticeStaysSixTicks) {
    controller.cmdSend_Click(u"before"_s);
    EXPECT_EQ(entry(controller.cmdSend_Click(u"@permission=yes;"_s)), std::tuple(QString(), false, false));
    EXPECT_EQ(
        std::tuple(service.sent.size(), controller.extScriptAllowed(), view.messageTag, controller.noticeTimerActive()),
        std::tuple(1, true, u"メッセージ　（拡張スクリプト設定：許可）"_s, true));
    service.deliverChat(3, 0, u"@SYSCLEAR;fresh"_s); // obeyed now
    settle();
    EXPECT_EQ(controller.log().text(), u"Carol> fresh\r\n"_s);

    // A second command within the six ticks changes the notice, not the count.
    for (int i = 0; i < 3; ++i)
        controller.timWait_Timer();
    controller.cmdSend_Click(u"@permission=no;hello"_s);
    EXPECT_FALSE(controller.extScriptAllowed());
    EXPECT_EQ(service.sent.last().text, u"hello"_s);
    controller.timWait_Timer();
    controller.timWait_Timer();
    EXPECT_EQ(view.messageTag, u"メッセージ　（拡張スクリプト設定：不可）"_s);
    controller.timWait_Timer(); // the sixth
    EXPECT_EQ(std::tuple(view.messageTag, controller.noticeTimerActive(), controller.waitTicks()),
              std::tuple(u"メッセージ"_s, false, 0));
}

// A bare number becomes a sound command in the entry (a row of the send table); sent
// alone, the command plays, logs nothing and leaves no sound pending.
TEST_F(ChatControllerTest, ASoundCommandAloneIsSentAndLogsNothing) {
    controller.setEasySound(true);
    EXPECT_TRUE(controller.cmdSend_Click(u"12"_s).caretAtEnd);
    controller.cmdSend_Click(u"@S12;"_s);
    EXPECT_EQ(sounds.played, QStringList{u"sound 12"_s});
    EXPECT_TRUE(controller.log().isEmpty() && !controller.soundScriptPlayed());
    EXPECT_EQ(sent(), QStringList{u"1>0 0 @S12;"_s});
}

TEST_F(ChatControllerTest, FailedSendKeepsTheEntryAndRunsNothing) {
    controller.cmdSend_Click(u"mine"_s);
    sounds.played.clear();
    service.sendError = session::Error{0x88770096u, u"invalid player"_s};
    for (const QString& text : {u"@clear;"_s, u"@S1;x"_s, u"plain\ntext"_s})
        EXPECT_EQ(entry(controller.cmdSend_Click(text)), std::tuple(text, false, false));
    selectMember(1);
    EXPECT_EQ(controller.cmdWhisper_Click(u"psst"_s).text, u"psst"_s);
    EXPECT_EQ(view.boxes, QStringList(4, u"メッセージの送信に失敗しました"_s));
    EXPECT_EQ(controller.log().text(), u"Alice> mine\r\n"_s);
    EXPECT_TRUE(sounds.played.isEmpty());
}

TEST_F(ChatControllerTest, JoinAndLeaveWriteNoticesAndRebuildTheRoster) {
    selectMember(1);
    ASSERT_TRUE(controller.whisperEnabled());
    service.players.append({4, u"Dave"_s});
    service.deliverSystem(session::kSystemPlayerJoined, 4);
    settle();
    EXPECT_EQ(std::tuple(controller.roster().count(), controller.roster().selectedIndex(), controller.whisperEnabled()),
              std::tuple(4, -1, false));

    selectMember(2);
    service.players.removeAt(2); // Carol leaves
    service.deliverSystem(session::kSystemPlayerLeft, 3);
    service.deliverSystem(session::kSystemPlayerLeft, 77); // nobody we know
    settle();
    EXPECT_EQ(controller.log().text(),
              u"Dave さんが参加しました\r\nCarol さんが退出しました\r\n さんが退出しました\r\n"_s);
    EXPECT_EQ(sounds.played, (QStringList{u"join"_s, u"leave"_s, u"leave"_s}));
    ASSERT_EQ(controller.roster().count(), 3);
    EXPECT_EQ(controller.roster().entry(2).name, u"Dave"_s);
    EXPECT_FALSE(controller.whisperEnabled());

    // A rebuild that fails is reported and empties the roster; the button stays as it
    // was, but nothing can be sent to nobody.
    selectMember(1);
    service.listError = session::Error{0x80004005u, u"gone"_s};
    controller.UpdateRoster();
    EXPECT_EQ(view.boxes, QStringList{u"プレーヤーリストのアップデートに失敗しました"_s});
    EXPECT_TRUE(controller.roster().count() == 0 && controller.whisperEnabled());
    EXPECT_FALSE(controller.cmdWhisper_Click(u"x"_s).sent);
}

TEST_F(ChatControllerTest, HandlesOneMessagePerCallAndIgnoresOtherNoticesAndChatKinds) {
    const int listCalls = service.listPlayersCalls;
    service.deliverSystem(4, 2);
    session::Message kindTwo;
    kindTwo.writeInt32(2); // no text follows: reading it would fail
    service.deliver(2, kindTwo);
    settle();
    controller.DirectXEvent_DXCallBack(0); // nothing waits
    EXPECT_TRUE(controller.log().isEmpty() && sounds.played.isEmpty() && view.boxes.isEmpty());
    EXPECT_EQ(std::pair(service.listPlayersCalls, service.receiveCalls), std::pair(listCalls, 2));

    service.deliverChat(2, 0, u"one"_s); // their events wait for the event loop
    service.deliverChat(2, 0, u"two"_s);
    controller.DirectXEvent_DXCallBack(0);
    EXPECT_EQ(controller.log().text(), u"Bob> one\r\n"_s);
    controller.DirectXEvent_DXCallBack(0);
    EXPECT_EQ(controller.log().text(), u"Bob> one\r\nBob> two\r\n"_s);
}

TEST_F(ChatControllerTest, AnUnreadableMessageOpensOneBoxAndWhatComesMeanwhileWaitsForIt) {
    session::Message truncated;
    truncated.writeInt32(0);
    truncated.writeInt32(50); // a string of 50 bytes that never comes
    QString logWhileBoxShows = u"unset"_s;
    int receivedWhileBoxShows = -1;
    view.whileBoxShows = [&] {
        // A modal box runs the event loop: what comes meanwhile is handled after it
        // closes, and its read errors open no further box.
        service.deliver(2, truncated);
        service.deliverChat(2, 0, u"first"_s);
        service.deliverSystem(session::kSystemPlayerLeft, 3);
        service.deliver(2, truncated);
        testsupport::spinFor(std::chrono::milliseconds(50));
        logWhileBoxShows = controller.log().text();
        receivedWhileBoxShows = service.receiveCalls;
        view.whileBoxShows = nullptr;
    };
    service.deliver(2, truncated);
    settle();
    EXPECT_EQ(std::pair(logWhileBoxShows, receivedWhileBoxShows), std::pair(QString(), 1));
    testsupport::spinFor(std::chrono::milliseconds(50));
    EXPECT_EQ(controller.log().text(), u"Bob> first\r\nCarol さんが退出しました\r\n"_s);
    ASSERT_EQ(view.boxes.size(), 1);
    EXPECT_TRUE(view.boxes[0].startsWith(kReadFailed + u"-2005466752 "_s)) << view.boxes[0].toStdString();

    service.deliverChat(99, 0, u"from nobody"_s); // a later error gets its own box
    ASSERT_TRUE(testsupport::waitUntil([&] { return view.boxes.size() == 2; }));
    EXPECT_EQ(view.boxes[1], kReadFailed + u"-2005466986 invalid player"_s);
}

// Only the exact short forms of the commands are rewritten before they go out; typed
// with the input method on, they go out in ASCII.
TEST_F(ChatControllerTest, CommandsGoOutRewrittenOnlyInTheirExactForms) {
    const struct {
        QString typed;
        QString sent; // empty: nothing goes out
        bool easySound = false;
        QString entry = {}; // what the entry shows afterwards
    } rows[] = {
        {u"＠Ｓ１２；やあ；"_s, u"@S12;やあ；"_s},
        {u"@S２;hi"_s, u"@S2;hi"_s},
        {u"＠ｃｌｅａｒ；ｘ"_s, u"@clearAlice;ｘ"_s},
        {u"＠ＤＥＬ；"_s, u"@delAlice;"_s},
        {u"＠ｓｙｓｃｌｅａｒ；"_s, u"@sysclear;"_s},
        {u"＠ｐｅｒｍｉｓｓｉｏｎ＝ｙｅｓ；"_s, QString()},
        {u"１2"_s, QString(), true, u"@S12;"_s},
        // Not a command in full width, or no number: sent as typed.
        {u"＠ｓａｂｃ；"_s, u"＠ｓａｂｃ；"_s},
        {u"＠ｓ；"_s, u"＠ｓ；"_s},
        {u"＠ｓ２"_s, u"＠ｓ２"_s},
        {u"＠ｃｌｅａｒ花子；"_s, u"＠ｃｌｅａｒ花子；"_s},
        {u"ｓ２；＠ｓ２；"_s, u"ｓ２；＠ｓ２；"_s},
        {u"１２"_s, u"１２"_s},
        {u"１ｘ"_s, u"１ｘ"_s, true},
        {u"@PERMISSION=YES;hello"_s, u"hello"_s},
        {u"@permission=maybe;"_s, u"@permission=maybe;"_s},
        {u"@permission=yes"_s, u"@permission=yes"_s},
        {u" @clear;"_s, u" @clear;"_s},
        {u"@clearİ;x"_s, u"@clearİ;x"_s}, // only ASCII letters are folded
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed.toStdString());
        service.sent.clear();
        controller.setEasySound(row.easySound);
        EXPECT_EQ(controller.cmdSend_Click(row.typed).text, row.entry);
        EXPECT_EQ(service.sent.isEmpty() ? QString() : service.sent[0].text, row.sent);
    }
}

// Lines of one's own that the service gives up on come back to the entry with one
// send-failure box per burst, and the log takes nothing more.
TEST_F(ChatControllerTest, UndeliveredLinesComeBackToTheEntryWithOneBoxPerBurst) {
    const auto undelivered = [&](qint32 kind, const QString& text, session::PlayerId to = session::kEveryone) {
        service.deliverChat(1, kind, text, to);
        service.queue.last().undelivered = true;
    };
    ASSERT_TRUE(controller.cmdSend_Click(u"two\nlines"_s).sent);
    const QString logged = controller.log().text();

    // One burst: a public and a private line (wire line ends back to the entry's), a
    // message that is no chat line (ignored), and a line from Bob in between.
    undelivered(0, u"two\r\nlines"_s);
    service.deliverChat(2, 0, u"still here"_s);
    undelivered(1, u"psst"_s, 2);
    undelivered(7, u"not a chat line"_s);
    // A line given up on while the box is open belongs to its burst: no second box.
    bool late = true;
    view.whileBoxShows = [&] {
        if (std::exchange(late, false)) {
            undelivered(0, u"late"_s);
            QCoreApplication::processEvents(); // its event waits behind the box
        }
    };
    settle();
    EXPECT_EQ(view.restored, (QStringList{u"two\nlines\npsst"_s, u"late"_s}));
    EXPECT_EQ(view.boxes, QStringList{u"メッセージの送信に失敗しました"_s});
    EXPECT_EQ(controller.log().text(), logged + u"Bob> still here\r\n"_s);

    undelivered(0, u"again"_s); // a later burst is told again
    settle();
    EXPECT_EQ(view.restored.last(), u"again"_s);
    EXPECT_EQ(view.boxes.size(), 2);

    // The room gone: told once, after what was waiting; the roster empties, and what is
    // typed stays in the entry without a box per line.
    const QString ended = u"ルームが終了しました。ホストがいなくなり、ルームを引き継げるメンバーもいません。"
                          u"入力したメッセージは送信されずに入力欄に残ります。"_s;
    service.deliverChat(2, 0, u"bye"_s);
    Q_EMIT service.roomLost();
    Q_EMIT service.roomLost();
    settle();
    QCoreApplication::processEvents();
    EXPECT_TRUE(controller.log().text().endsWith(u"Bob> bye\r\n"_s + ended + u"\r\n"_s));
    EXPECT_EQ(std::pair(view.boxes.size(), view.boxes.last()), std::pair(qsizetype{3}, ended));
    EXPECT_EQ(controller.roster().count(), 0);
    EXPECT_EQ(entry(controller.cmdSend_Click(u"anyone?"_s)), std::tuple(u"anyone?"_s, false, false));
    EXPECT_EQ(view.boxes.size(), 3);
}

} // namespace
