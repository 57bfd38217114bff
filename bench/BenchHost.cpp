// mirelune-bench-host: the hosting side of the network session service, headless, for
// the load program; and a timer of LAN room listings.
//
//   mirelune-bench-host host --port N [--discovery-port N] [--room NAME] [--player]
//       hosts a room on the given TCP port until SIGTERM or SIGINT. --player adds the
//       hosting copy's own player, which reads every message as the chat window does.
//   mirelune-bench-host list [--discovery-port N] [--expect N] [--repeat N]
//       lists the rooms of this machine N times and prints the durations as JSON.
#include "session/NetworkSessionService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace session;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(g_signalPipe[1], &byte, 1);
}

SessionConfig configFor(const QCommandLineParser& parser, const QCommandLineOption& discoveryPort) {
    SessionConfig config;
    config.loopbackDiscoveryOnly = true;
    // A room of load members measures relaying: nobody joins it to read back.
    config.serveHistory = false;
    if (parser.isSet(discoveryPort)) {
        config.discoveryPort = static_cast<quint16>(parser.value(discoveryPort).toUInt());
    }
    return config;
}

bool initializeLan(NetworkSessionService& service) {
    const auto connections = service.listConnections();
    return connections && connections->count() > 0 && service.initialize(connections->item(1).value());
}

int host(const QCommandLineParser& parser, SessionConfig config, const QString& roomName, bool withPlayer) {
    const quint16 port = static_cast<quint16>(parser.value(QStringLiteral("port")).toUInt());
    if (port != 0) {
        config.firstHostPort = port;
        config.lastHostPort = port;
    }
    NetworkSessionService service(config);
    if (!initializeLan(service)) {
        std::fprintf(stderr, "mirelune-bench-host: cannot initialise the LAN connection\n");
        return 1;
    }
    RoomDescription room;
    room.applicationId = QString::fromUtf16(kApplicationId);
    room.name = roomName;
    room.numericAttribute = 4;
    const Status opened = service.openRoom(room, OpenMode::CreateAndHost);
    if (!opened) {
        std::fprintf(stderr, "mirelune-bench-host: %s\n", qPrintable(opened.error().description));
        return 1;
    }
    QObject reader;
    if (withPlayer) {
        const qint32 handle = service.registerEventReceiver(&reader, [&service](qint32) { (void)service.receive(); });
        if (!service.createLocalPlayer(QStringLiteral("host"), QString(), handle, 0)) {
            std::fprintf(stderr, "mirelune-bench-host: cannot create the host's player\n");
            return 1;
        }
    }
    std::printf("HOSTING %u\n", service.hostingPort());
    std::fflush(stdout);

    if (pipe(g_signalPipe) != 0) {
        return 1;
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &service, [] { QCoreApplication::quit(); });
    const int code = QCoreApplication::exec();
    service.close();
    return code;
}

int list(const QCommandLineParser& parser, const SessionConfig& config) {
    const int expect = parser.value(QStringLiteral("expect")).toInt();
    const int repeat = std::max(1, parser.value(QStringLiteral("repeat")).toInt());
    std::vector<double> durations;
    int found = -1;
    for (int i = 0; i < repeat; ++i) {
        NetworkSessionService service(config);
        if (!initializeLan(service)) {
            return 1;
        }
        RoomDescription query;
        query.applicationId = QString::fromUtf16(kApplicationId);
        QElapsedTimer timer;
        timer.start();
        const auto rooms = service.listRooms(query, 0);
        durations.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        const int count = rooms ? rooms->count() : -1;
        found = found < 0 ? count : std::min(found, count);
    }
    std::sort(durations.begin(), durations.end());
    std::printf("{\"rooms_expected\":%d,\"rooms_found_min\":%d,\"repeat\":%d,\"median_ms\":%.1f,\"min_ms\":%.1f,"
                "\"max_ms\":%.1f}\n",
                expect, found, repeat, durations[durations.size() / 2], durations.front(), durations.back());
    return found >= expect ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("host or list"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("TCP port of the room"), QStringLiteral("N"));
    const QCommandLineOption discoveryPort(QStringLiteral("discovery-port"), QStringLiteral("UDP discovery port"),
                                           QStringLiteral("N"));
    const QCommandLineOption room(QStringLiteral("room"), QStringLiteral("room name"), QStringLiteral("NAME"),
                                  QStringLiteral("load"));
    const QCommandLineOption player(QStringLiteral("player"), QStringLiteral("add the host's own player"));
    const QCommandLineOption expect(QStringLiteral("expect"), QStringLiteral("rooms a listing must find"),
                                    QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption repeat(QStringLiteral("repeat"), QStringLiteral("listings to time"), QStringLiteral("N"),
                                    QStringLiteral("5"));
    parser.addOptions({port, discoveryPort, room, player, expect, repeat});
    parser.process(app);
    const QString command = parser.positionalArguments().value(0);
    const SessionConfig config = configFor(parser, discoveryPort);
    if (command == u"host") {
        return host(parser, config, parser.value(room), parser.isSet(player));
    }
    if (command == u"list") {
        return list(parser, config);
    }
    std::fprintf(stderr, "usage: mirelune-bench-host host|list [options]; see --help\n");
    return 2;
}
