// mirelune-file-load: a file through a hosted room, and the chat beside it. A host, a
// sender and a receiver are copies of mirelune-room (the sender types "/send PATH", the
// receiver takes every offer with --accept-files); two more members, here in this
// program, chat: one sends a line every 10 ms, the other measures each line's latency,
// first with nothing else going on, then while the file goes through the same host.
// Prints one JSON object: the file's size, the time from the offer reaching the room to
// the file complete on the receiver's disk (hash checked there), the throughput, and
// both latency figures.
// With --background-ends, the sender and the receiver run at the lowest CPU priority:
// as on a LAN, where they are other machines, the chat then competes only with the host.
//   mirelune-file-load --bin DIR --work DIR --megabytes M [--discovery-port D] [--room-port P]
//       [--background-ends]
#include "ProcStatus.h"
#include "session/NetworkSessionService.h"
#include "session/SessionErrors.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace session;
using namespace Qt::StringLiterals;

namespace {

constexpr char kRoom[] = "帯域";

qint64 nowUs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.nsecsElapsed() / 1000;
}

// Runs the event loop until `done` holds or `ms` pass.
bool spinUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > ms) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// A member of the room inside this program: the chat window's way of using the service.
struct Member {
    explicit Member(const SessionConfig& config) : service(std::make_unique<NetworkSessionService>(config)) {
        handle = service->registerEventReceiver(&context, [this](qint32) { take(); });
        if (!service->initialize(service->listConnections().value().item(1).value()).ok()) {
            std::fprintf(stderr, "the LAN connection is not there\n");
        }
    }
    bool join(const QString& name) {
        const bool opened = spinUntil(
            [&] {
                RoomDescription query;
                query.applicationId = QString::fromUtf16(kApplicationId);
                const OneBasedList<RoomDescription> rooms = service->listRooms(query, 0).valueOr({});
                for (const RoomDescription& room : rooms.items()) {
                    if (room.name == QString::fromUtf8(kRoom)) {
                        return service->openRoom(room, OpenMode::Join).ok();
                    }
                }
                return false;
            },
            10000);
        const Result<PlayerId> created =
            opened ? service->createLocalPlayer(name, u"Player"_s, handle, 0) : Result<PlayerId>(failure(1, {}));
        id = created.valueOr(0);
        return id != 0;
    }
    void take() {
        if (service->waitingMessageCount(id).valueOr(0) <= 0) {
            return;
        }
        Result<ReceivedMessage> received = service->receive();
        if (!received || received->from == kSystemSender) {
            return;
        }
        Message& message = received.value().message;
        const qint32 kind = message.readInt32().valueOr(-1);
        if (kind == 2) {
            offers.append(nowUs());
            return;
        }
        const QString text = message.readString().valueOr({});
        if (kind == 0 && text.startsWith(u"t="_s)) {
            latencies.push_back(nowUs() - text.mid(2).section(u' ', 0, 0).toLongLong());
        }
    }
    bool say(const QString& text) {
        Message message;
        message.writeInt32(0);
        message.writeString(text);
        return service->send(id, kEveryone, message).ok();
    }

    std::unique_ptr<NetworkSessionService> service;
    QObject context;
    qint32 handle = 0;
    PlayerId id = 0;
    std::vector<qint64> latencies;
    QList<qint64> offers;
};

double percentile(std::vector<qint64> values, double p) {
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return static_cast<double>(values[at]) / 1000.0; // ms
}

// The most memory a process has held (VmHWM), in MB; -1 when it cannot be read.
double peakMegabytes(qint64 pid) {
    const long kb = bench::statusKbOf(pid, "VmHWM:");
    return kb < 0 ? -1 : static_cast<double>(kb) / 1024.0;
}

QByteArray fileHash(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption binOption(u"bin"_s, u"folder of mirelune-room"_s, u"dir"_s);
    const QCommandLineOption workOption(u"work"_s, u"folder for the file and the receiver's downloads"_s, u"dir"_s);
    const QCommandLineOption sizeOption(u"megabytes"_s, u"size of the file"_s, u"n"_s, u"200"_s);
    const QCommandLineOption discoveryOption(u"discovery-port"_s, u"discovery port"_s, u"port"_s, u"21790"_s);
    const QCommandLineOption roomOption(u"room-port"_s, u"room port"_s, u"port"_s, u"21791"_s);
    const QCommandLineOption backgroundOption(u"background-ends"_s, u"sender and receiver at nice 19"_s);
    parser.addOptions({binOption, workOption, sizeOption, discoveryOption, roomOption, backgroundOption});
    parser.process(app);
    const QString work = parser.value(workOption);
    const qint64 size = parser.value(sizeOption).toLongLong() * 1000 * 1000;
    const QString source = work + u"/payload.bin"_s;
    const QString downloads = work + u"/in"_s;
    QDir().mkpath(downloads);
    {
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(source));
            return 1;
        }
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (qint64 written = 0; written < size; written += block.size()) {
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            file.write(block.constData(), std::min<qint64>(block.size(), size - written));
        }
    }

    const QStringList common{u"--loopback-only"_s, u"--discovery-port"_s, parser.value(discoveryOption),
                             u"--host-port"_s, parser.value(roomOption)};
    const QString program = parser.value(binOption) + u"/mirelune-room"_s;
    std::vector<std::unique_ptr<QProcess>> copies;
    const auto start = [&](const QStringList& arguments, bool background = false) {
        auto process = std::make_unique<QProcess>();
        if (background) {
            process->setChildProcessModifier([] { (void)::nice(19); });
        }
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, arguments + common);
        QProcess* started = process.get();
        copies.push_back(std::move(process));
        return started;
    };
    const QString room = QString::fromUtf8(kRoom);
    const QProcess* host = start({u"host"_s, room, u"--name"_s, u"ホスト"_s});

    SessionConfig config;
    config.discoveryPort = parser.value(discoveryOption).toUShort();
    config.loopbackDiscoveryOnly = true;
    Member writer(config), reader(config);
    if (!writer.join(u"打つ人"_s) || !reader.join(u"読む人"_s)) {
        std::fprintf(stderr, "the chatting members could not join\n");
        return 1;
    }
    const QProcess* receiver =
        start({u"join"_s, room, u"--name"_s, u"受け手"_s, u"--accept-files"_s, u"--downloads"_s, downloads},
              parser.isSet(backgroundOption));
    QProcess* sender = start({u"join"_s, room, u"--name"_s, u"送り手"_s}, parser.isSet(backgroundOption));
    spinUntil([] { return false; }, 2000); // both in the room

    // A line every 10 ms, its send time in front.
    int sent = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        writer.say(u"t=%1 今日の打ち合わせは十五時からです。"_s.arg(nowUs()));
        ++sent;
    });
    ticker.start(10);
    spinUntil([] { return false; }, 3000);
    // The idle lines still under way arrive before the count is taken, so that none
    // of them is counted with the file.
    ticker.stop();
    spinUntil([] { return false; }, 200);
    const std::vector<qint64> idle = std::exchange(reader.latencies, {});
    const int idleSent = std::exchange(sent, 0);
    ticker.start(10);

    sender->write(u"/send %1\n"_s.arg(source).toUtf8());
    const QString target = downloads + u"/payload.bin"_s;
    const bool offered = spinUntil([&] { return !reader.offers.isEmpty(); }, 120000);
    const qint64 offeredAt = offered ? reader.offers.first() : nowUs();
    const bool arrived =
        offered && spinUntil([&] { return QFileInfo(target).size() == size && QFileInfo::exists(target); }, 600000);
    const qint64 arrivedAt = nowUs();
    ticker.stop();
    spinUntil([] { return false; }, 500);
    const std::vector<qint64> during = reader.latencies;
    const bool identical = arrived && fileHash(target) == fileHash(source);
    const QJsonObject peaks{{u"host"_s, peakMegabytes(host->processId())},
                            {u"sender"_s, peakMegabytes(sender->processId())},
                            {u"receiver"_s, peakMegabytes(receiver->processId())}};

    const double seconds = static_cast<double>(arrivedAt - offeredAt) / 1e6;
    QJsonObject result{
        {u"megabytes"_s, static_cast<double>(size) / 1e6},
        {u"arrived"_s, arrived},
        {u"identical"_s, identical},
        {u"seconds"_s, seconds},
        {u"megabytes_per_second"_s, arrived && seconds > 0 ? static_cast<double>(size) / 1e6 / seconds : 0.0},
        {u"peak_memory_mb"_s, peaks},
        {u"idle_lines"_s, QJsonObject{{u"sent"_s, idleSent},
                                      {u"received"_s, static_cast<int>(idle.size())},
                                      {u"p50_ms"_s, percentile(idle, 0.5)},
                                      {u"p99_ms"_s, percentile(idle, 0.99)}}},
        {u"lines_during_transfer"_s, QJsonObject{{u"sent"_s, sent},
                                                 {u"received"_s, static_cast<int>(during.size())},
                                                 {u"p50_ms"_s, percentile(during, 0.5)},
                                                 {u"p99_ms"_s, percentile(during, 0.99)}}},
    };
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    for (auto& copy : copies) {
        copy->closeWriteChannel();
        copy->terminate();
        if (!copy->waitForFinished(3000)) {
            copy->kill();
            copy->waitForFinished(1000);
        }
    }
    writer.service->close();
    reader.service->close();
    QFile::remove(source);
    QFile::remove(target);
    return arrived && identical ? 0 : 1;
}
