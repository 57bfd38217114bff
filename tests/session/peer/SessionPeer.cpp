// A copy of the session service driven through stdin and reporting on stdout, for
// tests that need several processes (and network namespaces).
//
//   session_peer host|join --room NAME --name NAME [--password P] [--discovery-port N]
//                [--first-port N] [--last-port N] [--loopback-only] [--heartbeat-ms N]
//
// Prints HOSTING <port>, JOINED, PLAYER <id>, MSG <from> <to> <text>,
// SYS <type> <id> <name>, SENT, SENDFAIL <code>, ERROR <code> <text>.
// Reads lines: "send <to> <text>", "quit".
#include "session/NetworkSessionService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

using namespace session;

namespace {

void say(const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

[[noreturn]] void die(const Error& error) {
    say(QStringLiteral("ERROR %1 %2").arg(error.code, 0, 16).arg(error.description));
    std::_Exit(2);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("mode"), QStringLiteral("host or join"));
    const QCommandLineOption room(QStringLiteral("room"), QStringLiteral("room name"), QStringLiteral("name"));
    const QCommandLineOption name(QStringLiteral("name"), QStringLiteral("handle name"), QStringLiteral("name"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("password"), QStringLiteral("p"));
    const QCommandLineOption discovery(QStringLiteral("discovery-port"), QStringLiteral("port"), QStringLiteral("n"));
    const QCommandLineOption first(QStringLiteral("first-port"), QStringLiteral("port"), QStringLiteral("n"));
    const QCommandLineOption last(QStringLiteral("last-port"), QStringLiteral("port"), QStringLiteral("n"));
    const QCommandLineOption heartbeat(QStringLiteral("heartbeat-ms"), QStringLiteral("ms"), QStringLiteral("n"));
    const QCommandLineOption loopback(QStringLiteral("loopback-only"), QStringLiteral("list on loopback only"));
    parser.addOptions({room, name, password, discovery, first, last, heartbeat, loopback});
    parser.process(app);

    SessionConfig config;
    if (parser.isSet(discovery)) {
        config.discoveryPort = static_cast<quint16>(parser.value(discovery).toUInt());
    }
    if (parser.isSet(first)) {
        config.firstHostPort = static_cast<quint16>(parser.value(first).toUInt());
    }
    if (parser.isSet(last)) {
        config.lastHostPort = static_cast<quint16>(parser.value(last).toUInt());
    }
    if (parser.isSet(heartbeat)) {
        config.heartbeatInterval = std::chrono::milliseconds(parser.value(heartbeat).toInt());
        config.heartbeatTimeout = config.heartbeatInterval * 3;
    }
    config.loopbackDiscoveryOnly = parser.isSet(loopback);
    config.listTimeout = std::chrono::milliseconds(600);

    NetworkSessionService service(config);
    const Connection lan = service.listConnections().value().item(1).value();
    if (const Status status = service.initialize(lan); !status) {
        die(status.error());
    }
    RoomDescription description;
    description.applicationId = QString::fromUtf16(kApplicationId);
    description.name = parser.value(room);
    description.password = parser.value(password);
    const bool hosting = parser.positionalArguments().value(0) == QStringLiteral("host");
    if (hosting) {
        description.numericAttribute = 4;
        if (const Status status = service.openRoom(description, OpenMode::CreateAndHost); !status) {
            die(status.error());
        }
        say(QStringLiteral("HOSTING %1").arg(service.hostingPort()));
    } else {
        std::optional<RoomDescription> found;
        for (int attempt = 0; attempt < 20 && !found; ++attempt) {
            const auto rooms = service.listRooms(description, 0);
            if (!rooms) {
                die(rooms.error());
            }
            for (const RoomDescription& candidate : rooms->items()) {
                if (candidate.name == description.name) {
                    found = candidate;
                    break;
                }
            }
        }
        if (!found) {
            die(Error{1, QStringLiteral("room not found")});
        }
        found->password = description.password;
        if (const Status status = service.openRoom(*found, OpenMode::Join); !status) {
            die(status.error());
        }
        say(QStringLiteral("JOINED"));
    }

    QObject receiver;
    PlayerId self = 0;
    const qint32 handle = service.registerEventReceiver(&receiver, [&](qint32) {
        if (service.waitingMessageCount(self).valueOr(0) == 0) {
            return;
        }
        auto received = service.receive();
        if (!received) {
            return;
        }
        Message message = received->message;
        if (received->from == kSystemSender) {
            const qint32 type = message.readInt32().valueOr(0);
            (void)message.readInt32().ok();
            const qint32 id = message.readInt32().valueOr(0);
            say(QStringLiteral("SYS %1 %2 %3").arg(type).arg(id).arg(service.playerName(id).valueOr(QString())));
        } else {
            (void)message.readInt32().ok();
            say(QStringLiteral("MSG %1 %2 %3")
                    .arg(received->from)
                    .arg(received->to)
                    .arg(message.readString().valueOr(QString())));
        }
    });
    const auto id = service.createLocalPlayer(
        parser.value(name), hosting ? QStringLiteral("Player 1 (Host)") : QStringLiteral("Player"), handle, 0);
    if (!id) {
        die(id.error());
    }
    self = *id;
    say(QStringLiteral("PLAYER %1").arg(self));

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, count);
        qsizetype newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(newline));
            pending.remove(0, newline + 1);
            if (line == QStringLiteral("quit")) {
                service.close();
                QTimer::singleShot(100, &app, &QCoreApplication::quit);
            } else if (line.startsWith(QStringLiteral("send "))) {
                const QStringList parts = line.split(u' ');
                Message message;
                message.writeInt32(0);
                message.writeString(parts.mid(2).join(u' '));
                const Status sent = service.send(self, parts.value(1).toInt(), message);
                say(sent ? QStringLiteral("SENT") : QStringLiteral("SENDFAIL %1").arg(sent.error().code, 0, 16));
            }
        }
    });
    return QCoreApplication::exec();
}
