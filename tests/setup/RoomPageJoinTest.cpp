#include "WizardFixture.h"

#include <QLineEdit>
#include <QPushButton>

using namespace Qt::StringLiterals;

// A failed player creation leaves the room by restarting the service; the rooms the
// page still shows must be joinable at the first try.
TEST_F(WizardTest, AfterAFailedPlayerTheNextJoinWorksAtOnce) {
    for (QPushButton* frmSet::*failing : {&frmSet::cmdCreate, &frmSet::cmdJoin}) {
        hostRoom(u"ロビー"_s);
        m_configure = [](FakeSessionService& service) { service.createPlayerError = session::Error{5, u"refused"_s}; };
        frmSet& wizard = wizardOnRoomPage();
        (wizard.*failing)->click();
        m_configure = nullptr;
        currentService()->createPlayerError.reset();
        wizard.cmdJoin->click();
        EXPECT_EQ(m_answerer->boxes.size(), 1) << m_answerer->seenTexts().join(u' ').toStdString();
        EXPECT_EQ(basGlobal::roomName, u"ロビー"_s);
        EXPECT_NE(basGlobal::localPlayerId, 0);
        m_otherCopies.clear();
        startOver();
    }
}

// The password box may hold a password meant for another room.
TEST_F(WizardTest, RoomWithoutPasswordIsJoinedWhateverThePasswordBoxHolds) {
    useNetwork();
    hostRoom(u"ロビー"_s);
    frmSet& wizard = wizardOnRoomPage();
    wizard.txtChatPass->setText(u"ひらけごま"_s);
    wizard.cmdJoin->click();
    EXPECT_EQ(m_answerer->seenTexts(), QStringList());
    EXPECT_NE(basGlobal::localPlayerId, 0);
}
