#include "setup/basGlobal.h"

#include "platform/LoginName.h"
#include "platform/ProgramFolder.h"
#include "session/NetworkSessionService.h"
#include "session/nats/NatsCluster.h"
#include "setup/HostAddressPrompt.h"
#include "setup/JapaneseMessageBox.h"
#include "setup/SetupLogging.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <optional>

using namespace Qt::StringLiterals;

namespace basGlobal {

namespace {

const QString kGeneral = u"General"_s;
const QString kAddressKey = u"Address"_s;
const QString kNatsServersKey = u"NatsServers"_s;

std::unique_ptr<session::SessionService> defaultService() {
    session::SessionConfig config;
    config.natsCredentialsFile = basGlobal::readSetting(u"NatsCredentials"_s, QString());
    // [Custom] RoomHistory=0: a room this copy hosts gives newcomers nothing of what
    // was said before they came. Absent, or any other value: it does.
    config.serveHistory = settingsFile().read(u"Custom"_s, u"RoomHistory"_s, u"1"_s).trimmed() != u"0"_s;
    // What a room this copy creates on a NATS cluster keeps; a value that is no whole
    // number in range leaves the default.
    const auto custom = [](const QString& key, qint64 most) -> std::optional<qint64> {
        bool ok = false;
        const qint64 value = settingsFile().read(u"Custom"_s, key, QString()).trimmed().toLongLong(&ok);
        return ok && value >= 1 && value <= most ? std::optional<qint64>(value) : std::nullopt;
    };
    if (const auto days = custom(u"NatsHistoryDays"_s, 3650)) {
        config.natsHistoryAge = std::chrono::hours(*days * 24);
    }
    if (const auto records = custom(u"NatsHistoryRecords"_s, 10'000'000)) {
        config.natsHistoryRecords = *records;
    }
    if (const auto megabytes = custom(u"NatsHistoryMegabytes"_s, 1024 * 1024)) {
        config.natsHistoryBytes = *megabytes * 1024 * 1024;
    }
    return std::make_unique<session::NetworkSessionService>(config);
}

void defaultEndProgram(int exitCode) {
    // Queued, so that it also ends a program whose event loop has not started yet.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [exitCode] { QCoreApplication::exit(exitCode); }, Qt::QueuedConnection);
}

bool s_programEnded = false;

} // namespace

std::unique_ptr<session::SessionService> sessionService;
session::OneBasedList<session::Connection> connectionList;
session::OneBasedList<session::RoomDescription> roomList;
session::PlayerId localPlayerId = 0;
QString localPlayerName;
QString roomName;
qint32 eventHandle = 0;
std::function<void(qint32)> eventReceiver;

ServiceFactory serviceFactory = defaultService;
std::function<void(int)> endProgramHook = defaultEndProgram;
QString settingsPath;
std::function<std::optional<QString>()> loginNameSource = platform::loginName;

bool InitSessionService() {
    if (sessionService) {
        CloseSessionService();
    }
    sessionService = serviceFactory ? serviceFactory() : nullptr;
    if (sessionService) {
        sessionService->setAddressPrompt([] { return setup::askHostAddress(); });
        sessionService->setServersPrompt([] { return setup::askNatsServers(); });
        auto connections = sessionService->listConnections();
        if (connections) {
            connectionList = std::move(connections).value();
            return true;
        }
        qCWarning(lcSetup) << "listing connections failed:" << connections.error().description;
        std::unique_ptr<session::SessionService> unusable = std::move(sessionService);
        unusable->close();
    }
    setup::JapaneseMessageBox::showOk(u"DirectPlayの初期化に失敗しました"_s);
    EndProgram(1);
    return false;
}

void CloseSessionService() {
    if (!sessionService) {
        return;
    }
    if (localPlayerId != 0) {
        const session::Status destroyed = sessionService->destroyPlayer(localPlayerId);
        if (!destroyed) {
            qCInfo(lcSetup) << "destroying the local player failed:" << destroyed.error().description;
        }
    }
    connectionList = {};
    roomList = {};
    // Take the service out of the state first: closing may deliver signals that look
    // at the state again.
    std::unique_ptr<session::SessionService> service = std::move(sessionService);
    service->close();
    eventHandle = 0;
}

bool RestartSessionService(const session::Connection& connection) {
    const session::PlayerId keptPlayerId = localPlayerId;
    localPlayerId = 0;
    CloseSessionService();
    localPlayerId = keptPlayerId;
    sessionService = serviceFactory ? serviceFactory() : nullptr;
    if (!sessionService) {
        return false;
    }
    // The address was asked for a moment ago; asking again would only puzzle.
    sessionService->setAddressPrompt([]() -> std::optional<QString> { return lastHostAddress(); });
    sessionService->setServersPrompt([]() -> std::optional<QString> { return lastNatsServers(); });
    auto connections = sessionService->listConnections();
    if (connections) {
        connectionList = std::move(connections).value();
    }
    const session::Status initialized = sessionService->initialize(connection);
    if (!initialized) {
        qCWarning(lcSetup) << "initialising the connection again failed:" << initialized.error().description;
    }
    sessionService->setAddressPrompt([] { return setup::askHostAddress(); });
    sessionService->setServersPrompt([] { return setup::askNatsServers(); });
    return initialized.ok();
}

qint32 RegisterEventReceiver() {
    if (!sessionService) {
        return 0;
    }
    // The service itself bounds the registration: events stop when it is released.
    eventHandle = sessionService->registerEventReceiver(sessionService.get(), [](qint32 eventId) {
        if (eventReceiver) {
            eventReceiver(eventId);
        }
    });
    return eventHandle;
}

void EndProgram(int exitCode) {
    s_programEnded = true;
    if (endProgramHook) {
        endProgramHook(exitCode);
    }
}

bool programEnded() {
    return s_programEnded;
}

platform::ProfileFile settingsFile() {
    return platform::ProfileFile(settingsPath.isEmpty() ? platform::settingsFilePath() : settingsPath);
}

QString readSetting(const QString& key, const QString& defaultValue) {
    return settingsFile().read(kGeneral, key, defaultValue);
}

void writeSetting(const QString& key, const QString& value) {
    platform::ProfileFile file = settingsFile();
    const platform::Status written = file.write(kGeneral, key, value);
    if (!written) {
        // Settings are a convenience: the program goes on without them.
        qCWarning(lcSetup) << "writing" << key << "to" << file.path() << "failed:" << written.error();
    }
}

QString lastHostAddress() {
    return readSetting(kAddressKey, QString());
}

namespace {
// As typed, passwords included: they are never written to the settings file.
QString typedNatsServers;
} // namespace

QString lastNatsServers() {
    return typedNatsServers.isEmpty() ? readSetting(kNatsServersKey, QString()) : typedNatsServers;
}

void rememberNatsServers(const QString& servers) {
    typedNatsServers = servers;
    writeSetting(kNatsServersKey, session::withoutNatsPasswords(servers));
}

void ResetSessionState() {
    localPlayerId = 0;
    CloseSessionService();
    localPlayerName.clear();
    roomName.clear();
    typedNatsServers.clear();
    eventHandle = 0;
    eventReceiver = nullptr;
    serviceFactory = defaultService;
    endProgramHook = defaultEndProgram;
    settingsPath.clear();
    loginNameSource = platform::loginName;
    s_programEnded = false;
}

} // namespace basGlobal
