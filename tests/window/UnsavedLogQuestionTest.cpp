#include "ChatWindowFixture.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

using namespace Qt::StringLiterals;

// Quitting with the log option on after the current folder was removed: the user
// learns where and why in Japanese, and Enter keeps the window and its log.
TEST_F(ShownChatWindowTest, AnUnsavedLogIsExplainedAndEnterKeepsIt) {
    window().chkLog->setCheckState(Qt::Checked);
    const QString gone = m_dir.filePath(u"gone"_s);
    ASSERT_TRUE(QDir().mkpath(gone) && QDir::setCurrent(gone) && QDir(gone).removeRecursively());
    QStringList texts;
    QString defaultButton;
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); box && box->isVisible()) {
            texts.append(box->text());
            defaultButton = box->defaultButton()->text();
            if (texts.size() == 1)
                box->buttons().first()->click(); // Yes, quit
            else
                QTest::keyClick(box, Qt::Key_Return);
        }
    });
    answerer.start(5);
    EXPECT_FALSE(window().close());
    ASSERT_EQ(texts.size(), 2);
    EXPECT_EQ(defaultButton, u"いいえ(&N)"_s);
    EXPECT_TRUE(texts[1].contains(u"ファイル: "_s + gone + u"/20"_s)) << texts[1].toStdString();
    EXPECT_TRUE(texts[1].contains(u"理由: 保存先のフォルダーが見つかりません。"_s)) << texts[1].toStdString();
    EXPECT_FALSE(m_ended.has_value());
}
