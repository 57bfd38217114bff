#include "ChatWindowFixture.h"
#include "window/ClickLabel.h"
#include "window/PictureButton.h"

#include <QComboBox>
#include <QKeySequence>
#include <QPushButton>
#include <QTextBlock>
#include <QTextLayout>
#include <chrono>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

TEST_F(ShownChatWindowTest, WhileAWordIsComposedNoKeyOrButtonSendsOrRewritesTheEntry) {
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"F6", [&] { QTest::keyClick(entry(), Qt::Key_F6); }},
        {"F7", [&] { QTest::keyClick(entry(), Qt::Key_F7); }},
        {"F8", [&] { QTest::keyClick(entry(), Qt::Key_F8); }},
        {"send button", [&] { QTest::mouseClick(window().picSend->clickArea, Qt::LeftButton); }},
        {"Alt+A", [&] { QTest::keyClick(entry(), Qt::Key_A, Qt::AltModifier); }},
        {"Ctrl+Enter", [&] { QTest::keyClick(entry(), Qt::Key_Return, Qt::ControlModifier); }},
    };
    for (const auto& [what, act] : rows) {
        SCOPED_TRACE(what);
        entry()->clear();
        inputMethod(u"…そうですね"_s, u"ふる"_s);
        act();
        testsupport::spinFor(std::chrono::milliseconds(150)); // an access key clicks after an animation
        EXPECT_EQ(entry()->toPlainText(), u"…そうですね"_s);
        EXPECT_EQ(entry()->textCursor().block().layout()->preeditAreaText(), u"ふる"_s);
        EXPECT_TRUE(m_service->sent.isEmpty());
        inputMethod(QString()); // the composition is cancelled
    }
    inputMethod(u"古"_s);
    QTest::keyClick(entry(), Qt::Key_Return, Qt::ControlModifier);
    ASSERT_EQ(m_service->sent.size(), 1);
    EXPECT_EQ(m_service->sent[0].text, u"…そうですね古"_s);
}

TEST_F(ShownChatWindowTest, AltShortcutsNeverTypeTheirLetter) {
    EXPECT_TRUE(QKeySequence::mnemonic(window().cmdWhisper->text()).isEmpty());
    // F and S are the insert buttons' access keys only while their panel shows.
    for (const Qt::Key key : {Qt::Key_H, Qt::Key_Q, Qt::Key_W, Qt::Key_E, Qt::Key_R, Qt::Key_F, Qt::Key_S}) {
        SCOPED_TRACE(key);
        if (window().menuArea().menusHidden())
            window().imgHide_Click();
        window().lblMenus_MouseUp(0, 1);
        entry()->setPlainText(u"下書き"_s);
        entry()->selectAll();
        QTest::keyClick(entry(), key, Qt::AltModifier);
        EXPECT_EQ(entry()->toPlainText(), u"下書き"_s);
    }
}

TEST_F(ShownChatWindowTest, TheEntryIsSentAsTyped) {
    inputMethod(u"a\u00a0b\u2028c"_s);
    QTest::keyClick(entry(), Qt::Key_Return);
    inputMethod(u"d"_s);
    QTest::keyClick(entry(), Qt::Key_Return, Qt::ControlModifier);
    ASSERT_EQ(m_service->sent.size(), 1);
    EXPECT_EQ(m_service->sent[0].text, u"a\u00a0b\u2028c\r\nd"_s);
}

// Typed on and on, then walked back up: every wrapped line is placed alike, to the
// pixel, and ends inside the box.
TEST_F(ShownChatWindowTest, TheOneLineEntryShowsTheCaretsLineWhole) {
    std::optional<int> top;
    inputMethod(u"とても長いメッセージが折り返される。"_s.repeated(2));
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        if (i < 6)
            inputMethod(u"とても長いメッセージが折り返される。"_s);
        else
            QTest::keyClick(entry(), Qt::Key_Up);
        const QRect caret = entry()->cursorRect();
        EXPECT_EQ(caret.top(), top.value_or(caret.top()));
        EXPECT_LE(caret.bottom(), entry()->viewport()->height() - 1);
        top = caret.top();
    }
}

} // namespace
