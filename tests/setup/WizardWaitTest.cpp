#include "WizardFixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

// Runs `action` on the first turn of the event loop at which `ready` holds, that is
// inside whatever wait the wizard is in by then.
class DuringWait {
public:
    DuringWait(std::function<bool()> ready, std::function<void()> action)
        : m_ready(std::move(ready)), m_action(std::move(action)) {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            if (m_ready()) {
                m_timer.stop();
                m_done = true;
                m_action();
            }
        });
        m_timer.start(0);
    }
    bool done() const { return m_done; }

private:
    std::function<bool()> m_ready;
    std::function<void()> m_action;
    QTimer m_timer;
    bool m_done = false;
};

} // namespace

// The wizard's waits on the network keep the window responsive, so the user can quit
// or click again while a room is listed or joined.
class WizardWaitTest : public WizardTest {
protected:
    void SetUp() override {
        WizardTest::SetUp();
        useNetwork();
    }
};

// Nothing may touch the released service afterwards (AddressSanitizer catches it).
TEST_F(WizardWaitTest, QuittingDuringAnyWaitEndsTheProgramQuietly) {
    const auto always = [] { return true; };
    const auto playerBeingCreated = [] { return !basGlobal::localPlayerName.isEmpty(); };
    const struct {
        const char* wait;
        bool roomPage;
        QPushButton* frmSet::*button;
        std::function<bool()> ready;
        bool closeBox;
    } cases[] = {
        {"first listing", false, &frmSet::cmdNext, always, false},
        {"refresh", true, &frmSet::cmdRefresh, always, true},
        {"joining", true, &frmSet::cmdJoin, always, false},
        {"creating the joining player", true, &frmSet::cmdJoin, playerBeingCreated, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wait);
        hostRoom(u"ロビー"_s);
        frmSet* wizard = nullptr;
        if (c.roomPage) {
            wizard = &wizardOnRoomPage();
        } else {
            writeSettings("[General]\r\nShowGreet=1\r\n");
            wizard = &loadWizard();
        }
        const DuringWait quit(c.ready, [&] { c.closeBox ? void(wizard->close()) : wizard->cmdExit->click(); });
        (wizard->*c.button)->click();
        EXPECT_TRUE(quit.done());
        EXPECT_EQ(m_endings, QList<int>{0});
        EXPECT_TRUE(m_answerer->boxes.isEmpty()) << m_answerer->seenTexts().join(u' ').toStdString();
        EXPECT_EQ(basGlobal::sessionService, nullptr);
        EXPECT_EQ(basGlobal::localPlayerId, 0);
        EXPECT_FALSE(wizard->isVisible());
        m_otherCopies.clear();
        startOver();
    }
}

TEST_F(WizardWaitTest, ClickDuringAListingIsHandledAfterIt) {
    for (QPushButton* frmSet::*button : {&frmSet::cmdCreate, &frmSet::cmdJoin}) {
        hostRoom(u"ロビー"_s);
        frmSet& wizard = wizardOnRoomPage();
        wizard.txtChatName->setText(u"新しい部屋"_s);
        const DuringWait click([] { return true; }, [&] { (wizard.*button)->click(); });
        wizard.cmdRefresh->click();
        EXPECT_TRUE(click.done());
        EXPECT_TRUE(m_answerer->boxes.isEmpty()) << m_answerer->seenTexts().join(u' ').toStdString();
        EXPECT_FALSE(wizard.isVisible());
        EXPECT_NE(basGlobal::localPlayerId, 0);
        EXPECT_EQ(basGlobal::roomName, button == &frmSet::cmdJoin ? u"ロビー"_s : u"新しい部屋"_s);
        m_otherCopies.clear();
        startOver();
    }
}
