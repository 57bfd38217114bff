// Lines that never reached the room go back into the chat window's entry, in front of
// what was typed since, which stays with its caret.
#include "common/BoxAnswerer.h"
#include "common/FakeSessionService.h"
#include "common/TestSupport.h"
#include "setup/basGlobal.h"
#include "window/frmMain.h"

#include <QPlainTextEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTextCursor>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

TEST(UndeliveredEntry, LinesThatDidNotGoOutComeBackInFrontOfWhatWasTypedSince) {
    const QTemporaryDir dir;
    basGlobal::settingsPath = dir.filePath(u"Mirelune.ini"_s);
    basGlobal::endProgramHook = [](int) {};
    auto owned = std::make_unique<testsupport::FakeSessionService>();
    testsupport::FakeSessionService& service = *owned;
    service.players = {{1, u"太郎"_s}, {2, u"花子"_s}};
    basGlobal::sessionService = std::move(owned);
    basGlobal::RegisterEventReceiver();
    basGlobal::localPlayerId = *service.createLocalPlayer(u"太郎"_s, u"Player"_s, basGlobal::eventHandle, 0);
    basGlobal::localPlayerName = u"太郎"_s;
    basGlobal::roomName = u"部屋"_s;
    QPointer<frmMain> window = new frmMain;
    window->setProgramFolder(dir.path());
    window->Form_Load();
    window->show();

    window->txtEntry->setPlainText(u"いま書いている"_s);
    QTextCursor caret = window->txtEntry->textCursor();
    caret.setPosition(2);
    window->txtEntry->setTextCursor(caret);

    testsupport::BoxAnswerer answerer;
    for (const QString& text : {u"さっきの行"_s, u"二行の\r\nメッセージ"_s}) {
        service.deliverChat(1, 0, text);
        service.queue.last().undelivered = true;
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return !answerer.boxes.isEmpty() && service.queue.isEmpty(); }));
    EXPECT_EQ(window->txtEntry->toPlainText(), u"さっきの行\n二行の\nメッセージ\nいま書いている"_s);
    EXPECT_EQ(window->txtEntry->textCursor().position(), 18);
    EXPECT_EQ(answerer.seenTexts(), QStringList{u"メッセージの送信に失敗しました"_s});

    delete window;
    basGlobal::ResetSessionState();
}

} // namespace
