#include "WizardFixture.h"
#include "common/TestSupport.h"
#include "setup/basGlobal.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QStringList entries(const QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts.append(list->item(i)->text());
    return texts;
}

frmMain* openChatWindow() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* chat = qobject_cast<frmMain*>(window); chat != nullptr && chat->isVisible())
            return chat;
    return nullptr;
}

// The wizard's page while it shows (-1 once it has gone) and whether the session has
// a local player.
std::pair<int, bool> stage(const frmSet& wizard) {
    return {wizard.isVisible() ? wizard.page() : -1, basGlobal::localPlayerId != 0};
}

} // namespace

// The listing and joining flows run against the network service, with rooms hosted on
// loopback by other service instances; failures are injected into the in-memory one.
class RoomPageTest : public WizardTest {
protected:
    void SetUp() override {
        WizardTest::SetUp();
        useNetwork();
    }
};

TEST_F(RoomPageTest, PasswordRoomIsListedAndJoinedOnlyWithItsPassword) {
    hostRoom(u"秘密の部屋"_s, u"ひらけごま"_s);
    frmSet& wizard = wizardOnRoomPage(u"訪問者"_s);
    EXPECT_EQ(wizard.lstSessions->count(), 0);
    EXPECT_FALSE(wizard.cmdJoin->isEnabled());

    commitText(wizard.txtChatPass, u"ひらけごま"_s);
    QTest::mouseClick(wizard.cmdRefresh, Qt::LeftButton);
    ASSERT_EQ(entries(wizard.lstSessions), QStringList{u"秘密の部屋"_s});
    EXPECT_EQ(wizard.lstSessions->currentRow(), 0);
    EXPECT_TRUE(wizard.lstSessions->item(0)->isSelected());
    EXPECT_TRUE(wizard.cmdJoin->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // A wrong password is refused by the host; the list is made again with it.
    wizard.txtChatPass->clear();
    QTest::keyClicks(wizard.txtChatPass, u"wrong"_s);
    EXPECT_EQ(wizard.txtChatPass->displayText(), u"*****"_s);
    QTest::mouseClick(wizard.cmdJoin, Qt::LeftButton);
    EXPECT_EQ(m_answerer->seenTexts(), QStringList{u"セッションへの参加に失敗しました"_s});
    EXPECT_EQ(wizard.lstSessions->count(), 0);
    EXPECT_EQ(stage(wizard), std::pair(2, false));

    frmMain::followWizard(wizard);
    wizard.txtChatName->setText(u"別の名前"_s);
    wizard.txtChatPass->setText(u"ひらけごま"_s);
    wizard.cmdRefresh_Click();
    QTest::mouseClick(wizard.cmdJoin, Qt::LeftButton);
    EXPECT_EQ(m_answerer->boxes.size(), 1);
    EXPECT_EQ(stage(wizard), std::pair(-1, true));
    EXPECT_EQ(basGlobal::roomName, u"秘密の部屋"_s);
    EXPECT_EQ(basGlobal::localPlayerName, u"訪問者"_s);
    EXPECT_EQ(setting(u"Room"_s), u"別の名前"_s) << "Join stores the new-room box";
    ASSERT_NE(openChatWindow(), nullptr);
    EXPECT_EQ(openChatWindow()->windowTitle(), u"Mirelune - [秘密の部屋]"_s);
}

TEST_F(RoomPageTest, NoRoomDisablesJoinAndCreateStillWorks) {
    frmSet& wizard = wizardOnRoomPage(u"主催者"_s);
    EXPECT_EQ(wizard.lstSessions->count(), 0);
    EXPECT_FALSE(wizard.cmdJoin->isEnabled());

    frmMain::followWizard(wizard);
    wizard.txtChatName->setText(u"新しい部屋"_s);
    QTest::mouseClick(wizard.cmdCreate, Qt::LeftButton);
    EXPECT_TRUE(m_answerer->boxes.isEmpty());
    EXPECT_EQ(stage(wizard), std::pair(-1, true));
    EXPECT_EQ(basGlobal::roomName, u"新しい部屋"_s);
    EXPECT_EQ(basGlobal::localPlayerName, u"主催者"_s);
    EXPECT_NE(basGlobal::eventHandle, 0);
    EXPECT_EQ(setting(u"Room"_s), u"新しい部屋"_s);
    frmMain* chat = openChatWindow();
    ASSERT_NE(chat, nullptr);
    EXPECT_EQ(chat->windowTitle(), u"Mirelune - [新しい部屋]"_s);
    EXPECT_EQ(roomsSeenByAnotherCopy(), QStringList{u"新しい部屋"_s});

    // Closing the chat window leaves the room and ends the program.
    chat->close();
    EXPECT_EQ(m_endings, QList<int>{0});
    EXPECT_EQ(basGlobal::sessionService, nullptr);
    EXPECT_TRUE(testsupport::waitUntil([this] { return roomsSeenByAnotherCopy().isEmpty(); }));
}

TEST_F(WizardTest, FailedHostPlayerLeavesNoRoomAndAllowsAnotherTry) {
    m_configure = [](FakeSessionService& service) {
        service.createPlayerError = session::Error{session::kErrorInvalidPlayer, u"invalid player"_s};
    };
    frmSet& wizard = wizardOnRoomPage();
    wizard.txtChatName->setText(u"不運な部屋"_s);
    QTest::mouseClick(wizard.cmdCreate, Qt::LeftButton);
    EXPECT_EQ(m_answerer->seenTexts(), (QStringList{u"ホストプレーヤーの作成に失敗しました"_s, u"INVALIDPLAYER"_s}));
    EXPECT_EQ(stage(wizard), std::pair(2, false));
    EXPECT_TRUE(roomsSeenByAnotherCopy().isEmpty());

    m_configure = nullptr;
    currentService()->createPlayerError.reset();
    frmMain::followWizard(wizard);
    wizard.cmdCreate_Click();
    EXPECT_EQ(m_answerer->boxes.size(), 2);
    EXPECT_EQ(stage(wizard), std::pair(-1, true));
    EXPECT_EQ(roomsSeenByAnotherCopy(), QStringList{u"不運な部屋"_s});
}

TEST_F(WizardTest, FailedJoiningPlayerLeavesTheRoomPage) {
    hostRoom(u"ロビー"_s);
    m_configure = [](FakeSessionService& service) { service.createPlayerError = session::Error{5, u"refused"_s}; };
    frmSet& wizard = wizardOnRoomPage();
    wizard.cmdJoin_Click();
    EXPECT_EQ(m_answerer->seenTexts(), QStringList{u"プレーヤーの作成に失敗しました"_s});
    EXPECT_EQ(stage(wizard), std::pair(2, false));
    EXPECT_NE(basGlobal::sessionService, nullptr);
}

TEST_F(WizardTest, ListingWaitsUnderTheBusyCursorAndAsksWithTheTypedPassword) {
    hostRoom(u"秘密の部屋"_s, u"ひらけごま"_s);
    frmSet& wizard = wizardOnRoomPage(u"訪問者"_s);
    commitText(wizard.txtChatPass, u"ひらけごま"_s);
    wizard.cmdRefresh_Click();
    EXPECT_EQ(currentService()->listedWithPasswords, (QStringList{QString(), u"ひらけごま"_s}));
    EXPECT_EQ(m_cursorWhileListing, (QList<Qt::CursorShape>{Qt::ArrowCursor, Qt::WaitCursor}));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    wizard.cmdJoin_Click();
    EXPECT_EQ(currentService()->secondNames, QStringList{u"Player"_s});
}
