#include "common/BoxAnswerer.h"
#include "common/FakeSessionService.h"
#include "common/TestSupport.h"
#include "setup/basGlobal.h"
#include "transfer/FileTransfers.h"
#include "window/ChatTray.h"
#include "window/ClickLabel.h"
#include "window/EntryBox.h"
#include "window/FindBar.h"
#include "window/PictureButton.h"
#include "window/TransfersWindow.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QImage>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <tuple>

using namespace Qt::StringLiterals;
using testsupport::SeenBox;

namespace {

const QString kYes = u"はい(&Y)"_s;
const QString kNo = u"いいえ(&N)"_s;

// A chat window in the room "MyChatRoom" of a fake session: the local player 太郎
// (id 1) with 花子 (id 2). Settings, program folder and current directory (where saved
// logs go) are folders of the test's own; the program's end is recorded.
class ChatWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        // Table tests set up again inside one test: start from empty folders each time.
        for (const QString& folder : {m_programFolder, m_workFolder})
            ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
        m_previousCurrent = QDir::currentPath();
        QDir::setCurrent(m_workFolder);
        basGlobal::settingsPath = m_dir.filePath(u"Mirelune.ini"_s);
        QFile::remove(basGlobal::settingsPath);
        m_endedWith.reset();
        basGlobal::endProgramHook = [this](int code) { m_endedWith = code; };
        auto service = std::make_unique<testsupport::FakeSessionService>();
        m_service = service.get();
        m_service->players = {{1, u"太郎"_s}, {2, u"花子"_s}};
        basGlobal::sessionService = std::move(service);
        basGlobal::RegisterEventReceiver();
        basGlobal::localPlayerId = *m_service->createLocalPlayer(u"太郎"_s, u"Player"_s, basGlobal::eventHandle, 0);
        basGlobal::localPlayerName = u"太郎"_s;
        basGlobal::roomName = u"MyChatRoom"_s;
    }
    void TearDown() override {
        delete m_window;
        basGlobal::ResetSessionState();
        QDir::setCurrent(m_previousCurrent);
    }

    QString settings() const { return QString::fromUtf8(testsupport::readAll(basGlobal::settingsPath)); }
    QStringList savedLogs() const { return QDir(m_workFolder).entryList(QDir::Files); }
    void addSounds(const QStringList& names) {
        QDir().mkpath(m_programFolder + u"/Sounds"_s);
        for (const QString& name : names)
            testsupport::writeAll(m_programFolder + u"/Sounds/"_s + name, "RIFF");
    }

    // Shown and active, the entry focused.
    frmMain& openWindow(const QByteArray& settingsLines = {}) {
        if (!settingsLines.isEmpty())
            testsupport::writeAll(basGlobal::settingsPath, settingsLines);
        m_window = new frmMain;
        m_window->setProgramFolder(m_programFolder);
        m_window->Form_Load();
        m_window->show();
        QApplication::setActiveWindow(m_window);
        EXPECT_TRUE(QTest::qWaitForWindowActive(m_window.data()));
        m_window->txtEntry->setFocus();
        return *m_window;
    }
    QPlainTextEdit* entry() { return m_window->txtEntry; }
    // As an input method sends it: `commit` joins the text, `preedit` is still composed.
    void inputMethod(const QString& commit, const QString& preedit = {}) {
        QInputMethodEvent event(preedit, {});
        event.setCommitString(commit);
        QApplication::sendEvent(entry(), &event);
    }
    void send(const QString& text) {
        entry()->setPlainText(text);
        m_window->cmdSend_Click();
    }
    // Clicks Exit and answers the boxes with `answers`; true when the window closed.
    bool closeWindow(const QStringList& answers) {
        testsupport::BoxAnswerer answerer(answers);
        QTest::mouseClick(m_window->picExit->clickArea, Qt::LeftButton);
        m_seen = answerer.boxes;
        return m_window.isNull() || !m_window->isVisible();
    }

    QTemporaryDir m_dir;
    const QString m_programFolder = m_dir.filePath(u"program"_s), m_workFolder = m_dir.filePath(u"work"_s);
    QString m_previousCurrent;
    testsupport::FakeSessionService* m_service = nullptr;
    std::optional<int> m_endedWith;
    QPointer<frmMain> m_window;
    QList<SeenBox> m_seen;
};

QList<int> visiblePanels(const frmMain& window) {
    QList<int> visible;
    for (int i = 0; i < 4; ++i)
        if (window.picRgn[static_cast<std::size_t>(i)]->isVisible())
            visible.append(i);
    return visible;
}

TEST_F(ChatWindowTest, LoadAppliesTheSettingsAndListsTheSounds) {
    addSounds({u"b.wav"_s, u"a.WAV"_s, u"c.wav"_s, u"notes.txt"_s});
    frmMain& window = openWindow("[General]\r\nLog=2\r\nStyle=1\r\n[Custom]\r\nEasySound=3\r\nLogFColor=000000FF\r\n"
                                 "LogBColor=00FF0000\r\nLogFontSize=14\r\n");

    EXPECT_EQ(window.chkLog->checkState(), Qt::PartiallyChecked);
    EXPECT_TRUE(window.menuArea().menusHidden() && visiblePanels(window).isEmpty() && window.easySound());
    EXPECT_EQ(window.txtLog->x(), 27); // 400 twips
    const QPalette log = window.txtLog->palette();
    EXPECT_EQ(std::tuple(log.color(QPalette::Text), log.color(QPalette::Base), window.txtLog->font().pointSize()),
              std::tuple(QColor(255, 0, 0), QColor(0, 0, 255), 14));

    EXPECT_EQ(window.cmbSndScript->itemText(2), u"2"_s); // the Keys test inserts it
    EXPECT_EQ(std::tuple(window.cmbFaceMark->count(), window.cmbFaceMark->currentText()), std::tuple(17, u"(^_^)"_s));
    EXPECT_FALSE(window.sounds().messageSound().isEmpty());

    // A click on the option greyed by the file only ever ticks or clears it.
    window.lblMenus_MouseUp(2, 1);
    for (Qt::CheckState next : {Qt::Checked, Qt::Unchecked, Qt::Checked}) {
        QTest::mouseClick(window.chkLog, Qt::LeftButton);
        EXPECT_EQ(window.chkLog->checkState(), next);
    }
}

TEST_F(ChatWindowTest, UnusableSettingsAndNoSoundsLeaveTheDesign) {
    testsupport::BoxAnswerer noBoxExpected;
    frmMain reference;
    // No log colours at all (every first run): the log's text and background are the
    // system's window text and window colours.
    frmMain& window = openWindow("[General]\r\nStyle=3\r\n[Custom]\r\nEasySound=x\r\n"
                                 "LogFontSize=300\r\nLogFontName=$$$Nothing$$$\r\n");

    EXPECT_FALSE(window.menuArea().menusHidden() || window.easySound());
    EXPECT_EQ(visiblePanels(window), QList<int>{0});
    EXPECT_EQ(std::tuple(window.txtLog->palette().color(QPalette::Text), window.txtLog->palette().color(QPalette::Base),
                         window.txtLog->font()),
              std::tuple(window.palette().color(QPalette::Text), window.palette().color(QPalette::Base),
                         reference.txtLog->font()));
    EXPECT_NE(window.palette().color(QPalette::Text), window.palette().color(QPalette::Base));
    EXPECT_FALSE(window.cmbSndScript->isEnabled() || window.cmdInsSnd->isEnabled());
    EXPECT_EQ(window.cmbSndScript->palette().color(QPalette::Base), window.palette().color(QPalette::Button));
    EXPECT_TRUE(window.Image1->toolTip().isEmpty() && noBoxExpected.boxes.isEmpty()); // not hosting, nothing said
}

// A hosting copy's version panel tells where others reach the room, the router's
// address too once it forwards; the router answers after the window is open.
TEST_F(ChatWindowTest, TheVersionPanelTellsWhereOthersReachTheRoom) {
    m_service->port = 47812;
    m_service->mapping.stage = session::PortMappingState::Stage::Asking;
    frmMain& window = openWindow();
    const auto told = [&](session::PortMappingState answer) {
        m_service->mapping = std::move(answer);
        Q_EMIT m_service->portMappingChanged();
        return window.Image1->toolTip();
    };
    EXPECT_TRUE(window.Image1->toolTip().contains(u"ルーターに UPnP でポートの転送を頼んでいます"_s));
    const QString mapped = told({session::PortMappingState::Stage::Mapped, u"198.51.100.7"_s, 47811, {}, {}});
    EXPECT_TRUE(mapped.contains(u"インターネットからの接続先:\n198.51.100.7:47811\n"_s) && mapped.contains(u":47812"_s))
        << mapped.toStdString();
    EXPECT_EQ(window.picRgn[3]->toolTip(), mapped);
    const QString failed = told({session::PortMappingState::Stage::Failed, {}, 0, u"no router"_s, {}});
    EXPECT_TRUE(failed.contains(u"ルーターでこのポートの転送が必要です"_s));
}

// Lines that never reached the room go back into the entry, in front of what was
// typed since, which stays with its caret.
TEST_F(ChatWindowTest, UndeliveredLinesComeBackInFrontOfWhatWasTypedSince) {
    openWindow();
    entry()->setPlainText(u"いま書いている"_s);
    QTextCursor caret = entry()->textCursor();
    caret.setPosition(2);
    entry()->setTextCursor(caret);
    testsupport::BoxAnswerer answerer;
    for (const QString& text : {u"さっきの行"_s, u"二行の\r\nメッセージ"_s}) {
        m_service->deliverChat(1, 0, text);
        m_service->queue.last().undelivered = true;
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return !answerer.boxes.isEmpty() && m_service->queue.isEmpty(); }));
    EXPECT_EQ(entry()->toPlainText(), u"さっきの行\n二行の\nメッセージ\nいま書いている"_s);
    EXPECT_EQ(std::pair(entry()->textCursor().anchor(), entry()->textCursor().position()), std::pair(18, 18));
    EXPECT_EQ(answerer.seenTexts(), QStringList{u"メッセージの送信に失敗しました"_s});
}

// The log exists nowhere else: when it cannot be saved the user learns where and why,
// and Enter alone keeps the window and its log.
TEST_F(ChatWindowTest, QuittingAsksFirstAndNeverLosesAnUnsavedLogSilently) {
    frmMain& window = openWindow("[General]\r\nLog=1\r\n");
    send(u"keep me"_s);
    const QString settingsBefore = settings();
    const auto expectNothingChanged = [&] {
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(window.txtLog->toPlainText(), u"太郎> keep me"_s);
        EXPECT_EQ(settings(), settingsBefore);
        EXPECT_FALSE(m_endedWith.has_value());
        EXPECT_NE(basGlobal::sessionService, nullptr);
    };

    EXPECT_FALSE(closeWindow({kNo}));
    EXPECT_EQ(m_seen, (QList<SeenBox>{{u"Mirelune - Quit"_s, u"終了しますか？"_s, {kYes, kNo}, false}}));
    expectNothingChanged();
    EXPECT_TRUE(savedLogs().isEmpty());

    const QString gone = m_dir.filePath(u"gone"_s);
    ASSERT_TRUE(QDir().mkpath(gone) && QDir::setCurrent(gone) && QDir(gone).removeRecursively());
    EXPECT_FALSE(closeWindow({kYes, QString()}));
    ASSERT_EQ(m_seen.size(), 2);
    EXPECT_TRUE(m_seen[1].text.contains(u"ファイル: "_s + gone + u"/20"_s) &&
                m_seen[1].text.contains(u"理由: 保存先のフォルダーが見つかりません。"_s))
        << m_seen[1].text.toStdString();
    expectNothingChanged();

    EXPECT_TRUE(closeWindow({kYes, kYes}));
    EXPECT_EQ(m_endedWith, 0);
    EXPECT_TRUE(settings().contains(u"Log=1"_s));
}

// The tray's quit asks as closing the window does; a No leaves everything open.
TEST_F(ChatWindowTest, TheTrayQuitsThroughTheUsualQuestion) {
    frmMain& window = openWindow();
    ASSERT_NE(window.tray(), nullptr);
    for (const QString& answer : {kNo, kYes}) {
        testsupport::BoxAnswerer answerer({answer});
        Q_EMIT window.tray()->quitRequested();
        EXPECT_EQ(answerer.boxes, (QList<SeenBox>{{u"Mirelune - Quit"_s, u"終了しますか？"_s, {kYes, kNo}, false}}));
        EXPECT_EQ(m_endedWith, answer == kYes ? std::optional<int>(0) : std::nullopt);
    }
}

TEST_F(ChatWindowTest, AnsweringYesSavesTheLogOnlyWhenTickedAndWritesTheOptions) {
    // stored Log, the state the user leaves chkLog in, Log written, whether the log is saved
    for (const auto& [stored, click, logWritten, saved] :
         {std::tuple{"0", Qt::Checked, "1", true}, {"2", Qt::PartiallyChecked, "2", false}}) {
        SCOPED_TRACE(stored);
        TearDown();
        SetUp();
        openWindow("[General]\r\nLog=" + QByteArray(stored) + "\r\nStyle=2\r\n");
        send(u"こんにちは"_s);
        // Far more than the box keeps: the saved log holds the whole session.
        QString session = u"太郎> こんにちは\r\n"_s;
        for (int i = 1; i <= 600; ++i) {
            m_window->controller()->log().addToLog(u"花子> 行 %1 です"_s.arg(i));
            session += u"花子> 行 %1 です\r\n"_s.arg(i);
        }
        m_window->chkLog->setCheckState(click);

        EXPECT_TRUE(closeWindow({kYes}));
        EXPECT_TRUE(settings().contains(u"Log="_s + QLatin1StringView(logWritten)) &&
                    settings().contains(u"Style=2"_s));
        EXPECT_TRUE(m_endedWith == 0 && basGlobal::sessionService == nullptr);
        const QStringList files = savedLogs();
        ASSERT_EQ(files.size(), saved ? 1 : 0);
        if (saved) {
            EXPECT_TRUE(QRegularExpression(u"^\\d{14}\\.txt$"_s).match(files[0]).hasMatch());
            EXPECT_EQ(testsupport::readAll(m_workFolder + u'/' + files[0]), (session + u"\r\n"_s).toUtf8());
        }
    }
}

TEST_F(ChatWindowTest, SendButtonPressesItsFrameAndSendsOnALeftClickInside) {
    frmMain& window = openWindow();
    entry()->setPlainText(u"hello"_s);
    window::PictureButton* send = window.picSend;
    const auto frame = [&] {
        QList<QColor> colours;
        for (const window::FrameLine* line : send->lines)
            colours.append(line->colour());
        return colours;
    };
    const QColor light(255, 255, 255), dark(64, 64, 64);
    EXPECT_EQ(frame(), (QList<QColor>{light, light, dark, dark}));
    QTest::mousePress(send->clickArea, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(frame(), (QList<QColor>{dark, dark, light, light}));
    // Released outside: the raised frame again, and nothing is sent; nor by a right click.
    QTest::mouseRelease(send->clickArea, Qt::LeftButton, {}, QPoint(-40, 10));
    EXPECT_EQ(frame(), (QList<QColor>{light, light, dark, dark}));
    QTest::mouseClick(send->clickArea, Qt::RightButton);
    EXPECT_TRUE(m_service->sent.isEmpty());

    QTest::mouseClick(send->clickArea, Qt::LeftButton);
    ASSERT_EQ(m_service->sent.size(), 1);
    EXPECT_EQ(std::tuple(m_service->sent[0].text, window.txtLog->toPlainText(), entry()->toPlainText()),
              std::tuple(u"hello"_s, u"太郎> hello"_s, QString()));

    // The private send goes to the member chosen in the roster; what arrives is shown,
    // newest line last and in view.
    window.lstRoster->setCurrentRow(1);
    entry()->setPlainText(u"psst"_s);
    QTest::mouseClick(window.cmdWhisper, Qt::LeftButton);
    window.lstRoster->setCurrentRow(0);
    EXPECT_FALSE(window.cmdWhisper->isEnabled());
    m_service->deliverChat(2, 0, u"やあ"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->toPlainText().endsWith(u"やあ"_s); }));
    EXPECT_EQ(window.txtLog->toPlainText(), u"太郎> hello\n太郎 to 花子> psst\n花子> やあ"_s);
    EXPECT_EQ(window.txtLog->textCursor().position(), window.txtLog->toPlainText().size());

    // A busy room: the log's cap cuts its front every few lines, between frames and
    // within them; the box shows exactly what the log keeps.
    for (int i = 0; i < 200; ++i) {
        m_service->deliverChat(2, 0, i % 40 == 7 ? u"二行の\r\nメッセージ%1"_s.arg(i) : u"行%1 "_s.arg(i).repeated(25));
        if (i % 8 == 0) {
            ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->toPlainText().endsWith(u"%1 "_s.arg(i)); }));
        }
    }
    const chat::ChatLog& log = window.controller()->log();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->toPlainText().endsWith(u"行199 "_s); }));
    ASSERT_GT(log.cutChars(), chat::ChatLog::kMaxChars);
    EXPECT_EQ(window.txtLog->toPlainText(), QString(log.text()).replace(u"\r\n"_s, u"\n"_s).chopped(1));
}

TEST_F(ChatWindowTest, ResizingAndTabsMoveTheWidgets) {
    frmMain& window = openWindow();
    window.resize(600, 400); // 9000 x 6000 twips
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->width() == 415; }));
    EXPECT_EQ(std::tuple(window.txtLog->geometry(), window.picFooter->geometry(), window.picExit->x()),
              std::tuple(QRect(176, 48, 415, 299), QRect(0, 382, 600, 18), 525));

    QTest::mouseClick(window.lblMenus[2], Qt::LeftButton);
    EXPECT_EQ(std::pair(visiblePanels(window), window.imgSelect->y()), std::pair(QList<int>{2}, 125)); // 1875 twips
    QTest::mouseClick(window.lblMenus[1], Qt::RightButton);
    EXPECT_EQ(std::pair(visiblePanels(window), window.txtLog->x()), std::pair(QList<int>{}, 27)); // 400 twips
    QTest::mouseClick(window.imgHide, Qt::LeftButton);
    EXPECT_EQ(std::pair(visiblePanels(window), window.txtLog->x()), std::pair(QList<int>{2}, 176)); // 2640 twips

    // Shrunk as far as it goes, the log, the entry and both buttons stay whole inside.
    window.resize(100, 80);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->width() < 415; }));
    EXPECT_EQ(window.size(), QSize(320, 292));
    for (const QWidget* control :
         std::initializer_list<const QWidget*>{window.txtLog, window.txtEntry, window.picSend, window.picExit}) {
        EXPECT_TRUE(window.rect().contains(QRect(control->mapTo(&window, QPoint()), control->size())) &&
                    control->width() > 50 && control->height() > 10)
            << control->objectName().toStdString();
    }
}

TEST_F(ChatWindowTest, KeysAndButtonsDriveTheMenusAndTheEntry) {
    addSounds({u"a.wav"_s, u"b.wav"_s, u"c.wav"_s});
    frmMain& window = openWindow();
    window.cmbFaceMark->setCurrentText(u"(^o^)"_s);
    const auto release = [](QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers, bool autoRepeat = false) {
        QKeyEvent event(QEvent::KeyRelease, key, modifiers, QString(), autoRepeat);
        QApplication::sendEvent(target, &event);
    };
    const auto caret = [&] { return entry()->textCursor().position(); };

    entry()->setPlainText(u"@s5;hi"_s);
    window.cmbSndScript->setCurrentIndex(2);
    QTest::mouseClick(window.cmdInsSnd, Qt::LeftButton);
    QTest::mouseClick(window.cmdInsMark, Qt::LeftButton);
    EXPECT_EQ(entry()->toPlainText(), u"@S2;hi(^o^)"_s);
    QTest::mouseClick(window.lblHelp2, Qt::LeftButton);
    EXPECT_EQ(window.lblHelp2->text(), u"送信メッセージの先頭にサウンドを再生させるための文字列を挿入します。"_s);
    EXPECT_EQ(window.lblHelp3->text(), u"[Help]"_s);
    QTest::mouseClick(window.lblHelp2, Qt::LeftButton);
    EXPECT_EQ(window.lblHelp2->text(), u"[Help]"_s);

    // Alt+W chooses the extended-send tab and never sends privately, even with the
    // private send possible.
    window.lstRoster->setCurrentRow(1);
    ASSERT_TRUE(window.cmdWhisper->isEnabled());
    entry()->setPlainText(u"x"_s);
    QTest::keyClick(entry(), Qt::Key_W, Qt::AltModifier);
    EXPECT_TRUE(visiblePanels(window) == QList<int>{1} && m_service->sent.isEmpty());
    release(entry(), Qt::Key_H, Qt::AltModifier);
    EXPECT_TRUE(window.menuArea().menusHidden());

    entry()->clear();
    release(entry(), Qt::Key_F7, {});
    release(entry(), Qt::Key_F7, {}, true); // auto-repeat: ignored
    EXPECT_EQ(std::tuple(entry()->toPlainText(), caret()), std::tuple(u"(^o^)"_s, 5));
    release(window.lstRoster, Qt::Key_F6, {});
    EXPECT_EQ(std::tuple(entry()->toPlainText(), caret()), std::tuple(u"@S;(^o^)"_s, 2));

    // Alt+A reaches the Send button, which is out of sight and never takes the focus.
    entry()->setPlainText(u"via Alt+A"_s);
    QTest::keyClick(entry(), Qt::Key_A, Qt::AltModifier);
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_service->sent.size() == 1; }));
    EXPECT_TRUE(m_service->sent[0].text == u"via Alt+A"_s && entry()->hasFocus());

    // No Alt shortcut types its letter; F and S are the insert buttons' access keys
    // only while their panel shows.
    for (const Qt::Key key : {Qt::Key_H, Qt::Key_Q, Qt::Key_W, Qt::Key_E, Qt::Key_R, Qt::Key_F, Qt::Key_S}) {
        SCOPED_TRACE(key);
        if (window.menuArea().menusHidden())
            window.imgHide_Click();
        window.lblMenus_MouseUp(0, 1);
        entry()->setPlainText(u"下書き"_s);
        entry()->selectAll();
        QTest::keyClick(entry(), key, Qt::AltModifier);
        EXPECT_EQ(entry()->toPlainText(), u"下書き"_s);
    }

    // Ctrl+V with nothing on the clipboard, or only a picture, leaves the entry as it
    // was; text goes in at the caret.
    entry()->setPlainText(u"下書き"_s);
    entry()->moveCursor(QTextCursor::End);
    auto* picture = new QMimeData;
    picture->setImageData(QImage(4, 4, QImage::Format_RGB32));
    for (QMimeData* contents : {new QMimeData, picture}) {
        QGuiApplication::clipboard()->setMimeData(contents);
        QTest::keyClick(entry(), Qt::Key_V, Qt::ControlModifier);
    }
    QGuiApplication::clipboard()->setText(u"です"_s);
    QTest::keyClick(entry(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(entry()->toPlainText(), u"下書きです"_s);
}

TEST_F(ChatWindowTest, WhileAWordIsComposedNoKeyOrButtonSendsOrRewritesTheEntry) {
    frmMain& shown = openWindow();
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"F7", [&] { QTest::keyClick(entry(), Qt::Key_F7); }}, // as F6 and F8
        {"send button", [&] { QTest::mouseClick(shown.picSend->clickArea, Qt::LeftButton); }},
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
    // Then the entry goes out as typed, odd blanks and line separators included; Enter
    // breaks the line, Ctrl+Enter sends (the break going out as CR LF).
    inputMethod(u"古a\u00a0b\u2028c"_s);
    QTest::keyClick(entry(), Qt::Key_Return);
    inputMethod(u"d"_s);
    QTest::keyClick(entry(), Qt::Key_Return, Qt::ControlModifier);
    ASSERT_EQ(m_service->sent.size(), 1);
    EXPECT_EQ(m_service->sent[0].text, u"…そうですね古a\u00a0b\u2028c\r\nd"_s);
}

// Typed on and on, then walked back up: every wrapped line is placed alike, to the
// pixel, and ends inside the box.
TEST_F(ChatWindowTest, TheOneLineEntryShowsTheCaretsLineWhole) {
    openWindow();
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
    // A long word still being composed wraps too: the line with the input method's
    // cursor shows, not the line where the word began.
    entry()->clear();
    inputMethod(QString(), u"かな"_s.repeated(18));
    const QRect composing = entry()->cursorRect();
    EXPECT_GE(composing.top(), 0);
    EXPECT_LE(composing.bottom(), entry()->viewport()->height() - 1);
    inputMethod(QString());
}

// Ctrl+F finds as the user types, whatever the case, the width or the kana; Esc gives
// the focus back to the entry.
TEST_F(ChatWindowTest, TheFindBarFindsAcrossCaseWidthAndKana) {
    frmMain& window = openWindow();
    for (const QString& line :
         {u"花子> ﾃｽﾄ です"_s, u"太郎> Hello ＷＯＲＬＤ"_s, u"花子> てすと again"_s, u"花子> ガギグ world"_s})
        window.controller()->log().addToLog(line);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->toPlainText().endsWith(u"world"_s); }));
    QTest::keyClick(entry(), Qt::Key_F, Qt::ControlModifier);
    QLineEdit* field = window.findBar->field();
    ASSERT_TRUE(window.findBar->isVisible() && field->hasFocus());
    const auto selected = [&] { return window.txtLog->textCursor().selectedText(); };
    const auto type = [&](const QString& text) {
        field->clear();
        QInputMethodEvent event({}, {});
        event.setCommitString(text);
        QApplication::sendEvent(field, &event);
        return selected();
    };
    EXPECT_EQ(type(u"World"_s), u"ＷＯＲＬＤ"_s);
    EXPECT_EQ(type(u"テスト"_s), u"てすと"_s); // onwards from where the find stood
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(selected(), u"ﾃｽﾄ"_s); // round the end
    QTest::keyClick(field, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(selected(), u"てすと"_s);
    EXPECT_EQ(type(u"ｶﾞｷﾞｸﾞ"_s), u"ガギグ"_s);
    // Once the box has let the first lines go, they are still found, shown under the field.
    for (int i = 0; i < 1000; ++i)
        window.controller()->log().addToLog(u"次郎> 埋め草の行 %1"_s.arg(i));
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->toPlainText().endsWith(u"999"_s); }));
    EXPECT_EQ(type(u"ﾃｽﾄ"_s), QString());
    EXPECT_EQ(window.findBar->earlierLine(), u"ログ欄より前の行: 花子> ﾃｽﾄ です"_s);
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_TRUE(!window.findBar->isVisible() && entry()->hasFocus());
}

// Stands in for the desktop's browser and mail program.
class OpenedUrls : public QObject {
    Q_OBJECT
public Q_SLOTS:
    void open(const QUrl& url) { urls.append(url); }

public:
    QList<QUrl> urls;
};

// A click on an address in the log opens exactly that address; a click beside it, or
// at the end of a selection, opens nothing.
TEST_F(ChatWindowTest, AddressesInTheLogOpenOnAClick) {
    frmMain& window = openWindow();
    OpenedUrls opened;
    for (const char* scheme : {"http", "https", "mailto"})
        QDesktopServices::setUrlHandler(QLatin1String(scheme), &opened, "open");
    window.controller()->log().addToLog(u"花子> 見て https://example.org/a?b=1。それと mailto:x@example.org"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->toPlainText().endsWith(u"example.org"_s); }));
    const auto clickAt = [&](const QString& text) {
        QTextCursor cursor = window.txtLog->document()->find(text);
        cursor.setPosition(cursor.selectionStart() + 1);
        window.txtLog->setTextCursor(cursor);
        QTest::mouseClick(window.txtLog->viewport(), Qt::LeftButton, {}, window.txtLog->cursorRect(cursor).center());
    };
    clickAt(u"example.org/a"_s);
    clickAt(u"見て"_s);
    clickAt(u"x@example"_s);
    EXPECT_EQ(opened.urls, (QList<QUrl>{QUrl(u"https://example.org/a?b=1"_s), QUrl(u"mailto:x@example.org"_s)}));
    EXPECT_EQ(window.txtLog->viewport()->cursor().shape(), Qt::PointingHandCursor);
    for (const char* scheme : {"http", "https", "mailto"})
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
}

// 500 members join within a second, one every 2 ms by the clock however busy the
// window is; how long after the last the roster shows them all is printed, not
// limited (the machine's load decides it). Joins and a leave clear the selection; the
// leave takes its own row only.
TEST_F(ChatWindowTest, FiveHundredJoinsAreShownInOrderAndALeaveTakesOneRow) {
    frmMain& shown = openWindow();
    QElapsedTimer clock;
    clock.start();
    int next = 3;
    QTimer arrivals;
    QObject::connect(&arrivals, &QTimer::timeout, [&] {
        for (const qint64 due = std::min<qint64>(503, 4 + clock.elapsed() / 2); next < due; ++next) {
            m_service->players.append({next, u"参加者%1"_s.arg(next)});
            m_service->deliverSystem(session::kSystemPlayerJoined, next);
        }
        if (next == 503 && arrivals.isActive()) {
            arrivals.stop();
            clock.restart();
        }
    });
    arrivals.start(1);
    ASSERT_TRUE(testsupport::waitUntil([&] { return next == 503 && shown.lstRoster->count() == 502; }));
    std::printf("[ measured ] 500 joins shown %lld ms after the last\n", static_cast<long long>(clock.elapsed()));
    for (int row = 0; row < 502; ++row)
        ASSERT_EQ(shown.lstRoster->item(row)->data(Qt::UserRole).toInt(), row + 1);

    shown.lstRoster->setCurrentRow(1);
    QSignalSpy removed(shown.lstRoster->model(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(shown.lstRoster->model(), &QAbstractItemModel::rowsInserted);
    m_service->players.removeAt(100);
    m_service->deliverSystem(session::kSystemPlayerLeft, 101);
    ASSERT_TRUE(testsupport::waitUntil([&] { return shown.lstRoster->count() == 501; }));
    EXPECT_TRUE(removed.size() == 1 && inserted.isEmpty());
    EXPECT_EQ(shown.lstRoster->item(100)->text(), u"参加者102"_s);
    EXPECT_TRUE(shown.lstRoster->selectedItems().isEmpty() && !shown.cmdWhisper->isEnabled());
}

} // namespace

// A file dropped on the window and a picture pasted into the entry are offered to the
// room; an offer that comes shows in the transfers window, which takes it where the user
// says, shows how far it is and cancels it.
TEST_F(ChatWindowTest, DroppedFilesAndPastedPicturesAreOfferedAndAnOfferCanBeTakenAndCancelled) {
    m_service->files = true;
    frmMain& window = openWindow();
    const QString dropped = m_dir.filePath(u"議事録.txt"_s);
    testsupport::writeAll(dropped, "hello");
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(dropped)});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    auto* picture = new QMimeData;
    picture->setImageData(QImage(8, 8, QImage::Format_RGB32));
    QGuiApplication::clipboard()->setMimeData(picture);
    QTest::keyClick(entry(), Qt::Key_V, Qt::ControlModifier);
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return std::count_if(m_service->sent.begin(), m_service->sent.end(),
                             [](const auto& sent) { return sent.kind == 2 && sent.to == 0; }) == 2;
    }));
    QStringList offered;
    for (const transfer::TransferInfo& info : window.files()->transfers())
        offered.append(info.fileName);
    ASSERT_EQ(offered.size(), 2);
    EXPECT_TRUE(offered.contains(u"議事録.txt"_s));
    EXPECT_TRUE(offered.filter(QRegularExpression(u"^画像_.*\\.png$"_s)).size() == 1)
        << offered.join(u' ').toStdString();
    EXPECT_TRUE(entry()->toPlainText().isEmpty());

    // 花子 offers 10 bytes; they are taken into a path the user picks, half arrive.
    const QString target = m_dir.filePath(u"写真.jpg"_s);
    window.transfersWindow()->setSavePathPrompt([&](QWidget*, const QString&) { return target; });
    m_service->deliver(2, transfer::encodeOffer({7, 10, QString(64, u'0'), u"写真.jpg"_s}), 1);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.files()->transfers().size() == 3; }));
    const int number = window.files()->transfers().constLast().number;
    const window::TransfersWindow::Row* row = window.transfersWindow()->row(number);
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(window.transfersWindow()->isVisible() && row->accept->isVisible());
    QTest::mouseClick(row->accept, Qt::LeftButton);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !m_service->sentParts.isEmpty(); }));
    EXPECT_EQ(m_service->sentParts.constLast().second.at(0), 1); // its Want
    Q_EMIT m_service->filePartReceived(2, transfer::encodePart(transfer::Chunk{7, 0, "01234"}));
    EXPECT_TRUE(testsupport::waitUntil([&] { return row->bar->value() == 500 && row->cancel->isVisible(); }));
    QTest::mouseClick(row->cancel, Qt::LeftButton);
    EXPECT_EQ(window.files()->transfer(number)->state, transfer::TransferInfo::State::Cancelled);
    EXPECT_EQ(m_service->sentParts.constLast().second.at(0), 3); // its Cancel
    EXPECT_FALSE(QFile::exists(target));

    // The pasted picture lives as long as the window that offers it.
    const QString pasted = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + u"/pasted/"_s +
                           offered.filter(QRegularExpression(u"^画像_"_s)).value(0);
    EXPECT_TRUE(QFile::exists(pasted));
    delete m_window;
    EXPECT_FALSE(QFile::exists(pasted));
}

#include "ChatWindowTest.moc"
