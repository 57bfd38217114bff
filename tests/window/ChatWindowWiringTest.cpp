#include "ChatWindowFixture.h"
#include "common/TestSupport.h"
#include "window/ClickLabel.h"
#include "window/PictureButton.h"

#include <QApplication>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QList<int> visiblePanels(const frmMain& window) {
    QList<int> visible;
    for (int i = 0; i < 4; ++i) {
        if (window.picRgn[static_cast<std::size_t>(i)]->isVisible()) {
            visible.append(i);
        }
    }
    return visible;
}

void releaseKey(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers, bool autoRepeat = false) {
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, QString(), autoRepeat);
    QApplication::sendEvent(target, &release);
}

int caret(const frmMain& window) {
    return window.txtEntry->textCursor().position();
}

} // namespace

TEST_F(ChatWindowTest, SendingReachesTheSessionAndTheLog) {
    frmMain& window = openWindow();
    window.txtEntry->setPlainText(u"hello"_s);
    QTest::mouseClick(window.picSend->clickArea, Qt::LeftButton);
    ASSERT_EQ(m_service->sent.size(), 1);
    EXPECT_EQ(m_service->sent[0].to, 0);
    EXPECT_EQ(m_service->sent[0].text, u"hello"_s);
    EXPECT_EQ(window.txtLog->toPlainText(), u"太郎> hello"_s);
    EXPECT_TRUE(window.txtEntry->toPlainText().isEmpty());

    // Enter breaks the line, Ctrl+Enter sends (the break going out as CR LF).
    window.txtEntry->setFocus();
    QTest::keyClicks(window.txtEntry, u"a"_s);
    QTest::keyClick(window.txtEntry, Qt::Key_Return);
    QTest::keyClicks(window.txtEntry, u"b"_s);
    EXPECT_EQ(window.txtEntry->toPlainText(), u"a\nb"_s);
    QTest::keyClick(window.txtEntry, Qt::Key_Return, Qt::ControlModifier);
    ASSERT_EQ(m_service->sent.size(), 2);
    EXPECT_EQ(m_service->sent[1].text, u"a\r\nb"_s);

    // Not while an input method is composing.
    QInputMethodEvent composing(u"にほ"_s, {});
    QApplication::sendEvent(window.txtEntry, &composing);
    QTest::keyClick(window.txtEntry, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(m_service->sent.size(), 2);

    // What arrives is shown, newest line last and in view.
    m_service->deliverChat(2, 0, u"やあ"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->toPlainText().endsWith(u"花子> やあ"_s); }));
    EXPECT_EQ(window.txtLog->textCursor().position(), window.txtLog->toPlainText().size());
}

TEST_F(ChatWindowTest, PrivateSendFollowsTheRosterSelection) {
    frmMain& window = openWindow();
    window.lstRoster->setCurrentRow(1);
    EXPECT_TRUE(window.cmdWhisper->isEnabled());
    window.txtEntry->setPlainText(u"psst"_s);
    QTest::mouseClick(window.cmdWhisper, Qt::LeftButton);
    ASSERT_EQ(m_service->sent.size(), 1);
    EXPECT_EQ(m_service->sent[0].to, 2);
    EXPECT_EQ(m_service->sent[0].kind, 1);
    EXPECT_EQ(window.txtLog->toPlainText(), u"太郎 to 花子> psst"_s);

    window.lstRoster->setCurrentRow(0);
    EXPECT_FALSE(window.cmdWhisper->isEnabled());

    // A join rebuilds the roster and clears the selection.
    window.lstRoster->setCurrentRow(1);
    m_service->players.append({3, u"三郎"_s});
    m_service->deliverSystem(session::kSystemPlayerJoined, 3);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.lstRoster->count() == 3; }));
    EXPECT_FALSE(window.cmdWhisper->isEnabled());
    EXPECT_TRUE(window.txtLog->toPlainText().endsWith(u"三郎 さんが参加しました"_s));
}

TEST_F(ChatWindowTest, PictureButtonsPressAndReleaseTheirFrame) {
    frmMain& window = openWindow();
    window.txtEntry->setPlainText(u"hello"_s);
    window::PictureButton* send = window.picSend;
    EXPECT_EQ(send->lines[0]->colour(), QColor(255, 255, 255));
    EXPECT_EQ(send->lines[2]->colour(), QColor(64, 64, 64));

    QTest::mousePress(send->clickArea, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(send->lines[0]->colour(), QColor(64, 64, 64));
    EXPECT_EQ(send->lines[1]->colour(), QColor(64, 64, 64));
    EXPECT_EQ(send->lines[2]->colour(), QColor(255, 255, 255));
    EXPECT_EQ(send->lines[3]->colour(), QColor(255, 255, 255));
    // Released outside: the raised frame again, and nothing is sent.
    QTest::mouseRelease(send->clickArea, Qt::LeftButton, {}, QPoint(-40, 10));
    EXPECT_FALSE(send->looksPressed());
    EXPECT_TRUE(m_service->sent.isEmpty());
    EXPECT_EQ(window.txtEntry->toPlainText(), u"hello"_s);

    // A right click presses the frame too but does not send.
    QTest::mouseClick(send->clickArea, Qt::RightButton);
    EXPECT_TRUE(m_service->sent.isEmpty());

    // Exit asks before closing; No keeps the window.
    testsupport::BoxAnswerer answerer({kNo});
    QTest::mouseClick(window.picExit->clickArea, Qt::LeftButton);
    EXPECT_EQ(answerer.boxes.size(), 1);
    EXPECT_TRUE(window.isVisible());
}

TEST_F(ChatWindowTest, TabsSwitchPanelsAndHideTheMenuArea) {
    frmMain& window = openWindow();
    EXPECT_EQ(visiblePanels(window), QList<int>{0});

    QTest::mouseClick(window.lblMenus[2], Qt::LeftButton);
    EXPECT_EQ(visiblePanels(window), QList<int>{2});
    EXPECT_EQ(window.imgSelect->y(), 125); // 1875 twips

    QTest::mouseClick(window.lblMenus[1], Qt::RightButton);
    EXPECT_TRUE(window.menuArea().menusHidden());
    EXPECT_TRUE(visiblePanels(window).isEmpty());
    EXPECT_EQ(window.picButtons->x(), 0);
    EXPECT_EQ(window.txtLog->x(), 27); // 400 twips

    QTest::mouseClick(window.imgHide, Qt::LeftButton);
    EXPECT_FALSE(window.menuArea().menusHidden());
    EXPECT_EQ(visiblePanels(window), QList<int>{2});
    EXPECT_EQ(window.picButtons->x(), 149); // 2240 twips
    EXPECT_EQ(window.txtLog->x(), 176);     // 2640 twips
}

TEST_F(ChatWindowTest, ResizingArrangesTheControlsAndStopsWhenTooSmall) {
    frmMain& window = openWindow();
    window.resize(600, 400); // 9000 x 6000 twips
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->width() == 415; }));
    EXPECT_EQ(window.txtLog->geometry(), QRect(176, 48, 415, 299));
    EXPECT_EQ(window.txtEntry->geometry(), QRect(176, 355, 415, 19));
    EXPECT_EQ(window.picFooter->geometry(), QRect(0, 382, 600, 18));
    EXPECT_EQ(window.picExit->x(), 525);
    EXPECT_EQ(window.picSend->x(), 449);
    EXPECT_EQ(window.picRgn[0]->height(), 400 - 36);

    // Lower than the bottom strip and the header: nothing moves, no panel shows.
    window.resize(600, 30);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !window.picRgn[0]->isVisible(); }));
    EXPECT_EQ(window.txtLog->geometry(), QRect(176, 48, 415, 299));

    window.resize(500, 300);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.picRgn[0]->isVisible(); }));
    EXPECT_EQ(window.picFooter->geometry(), QRect(0, 282, 500, 18));
}

TEST_F(ChatWindowTest, KeyReleasesDriveTheMenusAndTheEntry) {
    frmMain& window = openWindow();
    window.cmbFaceMark->setCurrentText(u"(^o^)"_s);
    QWidget* focus = window.txtEntry;
    window.lstRoster->setCurrentRow(1); // a private send would be possible

    releaseKey(focus, Qt::Key_H, Qt::AltModifier);
    EXPECT_TRUE(window.menuArea().menusHidden());
    releaseKey(focus, Qt::Key_E, Qt::AltModifier);
    EXPECT_EQ(visiblePanels(window), QList<int>{2});
    // Alt+W chooses the extended-send tab and never sends privately.
    window.txtEntry->setPlainText(u"x"_s);
    QTest::keyClick(focus, Qt::Key_W, Qt::AltModifier);
    EXPECT_EQ(visiblePanels(window), QList<int>{1});
    EXPECT_TRUE(m_service->sent.isEmpty());

    window.txtEntry->clear();
    releaseKey(focus, Qt::Key_F7, {});
    releaseKey(focus, Qt::Key_F7, {}, true); // auto-repeat: ignored
    releaseKey(focus, Qt::Key_F7, Qt::ShiftModifier);
    EXPECT_EQ(window.txtEntry->toPlainText(), u"(^o^)(^o^)"_s);
    EXPECT_EQ(caret(window), 10);
    releaseKey(window.lstRoster, Qt::Key_F6, {});
    EXPECT_EQ(window.txtEntry->toPlainText(), u"@S;(^o^)(^o^)"_s);
    EXPECT_EQ(caret(window), 2);
    releaseKey(focus, Qt::Key_F8, {});
    EXPECT_EQ(window.txtEntry->toPlainText(), u"@clear;@S;(^o^)(^o^)"_s);
    EXPECT_EQ(caret(window), 20);
}

TEST_F(ChatWindowTest, AccessKeysReachTheHiddenButtons) {
    frmMain& window = openWindow();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(window.cmdSend->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(window.cmdExit->focusPolicy(), Qt::NoFocus);
    window.txtEntry->setFocus();
    window.txtEntry->setPlainText(u"via Alt+A"_s);
    QTest::keyClick(window.txtEntry, Qt::Key_A, Qt::AltModifier);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_service->sent.size() == 1; }));
    EXPECT_EQ(m_service->sent[0].text, u"via Alt+A"_s);
    EXPECT_TRUE(window.txtEntry->hasFocus());
}

TEST_F(ChatWindowTest, InsertButtonsAndHelpLabels) {
    addSounds({u"a.wav"_s, u"b.wav"_s, u"c.wav"_s});
    frmMain& window = openWindow();
    window.txtEntry->setPlainText(u"@s5;hi"_s);
    window.cmbSndScript->setCurrentIndex(2);
    QTest::mouseClick(window.cmdInsSnd, Qt::LeftButton);
    EXPECT_EQ(window.txtEntry->toPlainText(), u"@S2;hi"_s);
    QTest::mouseClick(window.cmdInsMark, Qt::LeftButton);
    EXPECT_EQ(window.txtEntry->toPlainText(), u"@S2;hi(^_^)"_s);

    const QString help = u"送信メッセージの先頭にサウンドを再生させるための文字列を挿入します。"_s;
    QTest::mouseClick(window.lblHelp2, Qt::LeftButton);
    EXPECT_EQ(window.lblHelp2->text(), help);
    EXPECT_EQ(window.lblHelp3->text(), u"[Help]"_s);
    QTest::mouseClick(window.lblHelp2, Qt::LeftButton);
    EXPECT_EQ(window.lblHelp2->text(), u"[Help]"_s);
}
