// mirelune-nats-load: one room on a NATS cluster with N members, each what a copy is there
// (docs/protocol.md, "Rooms on a NATS cluster": its own connection, name, join, ordered
// consumer and pulses); the first S send lines, each stored before the next, as a copy
// does. A line's text starts with the phase, sender, seq and the time just before its
// publish: every delivery gives a latency sample, and every receiver counts losses,
// duplicates and reordering (not its own lines). Prints one JSON object in mirelune-load's
// format.
//   mirelune-nats-load --nats URL[,URL...] --members N --senders S [--modes paced,saturate]
//       [--paced-rate R] [--paced-seconds T] [--saturate-messages M] [--phase-timeout T] [--label TEXT]
#include "session/SessionTypes.h"
#include "session/nats/NatsCluster.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <nats/nats.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace session;

namespace {

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double cpuSecondsSelf() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The marker a line's text starts with: 'L', phase, sender (4 hex), seq (8), time (16).
constexpr std::size_t kMarkerBytes = 30;
// The same everyday sentence the hosted room's load members send after their marker.
constexpr char kChatTail[] = "　今日の打ち合わせは十五時からです。資料は共有フォルダにあります。";

void writeHex(char* at, std::uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i, value >>= 4) {
        at[i] = "0123456789abcdef"[value & 15];
    }
}

std::uint64_t readHex(const char* at, int digits) {
    return std::strtoull(std::string(at, static_cast<std::size_t>(digits)).c_str(), nullptr, 16);
}

void appendBigEndian32(QByteArray& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.append(static_cast<char>((value >> shift) & 0xff));
    }
}

struct Options {
    QStringList servers;
    int members = 10;
    int senders = 10;
    std::vector<std::string> modes{"paced", "saturate"};
    double pacedRate = 1000;
    double pacedSeconds = 4;
    std::uint32_t saturateMessages = 1000;
    double phaseTimeout = 120;
    std::string label;
};

struct Member {
    NatsClient client;
    PlayerId player = 0;
    QByteArray key;
    natsSubscription* records = nullptr;
    natsSubscription* pulses = nullptr;
    // Touched by this member's delivery thread; read by the main thread between phases.
    std::mutex mutex;
    std::vector<std::uint32_t> expect; // per sender: the next seq
    std::vector<std::int64_t> latencies;
    std::uint64_t duplicates = 0;
    std::uint64_t reordered = 0;
};

class Room {
public:
    explicit Room(Options options) : m_options(std::move(options)) {}

    bool fill();
    void leave();
    void runPhase(const std::string& mode, char tag, std::string& json);
    void report(const std::string& phases) const;

    const std::string& failure() const { return m_failure; }

private:
    static void onRecord(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    void deliver(Member& member, natsMsg* msg);
    bool store(Member& member, const char* kind, const QByteArray& msgId, const QByteArray& body, PlayerId to = 0,
               std::uint32_t seq = 0);
    void send(int sender, const std::string& mode, std::uint32_t count, std::int64_t start);
    bool fail(const std::string& text) {
        if (m_failure.empty()) {
            m_failure = text;
        }
        return false;
    }

    Options m_options;
    QByteArray m_roomId;
    std::vector<std::unique_ptr<Member>> m_members;
    std::atomic<char> m_phase{0};
    std::atomic<std::uint64_t> m_delivered{0};
    std::atomic<std::int64_t> m_lastDelivery{0};
    std::atomic<std::uint64_t> m_unstored{0};
    std::atomic<bool> m_pulsing{false};
    std::thread m_pulses;
    std::int64_t m_joinStart = 0;
    std::int64_t m_joinEnd = 0;
    std::string m_failure;
};

bool Room::store(Member& member, const char* kind, const QByteArray& msgId, const QByteArray& body, PlayerId to,
                 std::uint32_t seq) {
    const QByteArray subject = natsroom::subject(m_roomId, kind);
    natsMsg* msg = nullptr;
    if (natsMsg_Create(&msg, subject.constData(), nullptr, body.constData(), static_cast<int>(body.size())) !=
        NATS_OK) {
        return false;
    }
    natsMsgHeader_Set(msg, "Mirelune-From", QByteArray::number(member.player).constData());
    if (std::strcmp(kind, "line") == 0) {
        natsMsgHeader_Set(msg, "Mirelune-To", QByteArray::number(to).constData());
        natsMsgHeader_Set(msg, "Mirelune-Seq", QByteArray::number(seq).constData());
    }
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MsgId = msgId.constData();
    options.MaxWait = 2000;
    // As a copy does: repeated with the same id every 200 ms until stored, for 30 s.
    const std::int64_t deadline = nowNs() + std::int64_t{natsroom::kStoreDeadlineMs} * 1'000'000;
    auto publish = [&] {
        jsPubAck* ack = nullptr;
        const bool acknowledged = js_PublishMsg(&ack, member.client.jetStream(), msg, &options, nullptr) == NATS_OK;
        if (acknowledged) {
            jsPubAck_Destroy(ack);
        }
        return acknowledged;
    };
    bool stored = false;
    while (!(stored = publish()) && nowNs() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    natsMsg_Destroy(msg);
    return stored;
}

void Room::onRecord(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* pair = static_cast<std::pair<Room*, Member*>*>(closure);
    pair->first->deliver(*pair->second, msg);
    natsMsg_Destroy(msg);
}

void Room::deliver(Member& member, natsMsg* msg) {
    const char* subject = natsMsg_GetSubject(msg);
    const std::size_t length = std::strlen(subject);
    if (length < 5 || std::strcmp(subject + length - 5, ".line") != 0) {
        return; // joins and leaves
    }
    const char* from = nullptr;
    const char* to = nullptr;
    if (natsMsgHeader_Get(msg, "Mirelune-From", &from) != NATS_OK ||
        natsMsgHeader_Get(msg, "Mirelune-To", &to) != NATS_OK) {
        return;
    }
    const long fromId = std::strtol(from, nullptr, 10);
    const long toId = std::strtol(to, nullptr, 10);
    if (fromId == member.player || (toId != 0 && toId != member.player)) {
        return; // not shown to this member
    }
    // The body is a chat line as in a hosted room: i32 kind 0, i32 length, the text.
    const char* data = natsMsg_GetData(msg);
    if (natsMsg_GetDataLength(msg) < static_cast<int>(8 + kMarkerBytes) || data[8] != 'L' || data[9] != m_phase) {
        return; // a straggler of an earlier phase
    }
    const auto sender = static_cast<std::size_t>(readHex(data + 10, 4));
    const auto seq = static_cast<std::uint32_t>(readHex(data + 14, 8));
    const auto sent = static_cast<std::int64_t>(readHex(data + 22, 16));
    const std::int64_t now = nowNs();
    const std::lock_guard lock(member.mutex);
    if (sender >= member.expect.size()) {
        return;
    }
    std::uint32_t& next = member.expect[sender];
    if (seq < next) {
        ++member.duplicates;
        return;
    }
    if (seq > next) {
        ++member.reordered; // some were skipped: counted as lost at the end
    }
    next = seq + 1;
    member.latencies.push_back(now - sent);
    m_delivered.fetch_add(1, std::memory_order_relaxed);
    std::int64_t last = m_lastDelivery.load(std::memory_order_relaxed);
    while (now > last && !m_lastDelivery.compare_exchange_weak(last, now)) {
    }
}

bool Room::fill() {
    m_joinStart = nowNs();
    // A cluster that has just started may need a moment before JetStream answers.
    auto creator = std::make_unique<Member>();
    for (int attempt = 1;; ++attempt) {
        Status connected = creator->client.connect(m_options.servers);
        if (connected) {
            break;
        }
        if (attempt == 20) {
            return fail("connect: " + connected.error().description.toStdString());
        }
        creator = std::make_unique<Member>();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    // Create the room as a copy does: its stream, then its registry entry.
    m_roomId = newRoomId();
    const QByteArray name = natsroom::streamName(m_roomId);
    const QByteArray subjects = "mirelune.room." + m_roomId + ".>";
    // More records than a run stores, so a receiver that falls behind never finds lines gone.
    const RoomStreamLimits limits{std::int64_t{7} * 24 * 3600 * 1000, 1'000'000, std::int64_t{256} * 1024 * 1024};
    if (int code = 0; addRoomStream(creator->client, m_roomId, limits, code) != NATS_OK) {
        return fail("the cluster did not make the room's stream (JetStream error " + std::to_string(code) + ")");
    }
    const QByteArray entry =
        QJsonDocument(QJsonObject{{QStringLiteral("name"), QStringLiteral("負荷試験")},
                                  {QStringLiteral("app"), QString::fromUtf16(kApplicationId)},
                                  {QStringLiteral("attr"), 0},
                                  {QStringLiteral("created"), QDateTime::currentMSecsSinceEpoch()}})
            .toJson(QJsonDocument::Compact);
    uint64_t revision = 0;
    if (kvStore_Create(&revision, creator->client.rooms(), m_roomId.constData(), entry.constData(),
                       static_cast<int>(entry.size())) != NATS_OK) {
        return fail("the cluster did not list the room");
    }
    const QByteArray stream = natsroom::streamName(m_roomId);
    for (int i = 0; i < m_options.members; ++i) {
        std::unique_ptr<Member> member = i == 0 ? std::move(creator) : std::make_unique<Member>();
        member->expect.assign(static_cast<std::size_t>(m_options.senders), 0);
        if (i != 0) {
            if (Status connected = member->client.connect(m_options.servers); !connected) {
                return fail("member " + std::to_string(i) + ": " + connected.error().description.toStdString());
            }
        }
        // Entering: the stream's last sequence, an ordered consumer from a little before
        // it, then the name in the members bucket (its revision is the player id), then
        // the join, stored.
        jsStreamInfo* info = nullptr;
        jsErrCode code = jsErrCode(0);
        if (js_GetStreamInfo(&info, member->client.jetStream(), stream.constData(), nullptr, &code) != NATS_OK) {
            return fail("the room's stream is out of reach");
        }
        const std::uint64_t last = info->State.LastSeq;
        jsStreamInfo_Destroy(info);
        jsSubOptions options;
        jsSubOptions_Init(&options);
        options.Stream = stream.constData();
        options.Ordered = true;
        options.Config.DeliverPolicy = js_DeliverByStartSequence;
        options.Config.OptStartSeq = last + 1 - std::min<std::uint64_t>(last, natsroom::kHistoryReadRecords);
        options.Config.Heartbeat = 1'000'000'000;
        auto* closure = new std::pair<Room*, Member*>(this, member.get()); // lives as long as the program
        if (js_Subscribe(&member->records, member->client.jetStream(), subjects.constData(), onRecord, closure, nullptr,
                         &options, &code) != NATS_OK) {
            return fail("the room's stream cannot be read (JetStream error " + std::to_string(code) + ")");
        }
        // Every member hears every pulse (and, here, drops it), and reads the roster.
        natsConnection_Subscribe(
            &member->pulses, member->client.connection(), natsroom::pulseSubject(m_roomId).constData(),
            [](natsConnection*, natsSubscription*, natsMsg* msg, void*) { natsMsg_Destroy(msg); }, nullptr);
        kvWatchOptions watch;
        kvWatchOptions_Init(&watch);
        watch.IgnoreDeletes = true;
        kvWatcher* watcher = nullptr;
        if (kvStore_Watch(&watcher, member->client.members(), QByteArray(m_roomId + ".*").constData(), &watch) ==
            NATS_OK) {
            for (kvEntry* entry = nullptr; kvWatcher_Next(&entry, watcher, 3000) == NATS_OK && entry != nullptr;) {
                kvEntry_Destroy(entry);
            }
            kvWatcher_Destroy(watcher);
        }
        const QString handle = QStringLiteral("m%1").arg(i);
        member->key = natsroom::memberKey(m_roomId, handle);
        const QByteArray utf8 = handle.toUtf8();
        if (kvStore_Create(&revision, member->client.members(), member->key.constData(), utf8.constData(),
                           static_cast<int>(utf8.size())) != NATS_OK) {
            return fail("the room did not take the name " + utf8.toStdString());
        }
        member->player = static_cast<PlayerId>(revision);
        if (!store(*member, "join", "join-" + QByteArray::number(member->player), utf8)) {
            return fail("the cluster did not store a join");
        }
        m_members.push_back(std::move(member));
    }
    m_joinEnd = nowNs();
    // Every member's pulse, every 2 s, from one thread.
    m_pulsing = true;
    m_pulses = std::thread([this] {
        while (m_pulsing) {
            for (const auto& member : m_members) {
                const QByteArray id = QByteArray::number(member->player);
                natsConnection_Publish(member->client.connection(), natsroom::pulseSubject(m_roomId).constData(),
                                       id.constData(), static_cast<int>(id.size()));
            }
            for (int i = 0; i < natsroom::kPulseMs / 100 && m_pulsing; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    });
    return true;
}

void Room::leave() {
    m_pulsing = false;
    if (m_pulses.joinable()) {
        m_pulses.join();
    }
    for (const auto& member : m_members) {
        kvStore_Delete(member->client.members(), member->key.constData());
        store(*member, "leave", "leave-" + QByteArray::number(member->player), {});
        for (natsSubscription* sub : {member->records, member->pulses}) {
            natsSubscription_Unsubscribe(sub);
            natsSubscription_Destroy(sub);
        }
    }
}

// One sender's lines: paced ones at their turn, saturate ones back to back; each is
// stored before the next is published, as a copy does.
void Room::send(int sender, const std::string& mode, std::uint32_t count, std::int64_t start) {
    Member& member = *m_members[static_cast<std::size_t>(sender)];
    const double interval = 1e9 / m_options.pacedRate;
    for (std::uint32_t seq = 0; seq < count; ++seq) {
        if (mode == "paced") {
            const auto due =
                start + static_cast<std::int64_t>(
                            (static_cast<double>(seq) * m_options.senders + static_cast<double>(sender)) * interval);
            const std::int64_t wait = due - nowNs();
            if (wait > 0) {
                std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
            }
        }
        QByteArray body;
        appendBigEndian32(body, 0);
        appendBigEndian32(body, static_cast<std::uint32_t>(kMarkerBytes + sizeof kChatTail - 1));
        char marker[kMarkerBytes];
        marker[0] = 'L';
        marker[1] = m_phase;
        writeHex(marker + 2, static_cast<std::uint64_t>(sender), 4);
        writeHex(marker + 6, seq, 8);
        writeHex(marker + 14, static_cast<std::uint64_t>(nowNs()), 16);
        body.append(marker, sizeof marker);
        body.append(kChatTail, sizeof kChatTail - 1);
        // A copy's seq counts from 1 and on across the whole stay; the phase keeps ids apart.
        const std::uint32_t wireSeq = static_cast<std::uint32_t>(m_phase - 'a') * 1'000'000 + seq + 1;
        if (!store(member, "line", QByteArray::number(member.player) + '-' + QByteArray::number(wireSeq), body, 0,
                   wireSeq)) {
            ++m_unstored;
        }
    }
}

void Room::runPhase(const std::string& mode, char tag, std::string& json) {
    const auto perSender =
        mode == "paced" ? static_cast<std::uint32_t>(m_options.pacedRate * m_options.pacedSeconds / m_options.senders)
                        : m_options.saturateMessages;
    for (const auto& member : m_members) {
        const std::lock_guard lock(member->mutex);
        std::fill(member->expect.begin(), member->expect.end(), 0);
        member->latencies.clear();
        member->duplicates = member->reordered = 0;
    }
    m_delivered = 0;
    m_unstored = 0;
    m_phase = tag;
    const std::uint64_t expected =
        std::uint64_t{perSender} * static_cast<std::uint64_t>(m_options.senders) * (m_options.members - 1);
    const double cpuStart = cpuSecondsSelf();
    const std::int64_t start = nowNs();
    m_lastDelivery = start;
    std::vector<std::thread> senders;
    for (int s = 0; s < m_options.senders; ++s) {
        senders.emplace_back([this, s, mode, perSender, start] { send(s, mode, perSender, start); });
    }
    for (std::thread& thread : senders) {
        thread.join();
    }
    const std::int64_t deadline =
        start + static_cast<std::int64_t>((m_options.pacedSeconds + m_options.phaseTimeout) * 1e9);
    while (m_delivered < expected && nowNs() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double loadCpu = cpuSecondsSelf() - cpuStart;
    // Let stragglers of this phase drain before the next one starts counting.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<std::int64_t> latencies;
    std::uint64_t duplicates = 0, reordered = 0;
    for (const auto& member : m_members) {
        const std::lock_guard lock(member->mutex);
        latencies.insert(latencies.end(), member->latencies.begin(), member->latencies.end());
        duplicates += member->duplicates;
        reordered += member->reordered;
    }
    auto at = [&latencies](double fraction) {
        if (latencies.empty()) {
            return 0.0;
        }
        const auto k = static_cast<std::size_t>(fraction * static_cast<double>(latencies.size() - 1));
        std::nth_element(latencies.begin(), latencies.begin() + static_cast<std::ptrdiff_t>(k), latencies.end());
        return static_cast<double>(latencies[k]) / 1e6;
    };
    const std::uint64_t delivered = m_delivered;
    const double seconds = static_cast<double>(m_lastDelivery - start) / 1e9;
    const double p50 = at(0.5), p99 = at(0.99), max = at(1.0);
    char text[1024];
    std::snprintf(text, sizeof text,
                  "%s{\"mode\":\"%s\",\"messages_per_sender\":%u,\"sent\":%" PRIu64 ",\"unstored\":%" PRIu64
                  ",\"expected\":%" PRIu64 ",\"delivered\":%" PRIu64 ",\"lost\":%" PRIu64 ",\"duplicates\":%" PRIu64
                  ",\"reordered\":%" PRIu64 ",\"seconds\":%.4f,\"deliveries_per_s\":%.0f,\"p50_ms\":%.3f,"
                  "\"p99_ms\":%.3f,\"max_ms\":%.3f,\"server_cpu_s\":-1,\"load_cpu_s\":%.3f,"
                  "\"load_cpu_share\":%.3f,\"timed_out\":%s}",
                  json.empty() ? "" : ",", mode.c_str(), perSender,
                  std::uint64_t{perSender} * static_cast<std::uint64_t>(m_options.senders), m_unstored.load(), expected,
                  delivered, expected > delivered ? expected - delivered : 0, duplicates, reordered, seconds,
                  seconds > 0 ? static_cast<double>(delivered) / seconds : 0, p50, p99, max, loadCpu,
                  seconds > 0 ? loadCpu / seconds : 0, delivered < expected ? "true" : "false");
    json += text;
}

void Room::report(const std::string& phases) const {
    auto jsonText = [](const std::string& text) {
        std::string kept;
        std::copy_if(text.begin(), text.end(), std::back_inserter(kept),
                     [](char c) { return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20; });
        return kept;
    };
    const std::string label = jsonText(m_options.label);
    const std::string failure = jsonText(m_failure);
    std::printf("{\"label\":\"%s\",\"dialect\":\"nats\",\"members\":%d,\"senders\":%d,\"joined\":%zu,"
                "\"all_joined\":%s,\"join_ms\":%.3f,\"dead_members\":0,\"first_failure\":\"%s\","
                "\"replicas\":%d,\"server_peak_rss_kb\":-1,\"server_cpu_total_s\":-1,"
                "\"load_cpu_total_s\":%.3f,\"phases\":[%s]}\n",
                label.c_str(), m_options.members, m_options.senders, m_members.size(),
                static_cast<int>(m_members.size()) == m_options.members ? "true" : "false",
                m_joinEnd == 0 ? 0.0 : static_cast<double>(m_joinEnd - m_joinStart) / 1e6, failure.c_str(),
                m_members.empty() ? 0 : m_members[0]->client.replicas(), cpuSecondsSelf(), phases.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    const std::map<std::string, std::function<void(const char*)>> setters{
        {"--nats",
         [&](const char* v) { options.servers = parseNatsServers(QString::fromUtf8(v)).value_or(QStringList{}); }},
        {"--members", [&](const char* v) { options.members = std::atoi(v); }},
        {"--senders", [&](const char* v) { options.senders = std::atoi(v); }},
        {"--paced-rate", [&](const char* v) { options.pacedRate = std::atof(v); }},
        {"--paced-seconds", [&](const char* v) { options.pacedSeconds = std::atof(v); }},
        {"--saturate-messages",
         [&](const char* v) { options.saturateMessages = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10)); }},
        {"--phase-timeout", [&](const char* v) { options.phaseTimeout = std::atof(v); }},
        {"--label", [&](const char* v) { options.label = v; }},
        {"--modes", [&](const char* v) {
             options.modes.clear();
             for (const QByteArray& mode : QByteArray(v).split(',')) {
                 options.modes.push_back(mode.toStdString());
             }
         }}};
    for (int i = 1; i + 1 < argc; i += 2) {
        const auto setter = setters.find(argv[i]);
        if (setter == setters.end()) {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
        setter->second(argv[i + 1]);
    }
    const bool modesKnown = std::all_of(options.modes.begin(), options.modes.end(),
                                        [](const std::string& mode) { return mode == "paced" || mode == "saturate"; });
    if (options.servers.isEmpty() || options.members < 2 || options.senders < 1 || options.senders > options.members ||
        options.pacedRate <= 0 || !modesKnown) {
        std::fprintf(stderr, "usage: mirelune-nats-load --nats URL[,URL...] --members N --senders S "
                             "[--modes paced,saturate] [--paced-rate R] [--paced-seconds T] "
                             "[--saturate-messages M] [--phase-timeout T] [--label TEXT]\n");
        return 2;
    }
    int status = 0;
    {
        Room room(options);
        std::string phases;
        if (room.fill()) {
            char tag = 'a';
            for (const std::string& mode : options.modes) {
                room.runPhase(mode, tag++, phases);
            }
        } else {
            std::fprintf(stderr, "mirelune-nats-load: %s\n", room.failure().c_str());
            status = 1;
        }
        room.report(phases);
        room.leave();
    }
    nats_Close();
    return status;
}
