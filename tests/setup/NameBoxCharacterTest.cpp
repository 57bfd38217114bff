#include "WizardFixture.h"

#include <QLineEdit>

using namespace Qt::StringLiterals;

// A commit that crosses the 25-character limit keeps only whole characters, and the
// name is stored as shown.
TEST_F(WizardTest, TheNameLimitNeverSplitsACharacter) {
    const QString start = QString(23, u'あ');
    const struct {
        QString commit;
        QString kept;
    } rows[] = {
        {u"い😀"_s, start + u"い"_s}, // the emoji would end at 26
        {u"😀"_s, start + u"😀"_s},    // ends exactly at 25
    };
    for (const auto& row : rows) {
        startOver();
        writeSettings("[General]\r\nShowGreet=1\r\n");
        frmSet& wizard = loadWizard();
        wizard.txtYourName->clear();
        commitText(wizard.txtYourName, start);
        commitText(wizard.txtYourName, row.commit);
        EXPECT_EQ(wizard.txtYourName->text(), row.kept);
        wizard.cmdNext_Click();
        EXPECT_EQ(setting(u"Player"_s), row.kept);
    }
}
