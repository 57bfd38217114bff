#include "ChatWindowFixture.h"
#include "common/TestSupport.h"
#include "setup/basGlobal.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QStringList items(const QComboBox* box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i) {
        list.append(box->itemText(i));
    }
    return list;
}

} // namespace

TEST_F(ChatWindowTest, LoadAppliesTheSettingsAndListsTheSounds) {
    writeSettings("[General]\r\nLog=2\r\nStyle=1\r\n[Custom]\r\nEasySound=3\r\nLogFColor=000000FF\r\n"
                  "LogBColor=00FF0000\r\nLogFontSize=14\r\n");
    addSounds({u"b.wav"_s, u"a.WAV"_s, u"c.wav"_s, u"notes.txt"_s});
    frmMain& window = openWindow();

    EXPECT_EQ(window.windowTitle(), u"Mirelune - [MyChatRoom]"_s);
    EXPECT_EQ(window.chkLog->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(window.chkBTStyle->checkState(), Qt::Checked);
    EXPECT_TRUE(window.menuArea().menusHidden());
    for (QWidget* panel : window.picRgn) {
        EXPECT_FALSE(panel->isVisible());
    }
    EXPECT_EQ(window.txtLog->x(), 27); // 400 twips
    EXPECT_TRUE(window.easySound());
    EXPECT_EQ(window.txtLog->palette().color(QPalette::Text), QColor(255, 0, 0));
    EXPECT_EQ(window.txtLog->palette().color(QPalette::Base), QColor(0, 0, 255));
    EXPECT_EQ(window.txtLog->font().pointSize(), 14);

    EXPECT_EQ(items(window.cmbSndScript), (QStringList{u"0"_s, u"1"_s, u"2"_s}));
    EXPECT_EQ(window.cmbSndScript->currentIndex(), 0);
    EXPECT_TRUE(window.cmdInsSnd->isEnabled());
    EXPECT_EQ(window.cmbFaceMark->count(), 17);
    EXPECT_EQ(window.cmbFaceMark->currentText(), u"(^_^)"_s);
    ASSERT_EQ(window.lstRoster->count(), 2);
    EXPECT_EQ(window.lstRoster->item(1)->text(), u"花子"_s);
    EXPECT_EQ(window.lstRoster->item(1)->data(Qt::UserRole).toInt(), 2);
    EXPECT_FALSE(window.cmdWhisper->isEnabled());
    EXPECT_FALSE(window.sounds().messageSound().isEmpty());
}

TEST_F(ChatWindowTest, UnusableSettingsAndNoSoundsLeaveTheDesign) {
    writeSettings("[General]\r\nLog=abc\r\nStyle=3\r\n[Custom]\r\nEasySound=x\r\nLogFColor=&H000000FF\r\n"
                  "LogFontSize=300\r\nLogFontName=$$$Nothing$$$\r\n");
    // A folder spelt "sounds" is not the Sounds folder; neither is one without WAV files.
    QDir().mkpath(m_programFolder + u"/sounds"_s);
    testsupport::writeAll(m_programFolder + u"/sounds/a.wav"_s, "RIFF");
    testsupport::BoxAnswerer noBoxExpected;
    frmMain reference;
    frmMain& window = openWindow();

    EXPECT_EQ(window.chkLog->checkState(), Qt::Unchecked);
    EXPECT_EQ(window.chkBTStyle->checkState(), Qt::Unchecked);
    EXPECT_FALSE(window.menuArea().menusHidden());
    EXPECT_TRUE(window.picRgn[0]->isVisible());
    EXPECT_FALSE(window.easySound());
    EXPECT_EQ(window.txtLog->palette().color(QPalette::Text), window.palette().color(QPalette::WindowText));
    EXPECT_EQ(window.txtLog->font(), reference.txtLog->font());
    EXPECT_FALSE(window.cmbSndScript->isEnabled());
    EXPECT_FALSE(window.cmdInsSnd->isEnabled());
    EXPECT_EQ(window.cmbSndScript->palette().color(QPalette::Base), window.palette().color(QPalette::Button));
    EXPECT_TRUE(noBoxExpected.boxes.isEmpty());
}

TEST_F(ChatWindowTest, AnsweringNoLeavesEverythingAsItWas) {
    writeSettings("[General]\r\nLog=1\r\n");
    frmMain& window = openWindow();
    window.txtEntry->setPlainText(u"hello"_s);
    window.cmdSend_Click();
    const QByteArray settingsBefore = settingsBytes();

    QList<testsupport::SeenBox> seen;
    EXPECT_FALSE(closeWindow({kNo}, &seen));
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen[0].title, u"Mirelune - Quit"_s);
    EXPECT_EQ(seen[0].text, u"終了しますか？"_s);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.txtLog->toPlainText(), u"太郎> hello"_s);
    EXPECT_EQ(settingsBytes(), settingsBefore);
    EXPECT_TRUE(savedLogs().isEmpty());
    EXPECT_FALSE(m_endedWith.has_value());
    EXPECT_NE(basGlobal::sessionService, nullptr);
}

TEST_F(ChatWindowTest, AnsweringYesSavesTheLogOnlyWhenTickedAndWritesTheOptions) {
    const struct {
        const char* stored;
        Qt::CheckState click; // the state the user leaves chkLog in
        const char* logWritten;
        bool saved;
    } cases[] = {
        {"0", Qt::Unchecked, "0", false},
        {"0", Qt::Checked, "1", true},
        {"2", Qt::PartiallyChecked, "2", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        TearDown();
        SetUp();
        writeSettings("[General]\r\nLog=" + QByteArray(c.stored) + "\r\nStyle=2\r\n");
        frmMain& window = openWindow();
        window.chkLog->setCheckState(c.click);
        window.txtEntry->setPlainText(u"こんにちは"_s);
        window.cmdSend_Click();

        EXPECT_TRUE(closeWindow({kYes}));
        const QString settings = QString::fromUtf8(settingsBytes());
        EXPECT_TRUE(settings.contains(u"Log="_s + QLatin1StringView(c.logWritten)));
        EXPECT_TRUE(settings.contains(u"Style=2"_s));
        EXPECT_EQ(m_endedWith, 0);
        EXPECT_EQ(basGlobal::sessionService, nullptr);
        const QStringList files = savedLogs();
        if (c.saved) {
            ASSERT_EQ(files.size(), 1);
            EXPECT_TRUE(QRegularExpression(u"^\\d{14}\\.txt$"_s).match(files[0]).hasMatch());
            EXPECT_EQ(testsupport::readAll(m_workFolder + u'/' + files[0]),
                      QStringLiteral("太郎> こんにちは\r\n\r\n").toUtf8());
        } else {
            EXPECT_TRUE(files.isEmpty());
        }
    }
}

TEST_F(ChatWindowTest, ALogThatCannotBeSavedIsNotLostSilently) {
    writeSettings("[General]\r\nLog=1\r\n");
    frmMain& window = openWindow();
    window.txtEntry->setPlainText(u"keep me"_s);
    window.cmdSend_Click();
    // Folders in the way of every name the log could get in the next minute.
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = 0; s < 60; ++s) {
        QDir(m_workFolder).mkdir(now.addSecs(s).toString(u"yyyyMMddHHmmss"_s) + u".txt"_s);
    }
    const QByteArray settingsBefore = settingsBytes();

    QList<testsupport::SeenBox> seen;
    EXPECT_FALSE(closeWindow({kYes, kNo}, &seen));
    ASSERT_EQ(seen.size(), 2);
    EXPECT_TRUE(seen[1].text.contains(m_workFolder));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.txtLog->toPlainText(), u"太郎> keep me"_s);
    EXPECT_EQ(settingsBytes(), settingsBefore);
    EXPECT_FALSE(m_endedWith.has_value());

    EXPECT_TRUE(closeWindow({kYes, kYes}));
    EXPECT_EQ(m_endedWith, 0);
    EXPECT_TRUE(QString::fromUtf8(settingsBytes()).contains(u"Log=1"_s));
}

TEST_F(ChatWindowTest, AClickOnlyTicksOrClearsAnOptionGreyedByTheFile) {
    writeSettings("[General]\r\nLog=2\r\n");
    frmMain& window = openWindow();
    window.lblMenus_MouseUp(2, 1);
    ASSERT_EQ(window.chkLog->checkState(), Qt::PartiallyChecked);
    QTest::mouseClick(window.chkLog, Qt::LeftButton);
    EXPECT_EQ(window.chkLog->checkState(), Qt::Checked);
    QTest::mouseClick(window.chkLog, Qt::LeftButton);
    EXPECT_EQ(window.chkLog->checkState(), Qt::Unchecked);
    QTest::mouseClick(window.chkLog, Qt::LeftButton);
    EXPECT_EQ(window.chkLog->checkState(), Qt::Checked);
}
