#pragma once

#include "common/FakeSessionService.h"
#include "common/TestSupport.h"
#include "setup/basGlobal.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QDir>
#include <QInputMethodEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

// A shown, active chat window of 太郎 (id 1) with 花子 (id 2) in a fake session; settings
// and current directory in the test's own folder, the program's end recorded.
class ShownChatWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_previousCurrent = QDir::currentPath();
        ASSERT_TRUE(m_dir.isValid() && QDir::setCurrent(m_dir.path()));
        basGlobal::settingsPath = m_dir.filePath(QStringLiteral("Mirelune.ini"));
        basGlobal::endProgramHook = [this](int code) { m_ended = code; };
        auto service = std::make_unique<testsupport::FakeSessionService>();
        m_service = service.get();
        m_service->players = {{1, QStringLiteral("太郎")}, {2, QStringLiteral("花子")}};
        basGlobal::sessionService = std::move(service);
        basGlobal::RegisterEventReceiver();
        basGlobal::localPlayerId = *m_service->createLocalPlayer(QStringLiteral("太郎"), {}, basGlobal::eventHandle, 0);
        basGlobal::localPlayerName = QStringLiteral("太郎");
        m_window = new frmMain;
        m_window->setProgramFolder(m_dir.path());
        m_window->Form_Load();
        m_window->show();
        QApplication::setActiveWindow(m_window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.data()));
        m_window->txtEntry->setFocus();
    }
    void TearDown() override {
        delete m_window;
        basGlobal::ResetSessionState();
        QDir::setCurrent(m_previousCurrent);
    }
    frmMain& window() { return *m_window; }
    QPlainTextEdit* entry() { return m_window->txtEntry; }
    // As an input method sends it: `commit` joins the text, `preedit` is still composed.
    void inputMethod(const QString& commit, const QString& preedit = {}) {
        QInputMethodEvent event(preedit, {});
        event.setCommitString(commit);
        QApplication::sendEvent(entry(), &event);
    }

    QTemporaryDir m_dir;
    QString m_previousCurrent;
    testsupport::FakeSessionService* m_service = nullptr;
    std::optional<int> m_ended;
    QPointer<frmMain> m_window;
};
