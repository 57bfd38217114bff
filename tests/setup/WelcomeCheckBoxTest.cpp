#include "WizardFixture.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

using namespace Qt::StringLiterals;

// A greyed box (ShowGreet=2 in the file) shows greyed, but clicks only tick or clear it.
TEST_F(WizardTest, WelcomeBoxClicksOnlyTickAndClear) {
    writeSettings("[General]\r\nShowGreet=2\r\n");
    frmSet& wizard = loadWizard();
    ASSERT_EQ(wizard.chkViewOff->checkState(), Qt::PartiallyChecked);
    QList<Qt::CheckState> states;
    for (int click = 0; click < 3; ++click) {
        QTest::mouseClick(wizard.chkViewOff, Qt::LeftButton);
        states.append(wizard.chkViewOff->checkState());
    }
    EXPECT_EQ(states, (QList<Qt::CheckState>{Qt::Checked, Qt::Unchecked, Qt::Checked}));
    wizard.cmdNext->click();
    EXPECT_EQ(setting(u"ShowGreet"_s), u"1"_s);
}
