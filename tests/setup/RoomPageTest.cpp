#include "WizardFixture.h"
#include "common/TestSupport.h"
#include "setup/basGlobal.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

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
        m_network = true;
        WizardTest::SetUp();
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

// A failed player creation keeps the room page and leaves the room by restarting the
// service: no room is left behind, and the rooms the page still shows are joined at
// the first try.
TEST_F(WizardTest, AfterAFailedPlayerNoRoomIsLeftAndTheNextJoinWorksAtOnce) {
    const std::pair<QPushButton * frmSet::*, QStringList> rows[] = {
        {&frmSet::cmdCreate, {u"ホストプレーヤーの作成に失敗しました"_s, u"INVALIDPLAYER"_s}},
        {&frmSet::cmdJoin, {u"プレーヤーの作成に失敗しました"_s}}};
    for (const auto& [failing, told] : rows) {
        hostRoom(u"ロビー"_s);
        m_configure = [](FakeSessionService& service) {
            service.createPlayerError = session::Error{session::kErrorInvalidPlayer, u"invalid player"_s};
        };
        frmSet& wizard = wizardOnRoomPage();
        wizard.txtChatName->setText(u"不運な部屋"_s);
        (wizard.*failing)->click();
        EXPECT_EQ(m_answerer->seenTexts(), told);
        EXPECT_EQ(stage(wizard), std::pair(2, false));
        EXPECT_EQ(roomsSeenByAnotherCopy(), QStringList{u"ロビー"_s});
        m_configure = nullptr;
        currentService()->createPlayerError.reset();
        frmMain::followWizard(wizard);
        wizard.cmdJoin->click();
        EXPECT_EQ(m_answerer->seenTexts(), told);
        EXPECT_EQ(stage(wizard), std::pair(-1, true));
        EXPECT_EQ(basGlobal::roomName, u"ロビー"_s);
        ASSERT_NE(openChatWindow(), nullptr);
        startOver();
    }
}

// The wizard's network waits keep the window responsive: the user may quit or click
// again meanwhile. Every case runs against a room hosted on loopback.
class WizardWaitTest : public RoomPageTest {
protected:
    void SetUp() override {
        RoomPageTest::SetUp();
        m_otherCopies.clear();
        hostRoom(u"ロビー"_s);
    }
    // Runs `action` on the first turn of the event loop at which `ready` holds.
    void during(std::function<bool()> ready, std::function<void()> action) {
        m_timer = std::make_unique<QTimer>();
        QObject::connect(m_timer.get(), &QTimer::timeout, m_timer.get(), [this, ready, action] {
            if (ready()) {
                m_timer->stop();
                action();
            }
        });
        m_timer->start(0);
    }
    std::unique_ptr<QTimer> m_timer;
};

// Nothing may touch the released service afterwards (AddressSanitizer catches it).
TEST_F(WizardWaitTest, QuittingDuringAnyWaitEndsTheProgramQuietly) {
    const auto creatingPlayer = [] { return !basGlobal::localPlayerName.isEmpty(); };
    const struct {
        const char* wait;
        QPushButton* frmSet::*button;
        std::function<bool()> ready;
    } cases[] = {{"first listing", &frmSet::cmdNext, [] { return true; }},
                 {"refresh", &frmSet::cmdRefresh, [] { return true; }},
                 {"joining", &frmSet::cmdJoin, [] { return true; }},
                 {"creating the joining player", &frmSet::cmdJoin, creatingPlayer}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wait);
        writeSettings("[General]\r\nShowGreet=1\r\n");
        frmSet* wizard = c.button == &frmSet::cmdNext ? &loadWizard() : &wizardOnRoomPage();
        during(c.ready, [&] { c.button == &frmSet::cmdJoin ? void(wizard->close()) : wizard->cmdExit->click(); });
        (wizard->*c.button)->click();
        EXPECT_EQ(m_endings, QList<int>{0});
        EXPECT_EQ(m_answerer->seenTexts(), QStringList());
        EXPECT_EQ(basGlobal::sessionService, nullptr);
        startOver();
    }
}

// The password box may hold a password meant for another room: a room without one is
// joined all the same.
TEST_F(WizardWaitTest, ClickDuringAListingIsHandledAfterIt) {
    for (QPushButton* frmSet::*button : {&frmSet::cmdCreate, &frmSet::cmdJoin}) {
        frmSet& wizard = wizardOnRoomPage();
        wizard.txtChatPass->setText(u"ひらけごま"_s);
        during([] { return true; }, [&] { (wizard.*button)->click(); });
        wizard.cmdRefresh->click();
        EXPECT_EQ(m_answerer->seenTexts(), QStringList());
        EXPECT_EQ(basGlobal::roomName, button == &frmSet::cmdJoin ? u"ロビー"_s : u"MyChatRoom"_s);
        EXPECT_NE(basGlobal::localPlayerId, 0);
        startOver();
    }
}
