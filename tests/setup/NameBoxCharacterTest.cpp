#include "WizardFixture.h"

#include <QLineEdit>

using namespace Qt::StringLiterals;

// A commit crossing the 25-character limit keeps whole characters; the name is stored
// as shown.
TEST_F(WizardTest, TheNameLimitNeverSplitsACharacter) {
    const QString start(23, u'あ');
    for (const auto& [commit, kept] : {std::pair{u"い😀"_s, start + u"い"_s}, {u"😀"_s, start + u"😀"_s}}) {
        startOver();
        writeSettings("[General]\r\nShowGreet=1\r\n");
        frmSet& wizard = loadWizard();
        wizard.txtYourName->clear();
        commitText(wizard.txtYourName, start + commit);
        EXPECT_EQ(wizard.txtYourName->text(), kept);
        wizard.cmdNext_Click();
        EXPECT_EQ(setting(u"Player"_s), kept);
    }
}
