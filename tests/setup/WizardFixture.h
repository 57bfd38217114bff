#pragma once

#include "common/BoxAnswerer.h"
#include "common/FakeSessionService.h"
#include "common/LoopbackSession.h"
#include "common/TestSupport.h"
#include "platform/ProfileFile.h"
#include "session/NetworkSessionService.h"
#include "setup/basGlobal.h"
#include "setup/frmSet.h"

#include <QApplication>
#include <QCursor>
#include <QInputMethodEvent>
#include <QPointer>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <vector>

using testsupport::FakeSessionService;
using testsupport::SeenBox;

// Every wizard test gets its own settings file, in-memory services on a pretend
// network (or, with m_network set, network services on loopback ports of its own), a
// recorded program end and a fresh session state.
class WizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QApplication::setQuitOnLastWindowClosed(false);
        basGlobal::ResetSessionState();
        FakeSessionService::network().clear();
        m_endings.clear();
        basGlobal::settingsPath = m_settingsPath;
        basGlobal::endProgramHook = [this](int code) { m_endings.append(code); };
        basGlobal::loginNameSource = [] { return std::optional<QString>(QStringLiteral("tester")); };
        basGlobal::serviceFactory = [this]() -> std::unique_ptr<session::SessionService> {
            if (m_network)
                return anotherCopy();
            auto service = std::make_unique<FakeSessionService>();
            service->whileListing = [this] {
                const QCursor* cursor = QApplication::overrideCursor();
                m_cursorWhileListing.append(cursor != nullptr ? cursor->shape() : Qt::ArrowCursor);
            };
            if (m_configure)
                m_configure(*service);
            return service;
        };
        m_answerer = std::make_unique<testsupport::BoxAnswerer>();
    }

    void TearDown() override {
        m_wizard.reset();
        basGlobal::ResetSessionState();
        m_otherCopies.clear();
        m_answerer.reset();
        // Deleting a chat window takes its own top-level children (boxes, menus) with
        // it, so every window is watched while the list is worked through.
        QList<QPointer<QWidget>> windows;
        for (QWidget* window : QApplication::topLevelWidgets())
            windows.append(window);
        for (const QPointer<QWidget>& window : std::as_const(windows))
            if (!window.isNull() && window->objectName() == QStringLiteral("frmMain"))
                delete window.data();
    }

    // For tests that loop over cases: a fresh session state and settings for the next.
    void startOver() {
        TearDown();
        SetUp();
    }

    void writeSettings(const QByteArray& lines) { testsupport::writeAll(m_settingsPath, lines); }
    // The stored value, or nothing when the key is absent.
    std::optional<QString> setting(const QString& key) const {
        const QString absent = QStringLiteral("<absent>"),
                      value = platform::ProfileFile(m_settingsPath).read(QStringLiteral("General"), key, absent);
        return value == absent ? std::nullopt : std::optional<QString>(value);
    }

    frmSet& loadWizard(bool expectLoaded = true) {
        m_wizard = std::make_unique<frmSet>();
        EXPECT_EQ(m_wizard->Form_Load(), expectLoaded);
        if (expectLoaded)
            m_wizard->show();
        return *m_wizard;
    }
    frmSet& wizardOnRoomPage(const QString& name = QStringLiteral("太郎")) {
        writeSettings("[General]\r\nShowGreet=1\r\n");
        frmSet& wizard = loadWizard();
        wizard.txtYourName->setText(name);
        wizard.cmdNext_Click();
        EXPECT_EQ(wizard.page(), 2);
        return wizard;
    }
    FakeSessionService* currentService() const {
        return dynamic_cast<FakeSessionService*>(basGlobal::sessionService.get());
    }

    // Another copy of the program on the wizard's network, initialised if asked.
    std::unique_ptr<session::SessionService> anotherCopy(bool initialize = false) const {
        if (!m_network)
            return std::make_unique<FakeSessionService>();
        auto copy = std::make_unique<session::NetworkSessionService>(m_config);
        EXPECT_TRUE(!initialize || copy->initialize(copy->listConnections()->item(1).value()).ok());
        return copy;
    }
    void hostRoom(const QString& name, const QString& password = {}) {
        session::RoomDescription room;
        room.applicationId = QString::fromUtf16(session::kApplicationId);
        room.name = name;
        room.password = password;
        room.numericAttribute = 4;
        std::unique_ptr<session::SessionService> host = anotherCopy(true);
        ASSERT_TRUE(host->openRoom(room, session::OpenMode::CreateAndHost).ok());
        ASSERT_TRUE(host->createLocalPlayer(QStringLiteral("ホスト"), QStringLiteral("Player 1 (Host)"), 0, 0).ok());
        m_otherCopies.push_back(std::move(host));
    }
    QStringList roomsSeenByAnotherCopy() const {
        std::unique_ptr<session::SessionService> observer = anotherCopy(true);
        session::RoomDescription query;
        query.applicationId = QString::fromUtf16(session::kApplicationId);
        QStringList names;
        const auto rooms = observer->listRooms(query, 0).valueOr({});
        for (const session::RoomDescription& room : rooms.items())
            names.append(room.name);
        observer->close();
        return names;
    }

    // Types text as an input method commits it (works for Japanese too).
    static void commitText(QWidget* edit, const QString& text) {
        edit->setFocus();
        QInputMethodEvent event;
        event.setCommitString(text);
        QApplication::sendEvent(edit, &event);
    }

    QTemporaryDir m_dir;
    const QString m_settingsPath = m_dir.filePath(QStringLiteral("Mirelune.ini"));
    QList<int> m_endings;
    bool m_network = false;
    const session::SessionConfig m_config = testsupport::loopbackConfig();
    std::function<void(FakeSessionService&)> m_configure; // applied to every in-memory service
    std::unique_ptr<testsupport::BoxAnswerer> m_answerer;
    QList<Qt::CursorShape> m_cursorWhileListing; // the cursor during each in-memory listing
    std::unique_ptr<frmSet> m_wizard;
    std::vector<std::unique_ptr<session::SessionService>> m_otherCopies;
};
