#include "WizardFixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

using namespace Qt::StringLiterals;

// The wizard's network waits keep the window responsive: the user may quit or click
// again meanwhile. Every case runs against a room hosted on loopback.
class WizardWaitTest : public WizardTest {
protected:
    void SetUp() override {
        WizardTest::SetUp();
        useNetwork();
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

TEST_F(WizardWaitTest, ClickDuringAListingIsHandledAfterIt) {
    for (QPushButton* frmSet::*button : {&frmSet::cmdCreate, &frmSet::cmdJoin}) {
        frmSet& wizard = wizardOnRoomPage();
        during([] { return true; }, [&] { (wizard.*button)->click(); });
        wizard.cmdRefresh->click();
        EXPECT_EQ(m_answerer->seenTexts(), QStringList());
        EXPECT_EQ(basGlobal::roomName, button == &frmSet::cmdJoin ? u"ロビー"_s : u"MyChatRoom"_s);
        EXPECT_NE(basGlobal::localPlayerId, 0);
        startOver();
    }
}
