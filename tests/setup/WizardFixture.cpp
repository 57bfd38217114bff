#include "WizardFixture.h"

#include "common/LoopbackSession.h"
#include "common/TestSupport.h"
#include "platform/ProfileFile.h"
#include "session/NetworkSessionService.h"
#include "setup/basGlobal.h"

#include <QApplication>
#include <QCursor>
#include <QInputMethodEvent>

using namespace Qt::StringLiterals;

namespace {

// A network service whose player creation can be made to fail.
class NetworkServiceUnderTest : public session::NetworkSessionService {
public:
    NetworkServiceUnderTest(const session::SessionConfig& config, std::optional<session::Error> playerError)
        : NetworkSessionService(config), m_playerError(std::move(playerError)) {}

    session::Result<session::PlayerId> createLocalPlayer(const QString& name, const QString& secondName,
                                                         qint32 eventHandle, qint32 flags) override {
        if (m_playerError) {
            return platform::Failure<session::Error>{*m_playerError};
        }
        return NetworkSessionService::createLocalPlayer(name, secondName, eventHandle, flags);
    }

private:
    std::optional<session::Error> m_playerError;
};

session::Connection lanOf(session::SessionService& service) {
    const auto connections = service.listConnections();
    EXPECT_TRUE(connections.ok());
    return connections.ok() && connections->count() > 0 ? connections->item(1).value() : session::Connection{};
}

} // namespace

void WizardTest::SetUp() {
    ASSERT_TRUE(m_dir.isValid());
    QApplication::setQuitOnLastWindowClosed(false);
    basGlobal::ResetSessionState();
    FakeSessionService::network().clear();
    m_endings.clear();
    m_settingsPath = m_dir.filePath(u"Mirelune.ini"_s);
    basGlobal::settingsPath = m_settingsPath;
    basGlobal::endProgramHook = [this](int code) { m_endings.append(code); };
    basGlobal::loginNameSource = [] { return std::optional<QString>(u"tester"_s); };
    basGlobal::serviceFactory = [this]() -> std::unique_ptr<session::SessionService> {
        if (m_network) {
            return std::make_unique<NetworkServiceUnderTest>(m_config, m_playerError);
        }
        auto service = std::make_unique<FakeSessionService>();
        service->whileListing = [this] {
            const QCursor* cursor = QApplication::overrideCursor();
            m_cursorWhileListing.append(cursor != nullptr ? cursor->shape() : Qt::ArrowCursor);
        };
        if (m_configure) {
            m_configure(*service);
        }
        if (m_playerError) {
            service->createPlayerError = m_playerError;
        }
        m_services.append(service.get());
        return service;
    };
    m_answerer = std::make_unique<testsupport::BoxAnswerer>();
}

void WizardTest::TearDown() {
    m_wizard.reset();
    basGlobal::ResetSessionState();
    m_otherCopies.clear();
    m_answerer.reset();
    // Deleting a chat window takes its own top-level children (boxes, menus) with it,
    // so every window is watched while the list is worked through.
    QList<QPointer<QWidget>> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        windows.append(window);
    }
    for (const QPointer<QWidget>& window : std::as_const(windows)) {
        if (!window.isNull() && window->objectName() == u"frmMain"_s) {
            delete window.data();
        }
    }
}

void WizardTest::writeSettings(const QByteArray& lines) {
    testsupport::writeAll(m_settingsPath, lines);
}

std::optional<QString> WizardTest::setting(const QString& key) const {
    const QString absent = u"<absent>"_s;
    const QString value = platform::ProfileFile(m_settingsPath).read(u"General"_s, key, absent);
    return value == absent ? std::nullopt : std::optional<QString>(value);
}

frmSet& WizardTest::loadWizard(bool expectLoaded) {
    m_wizard = std::make_unique<frmSet>();
    EXPECT_EQ(m_wizard->Form_Load(), expectLoaded);
    if (expectLoaded) {
        m_wizard->show();
    }
    return *m_wizard;
}

frmSet& WizardTest::wizardOnRoomPage(const QString& name) {
    writeSettings("[General]\r\nShowGreet=1\r\n");
    frmSet& wizard = loadWizard();
    wizard.txtYourName->setText(name);
    wizard.cmdNext_Click();
    EXPECT_EQ(wizard.page(), 2);
    return wizard;
}

FakeSessionService* WizardTest::currentService() const {
    return dynamic_cast<FakeSessionService*>(basGlobal::sessionService.get());
}

void WizardTest::useNetwork() {
    m_network = true;
    m_config = testsupport::loopbackConfig();
}

void WizardTest::hostRoom(const QString& name, const QString& password) {
    session::RoomDescription room;
    room.applicationId = QString::fromUtf16(session::kApplicationId);
    room.name = name;
    room.password = password;
    room.numericAttribute = 4;
    std::unique_ptr<session::SessionService> host;
    if (m_network) {
        host = std::make_unique<session::NetworkSessionService>(m_config);
        ASSERT_TRUE(host->initialize(lanOf(*host)).ok());
    } else {
        host = std::make_unique<FakeSessionService>();
    }
    ASSERT_TRUE(host->openRoom(room, session::OpenMode::CreateAndHost).ok());
    ASSERT_TRUE(host->createLocalPlayer(u"ホスト"_s, u"Player 1 (Host)"_s, 0, 0).ok());
    m_otherCopies.push_back(std::move(host));
}

QStringList WizardTest::roomsSeenByAnotherCopy(const QString& password) {
    std::unique_ptr<session::SessionService> observer;
    if (m_network) {
        observer = std::make_unique<session::NetworkSessionService>(m_config);
    } else {
        observer = std::make_unique<FakeSessionService>();
    }
    EXPECT_TRUE(observer->initialize(lanOf(*observer)).ok());
    session::RoomDescription query;
    query.applicationId = QString::fromUtf16(session::kApplicationId);
    query.password = password;
    const auto rooms = observer->listRooms(query, 0);
    EXPECT_TRUE(rooms.ok());
    QStringList names;
    if (rooms.ok()) {
        for (const session::RoomDescription& room : rooms->items()) {
            names.append(room.name);
        }
    }
    observer->close();
    return names;
}

void WizardTest::commitText(QWidget* edit, const QString& text) {
    edit->setFocus();
    QInputMethodEvent event;
    event.setCommitString(text);
    QApplication::sendEvent(edit, &event);
}
