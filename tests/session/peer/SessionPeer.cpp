// A copy of the session service in a process of its own, for the tests that kill
// processes or read the host's memory:
//
//   session_peer host|join NAME DISCOVERY-PORT FIRST-HOST-PORT LAST-HOST-PORT
//
// Hosts, or joins, the room "room" (discovery on loopback only) as the player NAME.
// Prints HOSTING <port> or JOINED, then PLAYER <id>; MSG <from> <to> <text> and
// SYS <type> <id> <name> for what arrives; SENT or SENDFAIL <code> for every line
// "send <to> <text>" read from standard input; ERROR <code> <text> when it fails.
// Ends with its standard input.
#include "session/NetworkSessionService.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <optional>
#include <unistd.h>

using namespace session;
using namespace Qt::StringLiterals;

namespace {

void say(const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

[[noreturn]] void die(const Error& error) {
    say(u"ERROR %1 %2"_s.arg(error.code, 0, 16).arg(error.description));
    std::_Exit(2);
}

void check(const Status& status) {
    if (!status) {
        die(status.error());
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 6) {
        die(Error{1, u"usage: session_peer host|join NAME DISCOVERY-PORT FIRST-HOST-PORT LAST-HOST-PORT"_s});
    }
    SessionConfig config;
    config.discoveryPort = static_cast<quint16>(arguments[3].toUInt());
    config.firstHostPort = static_cast<quint16>(arguments[4].toUInt());
    config.lastHostPort = static_cast<quint16>(arguments[5].toUInt());
    config.loopbackDiscoveryOnly = true;
    config.listTimeout = std::chrono::milliseconds(600);

    NetworkSessionService service(config);
    check(service.initialize(service.listConnections().value().item(1).value()));
    RoomDescription room;
    room.applicationId = QString::fromUtf16(kApplicationId);
    room.name = u"room"_s;
    const bool hosting = arguments[1] == u"host"_s;
    if (hosting) {
        room.numericAttribute = 4;
        check(service.openRoom(room, OpenMode::CreateAndHost));
        say(u"HOSTING %1"_s.arg(service.hostingPort()));
    } else {
        // A room opened a moment ago may miss the first listings.
        std::optional<RoomDescription> found;
        for (int attempt = 0; attempt < 20 && !found; ++attempt) {
            const auto rooms = service.listRooms(room, 0);
            if (!rooms) {
                die(rooms.error());
            }
            for (const RoomDescription& candidate : rooms->items()) {
                if (candidate.name == room.name) {
                    found = candidate;
                }
            }
        }
        if (!found) {
            die(Error{1, u"room not found"_s});
        }
        check(service.openRoom(*found, OpenMode::Join));
        say(u"JOINED"_s);
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
        const qint32 type = message.readInt32().valueOr(0); // the chat kind of a message
        if (received->from == kSystemSender) {
            (void)message.readInt32().ok();
            const qint32 id = message.readInt32().valueOr(0);
            say(u"SYS %1 %2 %3"_s.arg(type).arg(id).arg(service.playerName(id).valueOr(QString())));
        } else {
            say(u"MSG %1 %2 %3"_s.arg(received->from).arg(received->to).arg(message.readString().valueOr(QString())));
        }
    });
    const auto id = service.createLocalPlayer(arguments[2], hosting ? u"Player 1 (Host)"_s : u"Player"_s, handle, 0);
    if (!id) {
        die(id.error());
    }
    self = *id;
    say(u"PLAYER %1"_s.arg(self));

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            service.close();
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, count);
        qsizetype newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            const QStringList parts = QString::fromUtf8(pending.left(newline)).split(u' ');
            pending.remove(0, newline + 1);
            if (parts.value(0) == u"send"_s) {
                Message message;
                message.writeInt32(0);
                message.writeString(parts.mid(2).join(u' '));
                const Status sent = service.send(self, parts.value(1).toInt(), message);
                say(sent ? u"SENT"_s : u"SENDFAIL %1"_s.arg(sent.error().code, 0, 16));
            }
        }
    });
    return QCoreApplication::exec();
}
