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
using namespace std::chrono_literals;

namespace {

QString preeditOf(QPlainTextEdit* edit) {
    return edit->textCursor().block().layout()->preeditAreaText();
}

TEST_F(ShownChatWindowTest, WhileAWordIsComposedNoKeyOrButtonSendsOrRewritesTheEntry) {
    window().cmbFaceMark->setCurrentText(u"(^_^)"_s);
    const struct {
        const char* what;
        std::function<void()> act;
    } rows[] = {
        {"F6", [&] { QTest::keyClick(entry(), Qt::Key_F6); }},
        {"F7", [&] { QTest::keyClick(entry(), Qt::Key_F7); }},
        {"F8", [&] { QTest::keyClick(entry(), Qt::Key_F8); }},
        {"send button", [&] { QTest::mouseClick(window().picSend->clickArea, Qt::LeftButton); }},
        {"Alt+A", [&] { QTest::keyClick(entry(), Qt::Key_A, Qt::AltModifier); }},
        {"Ctrl+Enter", [&] { QTest::keyClick(entry(), Qt::Key_Return, Qt::ControlModifier); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        entry()->clear();
        inputMethod(u"…そうですね"_s, u"ふる"_s);
        row.act();
        testsupport::spinFor(150ms); // a button's access key clicks after a short animation
        EXPECT_EQ(entry()->toPlainText(), u"…そうですね"_s);
        EXPECT_EQ(preeditOf(entry()), u"ふる"_s);
        EXPECT_TRUE(m_service->sent.isEmpty());
        inputMethod(QString()); // the composition is cancelled
    }
    // Committed, the whole text goes out by the same key.
    inputMethod(u"古"_s);
    QTest::keyClick(entry(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(sentTexts(), QStringList{u"…そうですね古"_s});
}

TEST_F(ShownChatWindowTest, AltShortcutsNeverTypeTheirLetter) {
    // The private-send button gave its access key to the tab switch and shows none.
    EXPECT_EQ(window().cmdWhisper->text(), u"プライベート送信(W)"_s);
    EXPECT_TRUE(QKeySequence::mnemonic(window().cmdWhisper->text()).isEmpty());
    // F and S are the insert buttons' access keys while the extended-send panel shows.
    for (const Qt::Key key : {Qt::Key_H, Qt::Key_Q, Qt::Key_W, Qt::Key_E, Qt::Key_R, Qt::Key_F, Qt::Key_S}) {
        SCOPED_TRACE(QKeySequence(key).toString().toStdString());
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
    EXPECT_EQ(sentTexts(), QStringList{u"a\u00a0b\u2028c\r\nd"_s});
}

TEST_F(ShownChatWindowTest, TheOneLineEntryShowsTheCaretsLineWhole) {
    // Typed on and on, then walked back up: every wrapped line is placed alike, to
    // the pixel, and ends inside the box.
    std::optional<int> top;
    const auto expectCaretLineWhole = [&] {
        const QRect caret = entry()->cursorRect();
        EXPECT_EQ(caret.top(), top.value_or(caret.top()));
        EXPECT_LE(caret.bottom(), entry()->viewport()->height() - 1);
        top = caret.top();
    };
    inputMethod(u"とても長いメッセージが折り返される。"_s.repeated(2));
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        inputMethod(u"とても長いメッセージが折り返される。"_s);
        expectCaretLineWhole();
    }
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        QTest::keyClick(entry(), Qt::Key_Up);
        expectCaretLineWhole();
    }
}

} // namespace
