#include "WizardFixture.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

using namespace Qt::StringLiterals;

// A player creation that fails leaves the room again by restarting the service; the
// rooms on the page must still be joinable at the first try.
TEST_F(WizardTest, AfterAFailedPlayerTheNextJoinWorksAtOnce) {
    for (QPushButton* frmSet::*failing : {&frmSet::cmdCreate, &frmSet::cmdJoin}) {
        hostRoom(u"ロビー"_s);
        m_configure = [](FakeSessionService& service) { service.createPlayerError = session::Error{5, u"refused"_s}; };
        frmSet& wizard = wizardOnRoomPage();
        (wizard.*failing)->click();
        ASSERT_EQ(m_answerer->boxes.size(), 1);
        m_configure = nullptr;
        currentService()->createPlayerError.reset();

        wizard.cmdJoin->click();
        EXPECT_EQ(m_answerer->boxes.size(), 1) << m_answerer->seenTexts().join(u' ').toStdString();
        EXPECT_FALSE(wizard.isVisible());
        EXPECT_EQ(basGlobal::roomName, u"ロビー"_s);
        EXPECT_NE(basGlobal::localPlayerId, 0);
        m_otherCopies.clear();
        startOver();
    }
}

class OpenRoomTest : public WizardTest {
protected:
    void SetUp() override {
        WizardTest::SetUp();
        useNetwork();
    }
};

// The password box may hold a password meant for another room.
TEST_F(OpenRoomTest, RoomWithoutPasswordIsJoinedWhateverThePasswordBoxHolds) {
    hostRoom(u"ロビー"_s);
    frmSet& wizard = wizardOnRoomPage();
    commitText(wizard.txtChatPass, u"ひらけごま"_s);
    wizard.cmdRefresh->click();
    ASSERT_EQ(wizard.lstSessions->count(), 1);
    wizard.cmdJoin->click();
    EXPECT_TRUE(m_answerer->boxes.isEmpty()) << m_answerer->seenTexts().join(u' ').toStdString();
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_NE(basGlobal::localPlayerId, 0);
}
