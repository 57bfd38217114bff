#pragma once

#include "common/BoxAnswerer.h"
#include "common/FakeSessionService.h"
#include "session/SessionConfig.h"
#include "setup/frmSet.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <vector>

using testsupport::FakeSessionService;
using testsupport::SeenBox;

// Every wizard test gets its own settings file, fake services on a pretend network,
// a recorded program end and a fresh session state.
class WizardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void writeSettings(const QByteArray& lines);
    // The stored value, or nothing when the key is absent.
    std::optional<QString> setting(const QString& key) const;

    // Loads a wizard (and keeps it for the test).
    frmSet& loadWizard(bool expectLoaded = true);
    // Loads, walks to the room page with the given name.
    frmSet& wizardOnRoomPage(const QString& name = QStringLiteral("太郎"));

    FakeSessionService* currentService() const;
    // Hosts a room as another copy would: on the pretend network, or on loopback with
    // a real service once useNetwork() has run.
    void hostRoom(const QString& name, const QString& password = {});
    // The rooms another copy lists with `password`.
    QStringList roomsSeenByAnotherCopy(const QString& password = {});

    // From here on the wizard and the other copies use the network service, on
    // loopback ports of this test's own.
    void useNetwork();
    bool m_network = false;
    session::SessionConfig m_config;
    // Player creation fails with this error (fake and network service alike).
    std::optional<session::Error> m_playerError;
    // Types text as an input method commits it (works for Japanese too).
    static void commitText(QWidget* edit, const QString& text);

    QTemporaryDir m_dir;
    QString m_settingsPath;
    QList<int> m_endings;
    std::function<void(FakeSessionService&)> m_configure;
    QList<QPointer<FakeSessionService>> m_services;
    std::unique_ptr<testsupport::BoxAnswerer> m_answerer;
    // The mouse cursor during each listing of the in-memory service.
    QList<Qt::CursorShape> m_cursorWhileListing;
    std::unique_ptr<frmSet> m_wizard;
    std::vector<std::unique_ptr<session::SessionService>> m_otherCopies;
};
