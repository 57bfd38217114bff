#include "RoomClient.h"

#include "ConsoleIo.h"
#include "chat/ChatTexts.h"
#include "platform/ProgramFolder.h"
#include "session/SessionErrors.h"
#include "session/nats/NatsCluster.h"
#include "session/net/RoomAddress.h"
#include "session/wire/DiscoveryDatagram.h"

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

namespace room {

namespace {

constexpr quint16 kDefaultInternetPort = 47811;
constexpr int kGoodbyeWaitMs = 1000;

QString errorText(const session::Error& error) {
    return QStringLiteral("%1 (0x%2)").arg(error.description).arg(error.code, 8, 16, QLatin1Char('0'));
}

// "/w NAME text" or, for a name with spaces, "/w "NAME" text": the name and the text.
std::pair<QString, QString> splitWhisper(const QString& rest) {
    if (rest.startsWith(u'"')) {
        const qsizetype close = rest.indexOf(u'"', 1);
        if (close > 0) {
            const QString text = rest.mid(close + 1);
            return {rest.mid(1, close - 1), text.startsWith(u' ') ? text.mid(1) : text};
        }
    }
    const qsizetype space = rest.indexOf(u' ');
    return {space < 0 ? rest : rest.left(space), space < 0 ? QString() : rest.mid(space + 1)};
}

} // namespace

SilentSounds::SilentSounds() {
    const QDir folder(platform::dataFolder() + QStringLiteral("/Sounds"));
    m_count = static_cast<int>(folder.entryList({QStringLiteral("*.wav")}, QDir::Files, QDir::Name).size());
}

void ConsoleView::setMessageTag(const QString& caption) {
    if (caption != chat::texts::messageTagAtRest()) {
        printError(caption);
    }
}

void ConsoleView::showMessageBox(const QString& text) {
    // The tool says that the room ended in a line of its own, and exits.
    if (text == chat::texts::roomEnded()) {
        return;
    }
    if (text == chat::texts::sendFailed()) {
        // Each line that failed is named: the one being sent now, or those given
        // back just before this box (restoreEntry).
        if (!m_lineBeingSent.isEmpty()) {
            printError(text + QStringLiteral(": ") + m_lineBeingSent);
        }
        return;
    }
    printError(text);
}

void ConsoleView::restoreEntry(const QString& text) {
    for (const QString& line : text.split(u'\n')) {
        printError(chat::texts::sendFailed() + QStringLiteral(": ") + line);
    }
}

RoomClient::RoomClient(Options options, QObject* parent)
    : QObject(parent),
      m_options(std::move(options)),
      m_service(m_options.config),
      m_controller(m_service, m_sounds, m_view),
      m_files(m_service, m_options.downloads, m_options.acceptFiles) {
    transfer::FileTransfers& files = m_files.engine();
    files.setLargestFile(m_options.largestFileMb * 1024 * 1024);
    m_controller.setFileHooks(
        {[&files](session::PlayerId from, session::PlayerId to, const session::Message& payload) {
             return files.offerReceived(from, to, payload);
         },
         [&files](session::PlayerId id) { files.playerLeft(id); }, [&files] { files.roomEnded(); },
         [&files](session::PlayerId, const session::Message& payload) { files.offerUndelivered(payload); }});
    m_service.setAddressPrompt([this]() -> std::optional<QString> { return m_options.address; });
    m_service.setServersPrompt([this]() -> std::optional<QString> { return m_options.nats; });
    // The router's answer comes a moment after the room opened: one more line.
    connect(&m_service, &session::SessionService::portMappingChanged, this, [this] {
        const session::PortMappingState mapping = m_service.portMapping();
        if (mapping.stage == session::PortMappingState::Stage::Mapped) {
            printError(QStringLiteral("room \"%1\" is reachable from the Internet at %2:%3 (port mapped by the router)")
                           .arg(m_options.room, mapping.externalAddress, QString::number(mapping.externalPort)));
        } else if (mapping.stage == session::PortMappingState::Stage::Failed) {
            printError(QStringLiteral("no port mapping by the router: ") + mapping.reason);
        }
    });
    // What was said before this member came is told apart: each of its lines (the
    // separator's, and every line of a message of several) opens with a tab, which no
    // other line printed here does.
    connect(&m_controller.log(), &chat::ChatLog::lineAdded, this, [this](const QString& line) {
        if (!m_controller.addingHistory()) {
            printLine(line);
            return;
        }
        QString marked = u'\t' + line;
        marked.replace(QStringLiteral("\r\n"), QStringLiteral("\r\n\t"));
        printLine(marked);
    });
    // Whatever ended the room, once everything before it has been printed.
    connect(&m_service, &session::SessionService::roomLost, this, &RoomClient::checkRoomEnded);
}

RoomClient::~RoomClient() {
    if (OutputWriter* output = OutputWriter::instance()) {
        output->setRelievedCallback(nullptr);
    }
    leave();
}

void RoomClient::onMessageWaiting(qint32 eventId) {
    const OutputWriter* output = OutputWriter::instance();
    if (m_heldEvents > 0 || (output && output->congested())) {
        ++m_heldEvents;
        return;
    }
    m_controller.DirectXEvent_DXCallBack(eventId);
    checkRoomEnded();
}

void RoomClient::takeHeldMessages() {
    const OutputWriter* output = OutputWriter::instance();
    for (; m_heldEvents > 0 && m_inRoom && !(output && output->congested()); --m_heldEvents) {
        m_controller.DirectXEvent_DXCallBack(m_eventHandle);
    }
    checkRoomEnded();
}

void RoomClient::checkRoomEnded() {
    // The leave notices and the lines that did not go out come first; then there is
    // nothing left to wait for in a room without a host.
    const auto ended = [this] {
        if (!m_inRoom || m_heldEvents > 0 || !m_service.roomEnded()) {
            return false;
        }
        const auto waiting = m_service.waitingMessageCount(m_controller.localPlayerId());
        return !waiting || *waiting == 0;
    };
    if (!ended()) {
        return;
    }
    // The chat core prints the lines it gives back from a queued call of its own: this
    // one comes after it.
    QMetaObject::invokeMethod(
        this,
        [this, ended] {
            if (ended()) {
                printError(QStringLiteral("the room has ended: its host is gone and no member could take it over"));
                Q_EMIT roomEnded();
            }
        },
        Qt::QueuedConnection);
}

int RoomClient::initialize() {
    const auto connections = m_service.listConnections();
    if (!connections) {
        printError(errorText(connections.error()));
        return kExitFailure;
    }
    const session::Connection::Kind wanted = !m_options.nats.isEmpty()     ? session::Connection::Kind::Nats
                                             : m_options.address.isEmpty() ? session::Connection::Kind::Lan
                                                                           : session::Connection::Kind::Internet;
    for (const session::Connection& connection : connections->items()) {
        if (connection.kind != wanted) {
            continue;
        }
        const session::Status initialized = m_service.initialize(connection);
        if (!initialized) {
            printError(QStringLiteral("cannot use the connection: ") + errorText(initialized.error()));
            return initialized.error().code == session::kErrorInvalidParameter ? kExitUsage : kExitFailure;
        }
        return kExitOk;
    }
    printError(QStringLiteral("this build offers no such connection"));
    return kExitFailure;
}

int RoomClient::list() {
    if (const int code = initialize(); code != kExitOk) {
        return code;
    }
    session::RoomDescription query;
    query.applicationId = QString::fromUtf16(session::kApplicationId);
    query.password = m_options.password;
    const auto rooms = m_service.listRooms(query, 0);
    if (!rooms) {
        printError(QStringLiteral("cannot list the rooms: ") + errorText(rooms.error()));
        return kExitFailure;
    }
    for (const session::RoomDescription& room : rooms->items()) {
        // A room on a cluster is not at an address of its own: its id on the cluster.
        QString line =
            room.name + u'\t' +
            (room.hostAddress.isEmpty() ? QString(QStringLiteral("nats:") + QString::fromLatin1(room.instanceId))
                                        : QString(room.hostAddress + u':' + QString::number(room.hostPort)));
        if (room.passwordProtected) {
            line += QStringLiteral("\tpassword");
        }
        printLine(line);
    }
    return kExitOk;
}

int RoomClient::host() {
    if (const int code = initialize(); code != kExitOk) {
        return code;
    }
    session::RoomDescription room;
    room.applicationId = QString::fromUtf16(session::kApplicationId);
    room.name = m_options.room;
    room.password = m_options.password;
    room.numericAttribute = 4;
    const session::Status opened = m_service.openRoom(room, session::OpenMode::CreateAndHost);
    if (!opened) {
        printError(QStringLiteral("cannot host the room: ") + errorText(opened.error()));
        return opened.error().code == session::kErrorInvalidName ? kExitUsage : kExitFailure;
    }
    printKeyNotice();
    const int entered = enterRoom();
    if (entered == kExitOk && !m_options.nats.isEmpty()) {
        printError(QStringLiteral("room \"%1\" is open on the NATS cluster at %2")
                       .arg(m_options.room, session::withoutNatsPasswords(m_options.nats)));
    } else if (entered == kExitOk) {
        // Where others reach it, as the window's version panel shows it: LAN first.
        const quint16 port = m_service.hostingPort();
        printError(
            QStringLiteral("room \"%1\" is open on port %2 at %3")
                .arg(m_options.room, QString::number(port), session::roomAddresses(port).join(QStringLiteral(", "))));
    }
    printFingerprint(entered);
    return entered;
}

std::optional<session::RoomDescription> RoomClient::findRoom(int& exitCode) {
    session::RoomDescription query;
    query.applicationId = QString::fromUtf16(session::kApplicationId);
    query.password = m_options.password;
    const auto rooms = m_service.listRooms(query, 0);
    if (!rooms) {
        printError(QStringLiteral("cannot list the rooms: ") + errorText(rooms.error()));
        exitCode = kExitFailure;
        return std::nullopt;
    }
    for (const session::RoomDescription& room : rooms->items()) {
        if (m_options.room.isEmpty() || room.name == m_options.room) {
            session::RoomDescription found = room;
            found.password = m_options.password;
            return found;
        }
    }
    if (m_options.address.isEmpty() || !m_options.room.isEmpty() || !m_options.nats.isEmpty()) {
        printError(QStringLiteral("room not found: ") + m_options.room +
                   (m_options.password.isEmpty() ? QString() : QStringLiteral(" (or its password differs)")));
        exitCode = kExitRoomNotFound;
        return std::nullopt;
    }
    // A room with a password is listed only to whoever knows it; knock at the
    // address directly, so that a wrong password is told apart from no room.
    const auto target = session::parseHostAndPort(m_options.address, kDefaultInternetPort);
    if (!target) {
        printError(QStringLiteral("not a host address: ") + m_options.address);
        exitCode = kExitUsage;
        return std::nullopt;
    }
    session::RoomDescription direct = query;
    direct.hostAddress = target->host;
    direct.hostPort = target->port;
    return direct;
}

int RoomClient::join() {
    if (const int code = initialize(); code != kExitOk) {
        return code;
    }
    int code = kExitOk;
    const std::optional<session::RoomDescription> room = findRoom(code);
    if (!room) {
        return code;
    }
    // The room's key is judged before the player is created: the one expected, else the
    // one an earlier join met.
    bool keyRefused = false;
    m_service.setRoomKeyCheck([this, &keyRefused](const session::RoomKeySeen& seen) {
        const auto compact = [](QString fingerprint) { return fingerprint.toUpper().remove(u'-').remove(u' '); };
        if (!m_options.expectFingerprint.isEmpty() &&
            compact(m_options.expectFingerprint) != compact(seen.fingerprint)) {
            printError(QStringLiteral("the room's key has the fingerprint %1, not the expected %2; not joined")
                           .arg(seen.fingerprint, m_options.expectFingerprint));
            keyRefused = true;
            return false;
        }
        if (m_options.expectFingerprint.isEmpty() && seen.changed()) {
            printError(QStringLiteral("another computer answers for the room \"%1\": its key has the fingerprint %2, "
                                      "not %3 as before; not joined (to join it, give --expect-fingerprint %2)")
                           .arg(seen.roomName, seen.fingerprint, seen.pinnedFingerprint));
            keyRefused = true;
            return false;
        }
        return true;
    });
    const session::Status opened = m_service.openRoom(*room, session::OpenMode::Join);
    if (!opened && keyRefused) {
        return kExitRoomKey;
    }
    if (opened) {
        printKeyNotice();
    }
    if (!opened) {
        const quint32 error = opened.error().code;
        if (error == session::kErrorAccessDenied) {
            printError(QStringLiteral("wrong password: ") + errorText(opened.error()));
            return kExitWrongPassword;
        }
        printError(QStringLiteral("cannot join the room: ") + errorText(opened.error()));
        return error == session::kErrorConnectFailed ? kExitRoomNotFound : kExitFailure;
    }
    const int entered = enterRoom();
    if (entered == kExitOk && !m_options.nats.isEmpty()) {
        printError(QStringLiteral("joined room \"%1\" on the NATS cluster at %2")
                       .arg(room->name, session::withoutNatsPasswords(m_options.nats)));
    } else if (entered == kExitOk) {
        const QString name = room->name.isEmpty() ? m_options.room : room->name;
        const QString where = room->hostAddress.contains(u':') ? u'[' + room->hostAddress + u']' : room->hostAddress;
        printError(
            (name.isEmpty() ? QStringLiteral("joined the room") : QStringLiteral("joined room \"%1\"").arg(name)) +
            QStringLiteral(" at %1:%2").arg(where, QString::number(room->hostPort)));
    }
    printFingerprint(entered);
    return entered;
}

void RoomClient::printKeyNotice() {
    if (const QString notice = m_service.takeKeyNotice(); !notice.isEmpty()) {
        printError(notice);
    }
}

void RoomClient::printFingerprint(int entered) {
    // One line a script can read, after the one saying where the room is: the word, a
    // space, the fingerprint.
    if (const QString fingerprint = m_service.roomFingerprint(); entered == kExitOk && !fingerprint.isEmpty()) {
        printError(QStringLiteral("fingerprint ") + fingerprint);
    }
}

int RoomClient::enterRoom() {
    // Messages for the local player wait in the service while standard output is
    // congested (see OutputWriter); the room's relay goes on meanwhile.
    m_eventHandle = m_service.registerEventReceiver(this, [this](qint32 eventId) { onMessageWaiting(eventId); });
    if (OutputWriter* output = OutputWriter::instance()) {
        output->setRelievedCallback(
            [this] { QMetaObject::invokeMethod(this, &RoomClient::takeHeldMessages, Qt::QueuedConnection); });
    }
    const auto id = m_service.createLocalPlayer(m_options.name, QString(), m_eventHandle, 0);
    if (!id) {
        const bool refused = id.error().code == session::kErrorInvalidName;
        printError((refused ? QStringLiteral("name refused: ") : QStringLiteral("cannot enter the room: ")) +
                   errorText(id.error()));
        return refused ? kExitNameRefused : kExitFailure;
    }
    m_inRoom = true;
    m_controller.setLocalPlayer(*id, m_options.name);
    m_files.setLocalPlayer(*id);
    m_controller.UpdateRoster();
    return kExitOk;
}

void RoomClient::sendLine(const QString& line) {
    if (!m_inRoom || line.isEmpty()) {
        return;
    }
    // A line typed once the room has ended here (while its end is being told) reaches
    // nobody, and says so like any other.
    if (m_service.roomEnded()) {
        printError(chat::texts::sendFailed() + QStringLiteral(": ") + line);
        return;
    }
    m_view.setLineBeingSent(line);
    sendTyped(line);
    m_view.setLineBeingSent(QString());
}

void RoomClient::sendTyped(const QString& line) {
    if (m_files.command(line)) {
        return;
    }
    if (line.startsWith(QStringLiteral("/w "))) {
        const auto [name, text] = splitWhisper(line.mid(3));
        const chat::Roster& roster = m_controller.roster();
        int index = -1;
        for (int i = 0; i < roster.count() && index < 0; ++i) {
            if (roster.entry(i).name == name && roster.entry(i).id != m_controller.localPlayerId()) {
                index = i;
            }
        }
        if (index < 0) {
            printError(QStringLiteral("no other member is named ") + name);
            return;
        }
        if (text.startsWith(QStringLiteral("/send "))) {
            m_files.send(text.mid(6).trimmed(), roster.entry(index).id);
            return;
        }
        m_controller.lstRoster_Click(index);
        m_controller.cmdWhisper_Click(text);
        return;
    }
    m_controller.cmdSend_Click(line);
}

void RoomClient::leave() {
    if (!m_inRoom) {
        m_service.close();
        return;
    }
    m_inRoom = false;
    m_heldEvents = 0;
    static_cast<void>(m_service.destroyPlayer(m_controller.localPlayerId()));
    m_service.unregisterEventReceiver(m_eventHandle);
    m_controller.detachService();
    m_service.close();
    // Let the goodbye frames go out before the process ends.
    const QDeadlineTimer deadline(kGoodbyeWaitMs);
    while (!deadline.hasExpired()) {
        bool writing = false;
        for (const QAbstractSocket* socket : m_service.findChildren<QAbstractSocket*>()) {
            writing = writing || socket->state() != QAbstractSocket::UnconnectedState;
        }
        if (!writing) {
            break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

} // namespace room
