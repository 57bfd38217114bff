#include "common/BoxAnswerer.h"
#include "common/FakeSessionService.h"
#include "common/TestSupport.h"
#include "setup/basGlobal.h"
#include "window/ClickLabel.h"
#include "window/PictureButton.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QInputMethodEvent>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

using namespace Qt::StringLiterals;

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
        for (const QString& folder : {m_programFolder, m_workFolder}) {
            QDir(folder).removeRecursively();
            ASSERT_TRUE(QDir().mkpath(folder));
        }
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

    frmMain& openWindow(const QByteArray& settingsLines = {}) {
        if (!settingsLines.isEmpty())
            testsupport::writeAll(basGlobal::settingsPath, settingsLines);
        m_window = new frmMain;
        m_window->setProgramFolder(m_programFolder);
        m_window->Form_Load();
        m_window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(m_window.data()));
        return *m_window;
    }
    // Shown, active, the entry focused.
    frmMain& openActive() {
        openWindow();
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
        m_window->txtEntry->setPlainText(text);
        m_window->cmdSend_Click();
    }
    // Asks the window to close, answering its boxes with `answers`; true when it closed.
    bool closeWindow(const QStringList& answers) {
        testsupport::BoxAnswerer answerer(answers);
        const bool closed = m_window->close();
        m_seen = answerer.boxes;
        return closed;
    }

    QTemporaryDir m_dir;
    const QString m_programFolder = m_dir.filePath(u"program"_s), m_workFolder = m_dir.filePath(u"work"_s);
    QString m_previousCurrent;
    testsupport::FakeSessionService* m_service = nullptr;
    std::optional<int> m_endedWith;
    QPointer<frmMain> m_window;
    QList<testsupport::SeenBox> m_seen;
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
    m_service->port = 47813; // hosting: the version panel tells where others reach the room
    frmMain& window = openWindow("[General]\r\nLog=2\r\nStyle=1\r\n[Custom]\r\nEasySound=3\r\nLogFColor=000000FF\r\n"
                                 "LogBColor=00FF0000\r\nLogFontSize=14\r\n");

    EXPECT_EQ(window.windowTitle(), u"Mirelune - [MyChatRoom]"_s);
    EXPECT_EQ(window.chkLog->checkState(), Qt::PartiallyChecked);
    EXPECT_TRUE(window.menuArea().menusHidden());
    EXPECT_TRUE(visiblePanels(window).isEmpty());
    EXPECT_EQ(window.txtLog->x(), 27); // 400 twips
    EXPECT_TRUE(window.easySound());
    EXPECT_EQ(window.txtLog->palette().color(QPalette::Text), QColor(255, 0, 0));
    EXPECT_EQ(window.txtLog->palette().color(QPalette::Base), QColor(0, 0, 255));
    EXPECT_EQ(window.txtLog->font().pointSize(), 14);

    ASSERT_EQ(window.cmbSndScript->count(), 3);
    EXPECT_EQ(window.cmbSndScript->itemText(2), u"2"_s);
    EXPECT_TRUE(window.cmdInsSnd->isEnabled());
    EXPECT_EQ(window.cmbFaceMark->count(), 17);
    EXPECT_EQ(window.cmbFaceMark->currentText(), u"(^_^)"_s);
    ASSERT_EQ(window.lstRoster->count(), 2);
    EXPECT_FALSE(window.sounds().messageSound().isEmpty());
    EXPECT_TRUE(window.Image1->toolTip().contains(u":47813"_s)) << window.Image1->toolTip().toStdString();
    EXPECT_EQ(window.picRgn[3]->toolTip(), window.Image1->toolTip());

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

    EXPECT_FALSE(window.menuArea().menusHidden());
    EXPECT_EQ(visiblePanels(window), QList<int>{0});
    EXPECT_FALSE(window.easySound());
    EXPECT_EQ(window.txtLog->palette().color(QPalette::Text), window.palette().color(QPalette::Text));
    EXPECT_EQ(window.txtLog->palette().color(QPalette::Base), window.palette().color(QPalette::Base));
    EXPECT_NE(window.palette().color(QPalette::Text), window.palette().color(QPalette::Base));
    EXPECT_EQ(window.txtLog->font(), reference.txtLog->font());
    EXPECT_FALSE(window.cmbSndScript->isEnabled());
    EXPECT_FALSE(window.cmdInsSnd->isEnabled());
    EXPECT_EQ(window.cmbSndScript->palette().color(QPalette::Base), window.palette().color(QPalette::Button));
    EXPECT_TRUE(window.Image1->toolTip().isEmpty()); // not hosting
    EXPECT_TRUE(noBoxExpected.boxes.isEmpty());
}

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

    // Exit asks; No keeps everything and saves nothing.
    {
        testsupport::BoxAnswerer answerer({kNo});
        QTest::mouseClick(window.picExit->clickArea, Qt::LeftButton);
        const testsupport::SeenBox quit{u"Mirelune - Quit"_s, u"終了しますか？"_s, {kYes, kNo}, false};
        EXPECT_EQ(answerer.boxes, QList<testsupport::SeenBox>{quit});
    }
    expectNothingChanged();
    EXPECT_TRUE(savedLogs().isEmpty());

    // Folders in the way of every name the log could get in the next minute: the
    // user is told where saving failed and may stay.
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = 0; s < 60; ++s)
        QDir(m_workFolder).mkdir(now.addSecs(s).toString(u"yyyyMMddHHmmss"_s) + u".txt"_s);
    EXPECT_FALSE(closeWindow({kYes, kNo}));
    ASSERT_EQ(m_seen.size(), 2);
    EXPECT_TRUE(m_seen[1].text.contains(m_workFolder));
    expectNothingChanged();

    EXPECT_TRUE(closeWindow({kYes, kYes}));
    EXPECT_EQ(m_endedWith, 0);
    EXPECT_TRUE(settings().contains(u"Log=1"_s));
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
        openWindow("[General]\r\nLog=" + QByteArray(c.stored) + "\r\nStyle=2\r\n");
        send(u"こんにちは"_s);
        m_window->chkLog->setCheckState(c.click);

        EXPECT_TRUE(closeWindow({kYes}));
        EXPECT_TRUE(settings().contains(u"Log="_s + QLatin1StringView(c.logWritten)));
        EXPECT_TRUE(settings().contains(u"Style=2"_s));
        EXPECT_EQ(m_endedWith, 0);
        EXPECT_EQ(basGlobal::sessionService, nullptr);
        const QStringList files = savedLogs();
        ASSERT_EQ(files.size(), c.saved ? 1 : 0);
        if (c.saved) {
            EXPECT_TRUE(QRegularExpression(u"^\\d{14}\\.txt$"_s).match(files[0]).hasMatch());
            EXPECT_EQ(testsupport::readAll(m_workFolder + u'/' + files[0]), u"太郎> こんにちは\r\n\r\n"_s.toUtf8());
        }
    }
}

TEST_F(ChatWindowTest, SendButtonPressesItsFrameAndSendsOnALeftClickInside) {
    frmMain& window = openWindow();
    window.txtEntry->setPlainText(u"hello"_s);
    window::PictureButton* send = window.picSend;
    const auto frame = [&] {
        QList<QColor> colours;
        for (const window::FrameLine* line : send->lines)
            colours.append(line->colour());
        return colours;
    };
    const QList<QColor> raised{QColor(255, 255, 255), QColor(255, 255, 255), QColor(64, 64, 64), QColor(64, 64, 64)};
    const QList<QColor> pressed{raised[2], raised[2], raised[0], raised[0]};
    EXPECT_EQ(frame(), raised);
    QTest::mousePress(send->clickArea, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(frame(), pressed);
    // Released outside: the raised frame again, and nothing is sent; nor by a right click.
    QTest::mouseRelease(send->clickArea, Qt::LeftButton, {}, QPoint(-40, 10));
    EXPECT_EQ(frame(), raised);
    QTest::mouseClick(send->clickArea, Qt::RightButton);
    EXPECT_TRUE(m_service->sent.isEmpty());

    QTest::mouseClick(send->clickArea, Qt::LeftButton);
    ASSERT_EQ(m_service->sent.size(), 1);
    EXPECT_EQ(m_service->sent[0].text, u"hello"_s);
    EXPECT_EQ(window.txtLog->toPlainText(), u"太郎> hello"_s);
    EXPECT_TRUE(window.txtEntry->toPlainText().isEmpty());
}

TEST_F(ChatWindowTest, KeysAndTheRosterSendAndWhatArrivesIsShown) {
    frmMain& window = openWindow();
    // Enter breaks the line, Ctrl+Enter sends (the break going out as CR LF).
    window.txtEntry->setFocus();
    QTest::keyClicks(window.txtEntry, u"a"_s);
    QTest::keyClick(window.txtEntry, Qt::Key_Return);
    QTest::keyClicks(window.txtEntry, u"b"_s);
    EXPECT_EQ(window.txtEntry->toPlainText(), u"a\nb"_s);
    QTest::keyClick(window.txtEntry, Qt::Key_Return, Qt::ControlModifier);
    ASSERT_EQ(m_service->sent.size(), 1);
    EXPECT_EQ(m_service->sent[0].text, u"a\r\nb"_s);

    // The private send goes to the member chosen in the roster.
    window.lstRoster->setCurrentRow(1);
    EXPECT_TRUE(window.cmdWhisper->isEnabled());
    window.txtEntry->setPlainText(u"psst"_s);
    QTest::mouseClick(window.cmdWhisper, Qt::LeftButton);
    EXPECT_TRUE(window.txtLog->toPlainText().endsWith(u"太郎 to 花子> psst"_s));
    window.lstRoster->setCurrentRow(0);
    EXPECT_FALSE(window.cmdWhisper->isEnabled());

    // What arrives is shown, newest line last and in view; a join rebuilds the roster
    // and clears the selection.
    window.lstRoster->setCurrentRow(1);
    m_service->players.append({3, u"三郎"_s});
    m_service->deliverChat(2, 0, u"やあ"_s);
    m_service->deliverSystem(session::kSystemPlayerJoined, 3);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.lstRoster->count() == 3; }));
    EXPECT_TRUE(window.txtLog->toPlainText().contains(u"花子> やあ"_s));
    EXPECT_EQ(window.txtLog->textCursor().position(), window.txtLog->toPlainText().size());
    EXPECT_FALSE(window.cmdWhisper->isEnabled());
}

TEST_F(ChatWindowTest, ResizingAndTabsMoveTheWidgets) {
    frmMain& window = openWindow();
    window.resize(600, 400); // 9000 x 6000 twips
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.txtLog->width() == 415; }));
    EXPECT_EQ(window.txtLog->geometry(), QRect(176, 48, 415, 299));
    EXPECT_EQ(window.picFooter->geometry(), QRect(0, 382, 600, 18));
    EXPECT_EQ(window.picExit->x(), 525);

    QTest::mouseClick(window.lblMenus[2], Qt::LeftButton);
    EXPECT_EQ(visiblePanels(window), QList<int>{2});
    EXPECT_EQ(window.imgSelect->y(), 125); // 1875 twips
    QTest::mouseClick(window.lblMenus[1], Qt::RightButton);
    EXPECT_TRUE(visiblePanels(window).isEmpty());
    EXPECT_EQ(window.txtLog->x(), 27); // 400 twips
    QTest::mouseClick(window.imgHide, Qt::LeftButton);
    EXPECT_EQ(visiblePanels(window), QList<int>{2});
    EXPECT_EQ(window.txtLog->x(), 176); // 2640 twips
}

TEST_F(ChatWindowTest, KeysDriveTheMenusTheEntryAndTheHiddenButtons) {
    frmMain& window = openWindow();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.cmbFaceMark->setCurrentText(u"(^o^)"_s);
    QWidget* focus = window.txtEntry;
    focus->setFocus();
    const auto release = [](QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers, bool autoRepeat = false) {
        QKeyEvent event(QEvent::KeyRelease, key, modifiers, QString(), autoRepeat);
        QApplication::sendEvent(target, &event);
    };
    const auto caret = [&] { return window.txtEntry->textCursor().position(); };

    // Alt+W chooses the extended-send tab and never sends privately, even with the
    // private send possible.
    window.lstRoster->setCurrentRow(1);
    ASSERT_TRUE(window.cmdWhisper->isEnabled());
    window.txtEntry->setPlainText(u"x"_s);
    QTest::keyClick(focus, Qt::Key_W, Qt::AltModifier);
    EXPECT_EQ(visiblePanels(window), QList<int>{1});
    EXPECT_TRUE(m_service->sent.isEmpty());
    release(focus, Qt::Key_H, Qt::AltModifier);
    EXPECT_TRUE(window.menuArea().menusHidden());

    window.txtEntry->clear();
    release(focus, Qt::Key_F7, {});
    release(focus, Qt::Key_F7, {}, true); // auto-repeat: ignored
    EXPECT_EQ(window.txtEntry->toPlainText(), u"(^o^)"_s);
    EXPECT_EQ(caret(), 5);
    release(window.lstRoster, Qt::Key_F6, {});
    EXPECT_EQ(window.txtEntry->toPlainText(), u"@S;(^o^)"_s);
    EXPECT_EQ(caret(), 2);

    // Alt+A reaches the Send button, which is out of sight and never takes the focus.
    EXPECT_EQ(window.cmdSend->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(window.cmdExit->focusPolicy(), Qt::NoFocus);
    window.txtEntry->setPlainText(u"via Alt+A"_s);
    QTest::keyClick(focus, Qt::Key_A, Qt::AltModifier);
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

    QTest::mouseClick(window.lblHelp2, Qt::LeftButton);
    EXPECT_EQ(window.lblHelp2->text(), u"送信メッセージの先頭にサウンドを再生させるための文字列を挿入します。"_s);
    EXPECT_EQ(window.lblHelp3->text(), u"[Help]"_s);
    QTest::mouseClick(window.lblHelp2, Qt::LeftButton);
    EXPECT_EQ(window.lblHelp2->text(), u"[Help]"_s);
}

TEST_F(ChatWindowTest, WhileAWordIsComposedNoKeyOrButtonSendsOrRewritesTheEntry) {
    frmMain& shown = openActive();
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"F6", [&] { QTest::keyClick(entry(), Qt::Key_F6); }},
        {"F7", [&] { QTest::keyClick(entry(), Qt::Key_F7); }},
        {"F8", [&] { QTest::keyClick(entry(), Qt::Key_F8); }},
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
    // Then the entry goes out as typed, odd blanks and line separators included.
    inputMethod(u"古a\u00a0b\u2028c"_s);
    QTest::keyClick(entry(), Qt::Key_Return);
    inputMethod(u"d"_s);
    QTest::keyClick(entry(), Qt::Key_Return, Qt::ControlModifier);
    ASSERT_EQ(m_service->sent.size(), 1);
    EXPECT_EQ(m_service->sent[0].text, u"…そうですね古a\u00a0b\u2028c\r\nd"_s);
}

TEST_F(ChatWindowTest, AltShortcutsNeverTypeTheirLetter) {
    frmMain& shown = openActive();
    EXPECT_TRUE(QKeySequence::mnemonic(shown.cmdWhisper->text()).isEmpty());
    // F and S are the insert buttons' access keys only while their panel shows.
    for (const Qt::Key key : {Qt::Key_H, Qt::Key_Q, Qt::Key_W, Qt::Key_E, Qt::Key_R, Qt::Key_F, Qt::Key_S}) {
        SCOPED_TRACE(key);
        if (shown.menuArea().menusHidden())
            shown.imgHide_Click();
        shown.lblMenus_MouseUp(0, 1);
        entry()->setPlainText(u"下書き"_s);
        entry()->selectAll();
        QTest::keyClick(entry(), key, Qt::AltModifier);
        EXPECT_EQ(entry()->toPlainText(), u"下書き"_s);
    }
}

// Typed on and on, then walked back up: every wrapped line is placed alike, to the
// pixel, and ends inside the box.
TEST_F(ChatWindowTest, TheOneLineEntryShowsTheCaretsLineWhole) {
    openActive();
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

// 500 members join within a second, one every 2 ms by the clock however busy the
// window is; how long after the last the roster shows them all is printed, not
// limited (the machine's load decides it). A leave then takes its own row only.
TEST_F(ChatWindowTest, FiveHundredJoinsAreShownInOrderAndALeaveTakesOneRow) {
    frmMain& shown = openActive();
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
    EXPECT_EQ(removed.size(), 1);
    EXPECT_TRUE(inserted.isEmpty());
    EXPECT_EQ(shown.lstRoster->item(100)->text(), u"参加者102"_s);
    EXPECT_TRUE(shown.lstRoster->selectedItems().isEmpty());
    EXPECT_FALSE(shown.cmdWhisper->isEnabled());
}

// Quitting with the log option on after the current folder was removed: the user
// learns where and why in Japanese, and Enter keeps the window and its log.
TEST_F(ChatWindowTest, AnUnsavedLogIsExplainedAndEnterKeepsIt) {
    frmMain& shown = openActive();
    shown.chkLog->setCheckState(Qt::Checked);
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
    EXPECT_FALSE(shown.close());
    ASSERT_EQ(texts.size(), 2);
    EXPECT_EQ(defaultButton, u"いいえ(&N)"_s);
    EXPECT_TRUE(texts[1].contains(u"ファイル: "_s + gone + u"/20"_s)) << texts[1].toStdString();
    EXPECT_TRUE(texts[1].contains(u"理由: 保存先のフォルダーが見つかりません。"_s)) << texts[1].toStdString();
    EXPECT_FALSE(m_endedWith.has_value());
}

} // namespace
