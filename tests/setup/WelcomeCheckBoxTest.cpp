#include "WizardFixture.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

using namespace Qt::StringLiterals;

// A box greyed by ShowGreet=2 shows grey, but clicks only tick or clear it.
TEST_F(WizardTest, WelcomeBoxClicksOnlyTickAndClear) {
    writeSettings("[General]\r\nShowGreet=2\r\n");
    frmSet& wizard = loadWizard();
    QList<Qt::CheckState> states{wizard.chkViewOff->checkState()};
    for (int click = 0; click < 3; ++click) {
        QTest::mouseClick(wizard.chkViewOff, Qt::LeftButton);
        states.append(wizard.chkViewOff->checkState());
    }
    EXPECT_EQ(states, (QList<Qt::CheckState>{Qt::PartiallyChecked, Qt::Checked, Qt::Unchecked, Qt::Checked}));
    wizard.cmdNext->click();
    EXPECT_EQ(setting(u"ShowGreet"_s), u"1"_s);
}
