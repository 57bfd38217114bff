// mirelune-load: fills one room with members on loopback and measures what the room's
// server does with their messages. One thread, one epoll set, non-blocking sockets,
// so the program itself stays far from being the bottleneck (it reports its own CPU).
//
//   mirelune-load --dialect mirelune|mirelune-chat|irc|relay --port N --members N --senders S
//                 [--modes paced,saturate,sustained] [--paced-rate R] [--paced-seconds T]
//                 [--saturate-messages M] [--sustained-messages M] [--window W]
//                 [--server-pid PID] [--label TEXT]
//   mirelune-load ... --modes drop [--stop-reading K] [--settle-seconds T] --server-pid PID
//
// Members join with at most 8 handshakes in flight, from 64 loopback addresses in turn
// (127.0.2.1-64, as a LAN's come from their machines); the join time runs until every
// member has heard of every other (join_ms), and, for comparison, until the last one
// was let in (admitted_ms). Senders are the first S members.
// Every message is 60 printable bytes carrying the run phase, its sender, its
// sequence number and the time it was handed to the socket, so each delivery gives a
// latency sample and loss, duplicates and reordering are counted per receiver.
// In "drop" mode the last K members stop reading (and sending) while the senders flood
// the room, until the host has dropped them all (a reader hears their Left); the
// server's resident memory is read idle before, at its highest meanwhile, and once
// the room has been quiet for T seconds after the drop.
// Prints one JSON object on standard output.
#include "MemberDialect.h"
#include "ProcStatus.h"

#include <QCoreApplication>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace bench {
namespace {

constexpr std::size_t kPayloadBytes = 60;
constexpr int kJoinsInFlight = 8;
// Members connect from 127.0.2.1 and the 63 addresses after it, in turn.
constexpr std::uint32_t kFirstSourceAddress = 0x7f000201;
constexpr int kSourceAddresses = 64;
constexpr std::size_t kReadChunk = 256 * 1024;
// How much of a read first goes to complete a frame or line that the read before cut.
constexpr std::size_t kCompletionBytes = 4096;
// A saturating sender keeps this much queued for its socket, no more, so the send
// time written into a message is close to the moment the socket takes it.
constexpr std::size_t kSenderBacklog = 64 * 1024;
constexpr std::uint32_t kWindowRing = 1024;

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

double cpuSecondsSelf() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds (user + system) of another process, or -1 when it cannot be read.
double cpuSecondsOf(int pid) {
    if (pid <= 0) {
        return -1;
    }
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // Fields after the command: state is the first, utime the 12th, stime the 13th.
    for (int index = 1; index <= 13 && fields >> field; ++index) {
        if (index == 12) {
            utime = std::stoull(field);
        } else if (index == 13) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peakRssKbOf(int pid) {
    return bench::statusKbOf(pid, "VmHWM:");
}

long rssKbOf(int pid) {
    return bench::statusKbOf(pid, "VmRSS:");
}

void writeHex(char* out, std::uint64_t value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kDigits[value & 0xf];
        value >>= 4;
    }
}

bool readHex(const char* in, int digits, std::uint64_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        const char c = in[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            return false;
        }
        value = (value << 4) | digit;
    }
    return true;
}

// Text for a JSON string (a server's error line may hold anything).
std::string jsonText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            out += c;
        }
    }
    return out;
}

enum class Mode { Paced, Saturate, Sustained, Drop };

const char* modeName(Mode mode) {
    switch (mode) {
    case Mode::Paced:
        return "paced";
    case Mode::Saturate:
        return "saturate";
    case Mode::Sustained:
        return "sustained";
    case Mode::Drop:
        return "drop";
    }
    return "?";
}

struct Options {
    MemberDialect::Kind dialect = MemberDialect::Kind::Mirelune;
    std::string dialectName = "mirelune";
    int port = 0;
    int members = 10;
    int senders = 10;
    std::vector<Mode> modes{Mode::Paced, Mode::Saturate, Mode::Sustained};
    double pacedRate = 1000;
    double pacedSeconds = 4;
    std::uint32_t saturateMessages = 1000;
    std::uint32_t sustainedMessages = 20000;
    std::uint32_t window = 100;
    int serverPid = 0;
    std::string label;
    double joinTimeout = 240;
    double phaseTimeout = 120;
    int stopReading = 5;
    double settleSeconds = 5;
};

// The server's resident memory around members that stop reading and are dropped.
struct DropResult {
    bool ran = false;
    long idleKb = -1;
    long peakKb = -1;
    long afterKb = -1;
    double dropSeconds = 0; // until the last of them was announced gone
    std::uint64_t sent = 0;
    bool timedOut = false;
};

struct PhaseResult {
    Mode mode = Mode::Paced;
    std::uint32_t messagesPerSender = 0;
    std::uint64_t sent = 0;
    std::uint64_t expected = 0;
    std::uint64_t delivered = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t reordered = 0;
    double seconds = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    double serverCpu = -1;
    double loadCpu = 0;
    bool timedOut = false;
};

class LoadProgram : public PayloadSink {
public:
    explicit LoadProgram(Options options) : m_options(std::move(options)) {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        m_members.resize(static_cast<std::size_t>(m_options.members));
        m_readBuffer.resize(kReadChunk);
    }

    int run() {
        const double serverCpuStart = cpuSecondsOf(m_options.serverPid);
        const bool allJoined = join();
        std::vector<PhaseResult> phases;
        char phaseTag = 'a';
        if (allJoined) {
            // The joins' last notices, and what the host's own player makes of them,
            // are not the first mode's to pay for.
            settle();
            for (const Mode mode : m_options.modes) {
                if (mode == Mode::Drop) {
                    m_drop = runDrop(phaseTag++);
                } else {
                    phases.push_back(runPhase(mode, phaseTag++));
                }
            }
        }
        report(allJoined, phases, serverCpuStart);
        return allJoined ? 0 : 1;
    }

    void payload(int member, const char* data, std::size_t size) override {
        if (size < 30 || data[0] != 'L' || data[1] != m_phaseTag) {
            ++m_foreign;
            return;
        }
        std::uint64_t sender = 0;
        std::uint64_t seq = 0;
        std::uint64_t sentAt = 0;
        if (!readHex(data + 2, 4, sender) || !readHex(data + 6, 8, seq) || !readHex(data + 14, 16, sentAt) ||
            sender >= static_cast<std::uint64_t>(m_options.senders)) {
            ++m_foreign;
            return;
        }
        m_latencies.push_back(m_now - static_cast<std::int64_t>(sentAt));
        ++m_delivered;
        m_lastDelivery = m_now;
        std::uint32_t& expect = m_members[static_cast<std::size_t>(member)].expect[sender];
        if (seq == expect) {
            ++expect;
        } else if (seq > expect) {
            ++m_reordered;
            expect = static_cast<std::uint32_t>(seq + 1);
        } else {
            ++m_duplicates;
        }
        // How far the slowest receiver has come, for the sustained window.
        Sender& from = m_senders[sender];
        if (seq >= from.acked && seq < from.acked + kWindowRing) {
            ++from.received[seq % kWindowRing];
            while (from.acked < from.next && from.received[from.acked % kWindowRing] >= m_receiversPerMessage) {
                from.received[from.acked % kWindowRing] = 0;
                ++from.acked;
            }
        }
    }

private:
    struct Member {
        int fd = -1;
        std::unique_ptr<MemberDialect> dialect;
        std::string out;
        std::size_t outPos = 0;
        std::string pending;
        bool connected = false;
        bool writeArmed = false;
        bool dirty = false;
        bool dead = false;
        bool joined = false;
        bool seesWholeRoom = false;
        bool stalled = false;  // reads and sends nothing any more
        bool ackTimed = false; // in m_ackDue
        std::vector<std::uint32_t> expect;
    };

    struct Sender {
        std::uint32_t next = 0;  // next sequence number to send
        std::uint32_t acked = 0; // every receiver has everything below this
        std::vector<std::uint32_t> received = std::vector<std::uint32_t>(kWindowRing, 0);
    };

    bool startConnect(int index) {
        Member& member = m_members[static_cast<std::size_t>(index)];
        member.dialect = MemberDialect::create(m_options.dialect, index, m_options.members);
        member.expect.assign(static_cast<std::size_t>(m_options.senders), 0);
        member.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (member.fd < 0) {
            member.dead = true;
            return false;
        }
        const int one = 1;
        setsockopt(member.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // The members come from kSourceAddresses loopback addresses, as a LAN's come
        // from their machines: a host's limits per address see a few members each.
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(kFirstSourceAddress + static_cast<std::uint32_t>(index % kSourceAddresses));
        if (bind(member.fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            member.dead = true;
            return false;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(m_options.port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(member.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
            member.dead = true;
            return false;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.u64 = static_cast<std::uint64_t>(index);
        member.writeArmed = true;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, member.fd, &event);
        return true;
    }

    void markDead(Member& member, const char* why) {
        if (member.dead) {
            return;
        }
        member.dead = true;
        ++m_deadMembers;
        if (m_firstDeath.empty()) {
            m_firstDeath = why;
            if (member.dialect && member.dialect->failed()) {
                m_firstDeath += ": " + member.dialect->failure();
            }
        }
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, member.fd, nullptr);
        close(member.fd);
    }

    void setWriteInterest(Member& member, std::size_t index, bool want) {
        if (member.writeArmed == want || member.dead) {
            return;
        }
        epoll_event event{};
        event.events = EPOLLIN | (want ? EPOLLOUT : 0u);
        event.data.u64 = index;
        epoll_ctl(m_epoll, EPOLL_CTL_MOD, member.fd, &event);
        member.writeArmed = want;
    }

    void markDirty(std::size_t index) {
        Member& member = m_members[index];
        if (!member.dirty) {
            member.dirty = true;
            m_dirty.push_back(index);
        }
    }

    void flush(std::size_t index) {
        Member& member = m_members[index];
        member.dirty = false;
        if (member.dead || !member.connected || member.stalled) {
            return;
        }
        member.dialect->seal(member.out);
        while (member.outPos < member.out.size()) {
            const ssize_t written =
                ::send(member.fd, member.out.data() + member.outPos, member.out.size() - member.outPos, MSG_NOSIGNAL);
            if (written > 0) {
                member.outPos += static_cast<std::size_t>(written);
            } else if (written < 0 && errno == EINTR) {
                continue;
            } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                markDead(member, "write failed");
                return;
            }
        }
        if (member.outPos == member.out.size()) {
            member.out.clear();
            member.outPos = 0;
            setWriteInterest(member, index, false);
        } else {
            if (member.outPos > 1024 * 1024) {
                member.out.erase(0, member.outPos);
                member.outPos = 0;
            }
            setWriteInterest(member, index, true);
        }
    }

    void onReadable(std::size_t index) {
        Member& member = m_members[index];
        const ssize_t got = ::recv(member.fd, m_readBuffer.data(), m_readBuffer.size(), 0);
        if (got == 0) {
            markDead(member, "closed by the server");
            return;
        }
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                markDead(member, "read failed");
            }
            return;
        }
        m_now = nowNs();
        const std::size_t outBefore = member.out.size();
        const auto size = static_cast<std::size_t>(got);
        const char* const read = m_readBuffer.data();
        std::size_t from = 0; // the first byte not yet given to the dialect
        if (!member.pending.empty()) {
            // A frame or line that the last read cut: the start of this read completes
            // it, and the rest is read in place instead of behind it in `pending`.
            const std::size_t piece = std::min(size, kCompletionBytes);
            member.pending.append(read, piece);
            const std::size_t left =
                member.pending.size() -
                member.dialect->consume(member.pending.data(), member.pending.size(), member.out, *this);
            if (left <= piece) {
                member.pending.clear();
                from = piece - left; // what is left lies in the read too
            } else {
                member.pending.erase(0, member.pending.size() - left);
                member.pending.append(read + piece, size - piece);
                member.pending.erase(
                    0, member.dialect->consume(member.pending.data(), member.pending.size(), member.out, *this));
                from = size;
            }
        }
        if (from < size) {
            const std::size_t used = member.dialect->consume(read + from, size - from, member.out, *this);
            if (used < size - from) {
                member.pending.assign(read + from + used, size - from - used);
            }
        }
        if (member.dialect->failed()) {
            markDead(member, "protocol failure");
            return;
        }
        if (!member.joined && member.dialect->joined()) {
            member.joined = true;
            ++m_joined;
            --m_joinsInFlight;
            m_lastJoin = m_now;
        }
        if (!member.seesWholeRoom && member.dialect->seesWholeRoom()) {
            member.seesWholeRoom = true;
            ++m_seeingWholeRoom;
            m_lastSeesWholeRoom = m_now;
        }
        if (member.dialect->awaitsAck() && !member.ackTimed) {
            member.ackTimed = true;
            m_ackDue.push_back({m_now + MemberDialect::ackDelayNs(), index});
        }
        if (member.out.size() != outBefore) {
            markDirty(index);
        }
    }

    // Acknowledges, for every member whose timer ran out, what it took since its last
    // Ack. The delay is the same for all, so the timers run out in the order they
    // were set.
    void sendDueAcks() {
        while (m_ackDueHead < m_ackDue.size() && m_ackDue[m_ackDueHead].first <= m_now) {
            const std::size_t index = m_ackDue[m_ackDueHead++].second;
            Member& member = m_members[index];
            member.ackTimed = false;
            if (!member.dead && !member.stalled && member.dialect->awaitsAck()) {
                member.dialect->appendAck(member.out);
                markDirty(index);
            }
        }
        if (m_ackDueHead == m_ackDue.size()) {
            m_ackDue.clear();
            m_ackDueHead = 0;
        }
    }

    void onWritable(std::size_t index) {
        Member& member = m_members[index];
        if (!member.connected) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(member.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                markDead(member, "connect failed");
                return;
            }
            member.connected = true;
            member.dialect->start(member.out);
        }
        markDirty(index);
    }

    // One turn: wait (at most timeoutNs), handle every ready socket, then write what
    // each member has queued in one go.
    void turn(std::int64_t timeoutNs) {
        if (m_ackDueHead < m_ackDue.size()) {
            timeoutNs = std::clamp<std::int64_t>(m_ackDue[m_ackDueHead].first - nowNs(), 0, timeoutNs);
        }
        epoll_event events[256];
        timespec timeout{};
        timeout.tv_sec = static_cast<time_t>(timeoutNs / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(timeoutNs % 1'000'000'000);
        const int ready = epoll_pwait2(m_epoll, events, 256, &timeout, nullptr);
        m_now = nowNs();
        for (int i = 0; i < ready; ++i) {
            const auto index = static_cast<std::size_t>(events[i].data.u64);
            if (m_members[index].dead) {
                continue;
            }
            if (events[i].events & (EPOLLOUT | EPOLLERR)) {
                onWritable(index);
            }
            if (!m_members[index].dead && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
                onReadable(index);
            }
        }
        sendDueAcks();
        if (m_now - m_lastKeepAlive >= m_keepAliveNs) {
            m_lastKeepAlive = m_now;
            for (std::size_t index = 0; index < m_members.size(); ++index) {
                if (m_members[index].joined && !m_members[index].dead && !m_members[index].stalled) {
                    m_members[index].dialect->appendKeepAlive(m_members[index].out);
                    markDirty(index);
                }
            }
        }
    }

    void flushDirty() {
        for (std::size_t i = 0; i < m_dirty.size(); ++i) {
            flush(m_dirty[i]);
        }
        m_dirty.clear();
    }

    bool join() {
        m_joinStart = nowNs();
        m_lastKeepAlive = m_joinStart;
        const std::int64_t deadline = m_joinStart + static_cast<std::int64_t>(m_options.joinTimeout * 1e9);
        int nextToStart = 0;
        // Joining is over when every member has heard of every other, not when the
        // last one is let in: until then somebody's list of the room is incomplete.
        while (m_seeingWholeRoom < m_options.members && nowNs() < deadline) {
            while (m_joinsInFlight < kJoinsInFlight && nextToStart < m_options.members) {
                if (startConnect(nextToStart++)) {
                    ++m_joinsInFlight;
                } else {
                    return false;
                }
            }
            const int deadBefore = m_deadMembers;
            turn(100'000'000);
            flushDirty();
            if (m_deadMembers != deadBefore) {
                return false;
            }
        }
        return m_seeingWholeRoom == m_options.members;
    }

    std::uint32_t messagesFor(Mode mode) const {
        switch (mode) {
        case Mode::Paced:
            return static_cast<std::uint32_t>(m_options.pacedRate * m_options.pacedSeconds / m_options.senders);
        case Mode::Saturate:
            return m_options.saturateMessages;
        case Mode::Sustained:
            return m_options.sustainedMessages;
        case Mode::Drop: // until the host has dropped the members that stopped
            return UINT32_MAX;
        }
        return 0;
    }

    void appendMessage(std::size_t senderIndex, std::uint32_t seq) {
        char payload[kPayloadBytes];
        std::memset(payload, '.', sizeof payload);
        payload[0] = 'L';
        payload[1] = m_phaseTag;
        writeHex(payload + 2, senderIndex, 4);
        writeHex(payload + 6, seq, 8);
        writeHex(payload + 14, static_cast<std::uint64_t>(m_now), 16);
        Member& member = m_members[senderIndex];
        member.dialect->appendSend(member.out, payload, sizeof payload);
        markDirty(senderIndex);
    }

    // Tops up every sender's queue as the mode allows. Returns the time the next paced
    // message is due (or 0).
    std::int64_t feedSenders(Mode mode, std::uint32_t perSender, std::int64_t start) {
        std::int64_t nextDue = 0;
        const double interval = 1e9 / m_options.pacedRate; // between two messages of the room
        for (std::size_t s = 0; s < m_senders.size(); ++s) {
            Sender& sender = m_senders[s];
            Member& member = m_members[s];
            while (sender.next < perSender && !member.dead) {
                if (mode == Mode::Paced) {
                    // Senders take turns, so the room's messages are evenly spread.
                    const auto due = start + static_cast<std::int64_t>((static_cast<double>(sender.next) *
                                                                            static_cast<double>(m_senders.size()) +
                                                                        static_cast<double>(s)) *
                                                                       interval);
                    if (due > m_now) {
                        if (nextDue == 0 || due < nextDue) {
                            nextDue = due;
                        }
                        break;
                    }
                } else {
                    if (member.out.size() - member.outPos >= kSenderBacklog) {
                        break;
                    }
                    if (mode == Mode::Sustained && sender.next >= sender.acked + m_options.window) {
                        break;
                    }
                }
                appendMessage(s, sender.next);
                ++sender.next;
                ++m_sent;
            }
        }
        return nextDue;
    }

    PhaseResult runPhase(Mode mode, char tag) {
        PhaseResult result;
        result.mode = mode;
        result.messagesPerSender = messagesFor(mode);
        m_phaseTag = tag;
        m_senders.assign(static_cast<std::size_t>(m_options.senders), Sender{});
        for (Member& member : m_members) {
            std::fill(member.expect.begin(), member.expect.end(), 0);
        }
        m_receiversPerMessage = static_cast<std::uint32_t>(m_options.members - 1);
        m_sent = m_delivered = m_duplicates = m_reordered = 0;
        m_latencies.clear();
        result.expected = std::uint64_t{result.messagesPerSender} * static_cast<std::uint64_t>(m_options.senders) *
                          m_receiversPerMessage;
        m_latencies.reserve(result.expected);

        const double serverCpuStart = cpuSecondsOf(m_options.serverPid);
        const double loadCpuStart = cpuSecondsSelf();
        m_now = nowNs();
        const std::int64_t start = m_now;
        m_lastDelivery = start;
        const std::int64_t deadline =
            start + static_cast<std::int64_t>(
                        ((mode == Mode::Paced ? m_options.pacedSeconds : 0) + m_options.phaseTimeout) * 1e9);
        while (m_delivered < result.expected && m_now < deadline && m_deadMembers == 0) {
            const std::int64_t nextDue = feedSenders(mode, result.messagesPerSender, start);
            flushDirty();
            std::int64_t wait = 50'000'000;
            if (nextDue != 0) {
                wait = std::max<std::int64_t>(0, std::min(wait, nextDue - nowNs()));
            }
            turn(wait);
        }
        flushDirty();
        result.timedOut = m_delivered < result.expected;
        result.sent = m_sent;
        result.delivered = m_delivered;
        result.duplicates = m_duplicates;
        result.reordered = m_reordered;
        result.seconds = static_cast<double>(m_lastDelivery - start) / 1e9;
        result.loadCpu = cpuSecondsSelf() - loadCpuStart;
        const double serverCpuEnd = cpuSecondsOf(m_options.serverPid);
        result.serverCpu = serverCpuStart < 0 ? -1 : serverCpuEnd - serverCpuStart;
        if (!m_latencies.empty()) {
            auto at = [this](double fraction) {
                const auto k = static_cast<std::size_t>(fraction * static_cast<double>(m_latencies.size() - 1));
                std::nth_element(m_latencies.begin(), m_latencies.begin() + static_cast<std::ptrdiff_t>(k),
                                 m_latencies.end());
                return static_cast<double>(m_latencies[k]) / 1e6;
            };
            result.p50Ms = at(0.5);
            result.p99Ms = at(0.99);
            result.maxMs = static_cast<double>(*std::max_element(m_latencies.begin(), m_latencies.end())) / 1e6;
        }
        // Let stragglers of this phase drain before the next one starts counting.
        settle();
        return result;
    }

    // A moment of quiet between the joins and the modes, and between two modes.
    void settle() {
        const std::int64_t until = nowNs() + 200'000'000;
        while (nowNs() < until) {
            turn(20'000'000);
            flushDirty();
        }
    }

    // Turns for `seconds`, keeping the members alive, and samples the server's memory.
    void idleFor(double seconds, long& peakKb) {
        const std::int64_t until = nowNs() + static_cast<std::int64_t>(seconds * 1e9);
        while (nowNs() < until) {
            turn(50'000'000);
            flushDirty();
            peakKb = std::max(peakKb, rssKbOf(m_options.serverPid));
        }
    }

    DropResult runDrop(char tag) {
        DropResult result;
        result.ran = true;
        m_phaseTag = tag;
        m_senders.assign(static_cast<std::size_t>(m_options.senders), Sender{});
        for (Member& member : m_members) {
            std::fill(member.expect.begin(), member.expect.end(), 0);
        }
        // A room that has settled after its joins.
        idleFor(1, result.peakKb);
        result.idleKb = rssKbOf(m_options.serverPid);

        // The last members stop: nothing is read from their sockets any more, and
        // they send nothing, as a program that hangs.
        const int first = m_options.members - m_options.stopReading;
        for (int index = first; index < m_options.members; ++index) {
            Member& member = m_members[static_cast<std::size_t>(index)];
            member.stalled = true;
            epoll_ctl(m_epoll, EPOLL_CTL_DEL, member.fd, nullptr);
        }
        // The senders go as fast as the members that still read take their messages,
        // as in sustained mode: only the stopped ones fall behind.
        m_receiversPerMessage = static_cast<std::uint32_t>(m_options.members - 1 - m_options.stopReading);
        const int leavesBefore = m_members[0].dialect->leavesSeen();
        m_now = nowNs();
        const std::int64_t start = m_now;
        const std::int64_t deadline = start + static_cast<std::int64_t>(m_options.phaseTimeout * 1e9);
        std::int64_t nextSample = 0;
        m_sent = 0;
        while (m_members[0].dialect->leavesSeen() - leavesBefore < m_options.stopReading && m_now < deadline &&
               m_deadMembers == 0) {
            feedSenders(Mode::Sustained, messagesFor(Mode::Drop), start);
            flushDirty();
            turn(20'000'000);
            if (m_now >= nextSample) {
                result.peakKb = std::max(result.peakKb, rssKbOf(m_options.serverPid));
                nextSample = m_now + 50'000'000;
            }
        }
        result.timedOut = m_members[0].dialect->leavesSeen() - leavesBefore < m_options.stopReading;
        result.dropSeconds = static_cast<double>(m_now - start) / 1e9;
        result.sent = m_sent;
        // The senders stop; what is under way arrives, then the room is quiet.
        m_lastDelivery = nowNs();
        while (nowNs() - m_lastDelivery < 500'000'000 && nowNs() < deadline) {
            turn(20'000'000);
            flushDirty();
        }
        idleFor(m_options.settleSeconds, result.peakKb);
        result.afterKb = rssKbOf(m_options.serverPid);
        return result;
    }

    void report(bool allJoined, const std::vector<PhaseResult>& phases, double serverCpuStart) const {
        std::printf(
            "{\"label\":\"%s\",\"dialect\":\"%s\",\"members\":%d,\"senders\":%d,\"joined\":%d,"
            "\"all_joined\":%s,\"join_ms\":%.3f,\"admitted_ms\":%.3f,\"dead_members\":%d,\"first_failure\":\"%s\","
            "\"foreign_payloads\":%" PRIu64 ",\"server_peak_rss_kb\":%ld,\"server_cpu_total_s\":%.3f,"
            "\"load_cpu_total_s\":%.3f,\"phases\":[",
            jsonText(m_options.label).c_str(), m_options.dialectName.c_str(), m_options.members, m_options.senders,
            m_joined, allJoined ? "true" : "false", static_cast<double>(m_lastSeesWholeRoom - m_joinStart) / 1e6,
            static_cast<double>(m_lastJoin - m_joinStart) / 1e6, m_deadMembers, jsonText(m_firstDeath).c_str(),
            m_foreign, peakRssKbOf(m_options.serverPid),
            serverCpuStart < 0 ? -1.0 : cpuSecondsOf(m_options.serverPid) - serverCpuStart, cpuSecondsSelf());
        for (std::size_t i = 0; i < phases.size(); ++i) {
            const PhaseResult& p = phases[i];
            const double rate = p.seconds > 0 ? static_cast<double>(p.delivered) / p.seconds : 0;
            std::printf("%s{\"mode\":\"%s\",\"messages_per_sender\":%u,\"sent\":%" PRIu64 ",\"expected\":%" PRIu64
                        ",\"delivered\":%" PRIu64 ",\"lost\":%" PRIu64 ",\"duplicates\":%" PRIu64
                        ",\"reordered\":%" PRIu64 ",\"seconds\":%.4f,\"deliveries_per_s\":%.0f,\"p50_ms\":%.3f,"
                        "\"p99_ms\":%.3f,\"max_ms\":%.3f,\"server_cpu_s\":%.3f,\"load_cpu_s\":%.3f,"
                        "\"load_cpu_share\":%.3f,\"timed_out\":%s}",
                        i == 0 ? "" : ",", modeName(p.mode), p.messagesPerSender, p.sent, p.expected, p.delivered,
                        p.expected > p.delivered ? p.expected - p.delivered : 0, p.duplicates, p.reordered, p.seconds,
                        rate, p.p50Ms, p.p99Ms, p.maxMs, p.serverCpu, p.loadCpu,
                        p.seconds > 0 ? p.loadCpu / p.seconds : 0, p.timedOut ? "true" : "false");
        }
        std::printf("]");
        if (m_drop.ran) {
            std::printf(",\"drop\":{\"stopped_members\":%d,\"idle_rss_kb\":%ld,\"peak_rss_kb\":%ld,"
                        "\"after_rss_kb\":%ld,\"drop_seconds\":%.3f,\"sent\":%" PRIu64
                        ",\"settle_seconds\":%.1f,\"timed_out\":%s}",
                        m_options.stopReading, m_drop.idleKb, m_drop.peakKb, m_drop.afterKb, m_drop.dropSeconds,
                        m_drop.sent, m_options.settleSeconds, m_drop.timedOut ? "true" : "false");
        }
        std::printf("}\n");
        std::fflush(stdout);
    }

    Options m_options;
    int m_epoll = -1;
    std::vector<Member> m_members;
    std::vector<Sender> m_senders;
    std::vector<std::size_t> m_dirty;
    std::vector<char> m_readBuffer;
    std::vector<std::int64_t> m_latencies;
    std::int64_t m_now = 0;
    std::int64_t m_joinStart = 0;
    std::int64_t m_lastJoin = 0;
    std::int64_t m_lastSeesWholeRoom = 0;
    std::int64_t m_lastDelivery = 0;
    std::int64_t m_lastKeepAlive = 0;
    std::int64_t m_keepAliveNs = MemberDialect::create(m_options.dialect, 0, 1)->keepAliveNs();
    // Members whose events wait for an Ack, with when it is due; from m_ackDueHead on.
    std::vector<std::pair<std::int64_t, std::size_t>> m_ackDue;
    std::size_t m_ackDueHead = 0;
    int m_joined = 0;
    int m_seeingWholeRoom = 0;
    int m_joinsInFlight = 0;
    int m_deadMembers = 0;
    std::string m_firstDeath;
    char m_phaseTag = 0;
    std::uint32_t m_receiversPerMessage = 0;
    std::uint64_t m_sent = 0;
    std::uint64_t m_delivered = 0;
    std::uint64_t m_duplicates = 0;
    std::uint64_t m_reordered = 0;
    std::uint64_t m_foreign = 0;
    DropResult m_drop;
};

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (name == "--dialect") {
            options.dialectName = value;
            if (value == "mirelune") {
                options.dialect = MemberDialect::Kind::Mirelune;
            } else if (value == "mirelune-chat") {
                options.dialect = MemberDialect::Kind::MireluneChat;
            } else if (value == "irc") {
                options.dialect = MemberDialect::Kind::Irc;
            } else if (value == "relay") {
                options.dialect = MemberDialect::Kind::Relay;
            } else {
                return false;
            }
        } else if (name == "--port") {
            options.port = std::atoi(value.c_str());
        } else if (name == "--members") {
            options.members = std::atoi(value.c_str());
        } else if (name == "--senders") {
            options.senders = std::atoi(value.c_str());
        } else if (name == "--modes") {
            options.modes.clear();
            std::istringstream list(value);
            std::string mode;
            while (std::getline(list, mode, ',')) {
                if (mode == "paced") {
                    options.modes.push_back(Mode::Paced);
                } else if (mode == "saturate") {
                    options.modes.push_back(Mode::Saturate);
                } else if (mode == "sustained") {
                    options.modes.push_back(Mode::Sustained);
                } else if (mode == "drop") {
                    options.modes.push_back(Mode::Drop);
                } else {
                    return false;
                }
            }
        } else if (name == "--paced-rate") {
            options.pacedRate = std::atof(value.c_str());
        } else if (name == "--paced-seconds") {
            options.pacedSeconds = std::atof(value.c_str());
        } else if (name == "--saturate-messages") {
            options.saturateMessages = static_cast<std::uint32_t>(std::atol(value.c_str()));
        } else if (name == "--sustained-messages") {
            options.sustainedMessages = static_cast<std::uint32_t>(std::atol(value.c_str()));
        } else if (name == "--window") {
            options.window = static_cast<std::uint32_t>(std::atol(value.c_str()));
        } else if (name == "--server-pid") {
            options.serverPid = std::atoi(value.c_str());
        } else if (name == "--label") {
            options.label = value;
        } else if (name == "--join-timeout") {
            options.joinTimeout = std::atof(value.c_str());
        } else if (name == "--phase-timeout") {
            options.phaseTimeout = std::atof(value.c_str());
        } else if (name == "--stop-reading") {
            options.stopReading = std::atoi(value.c_str());
        } else if (name == "--settle-seconds") {
            options.settleSeconds = std::atof(value.c_str());
        } else {
            return false;
        }
    }
    // In drop mode the senders keep reading: they are the first members, the ones that
    // stop are the last.
    const bool dropping = std::find(options.modes.begin(), options.modes.end(), Mode::Drop) != options.modes.end();
    if (dropping && (options.stopReading < 1 || options.senders + options.stopReading > options.members)) {
        return false;
    }
    return options.port > 0 && options.members >= 2 && options.senders >= 1 && options.senders <= options.members &&
           options.pacedRate > 0 && options.window >= 1 && options.window < kWindowRing;
}

} // namespace
} // namespace bench

int main(int argc, char** argv) {
    // Qt is used for the handshake's proofs only; no event loop runs.
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    bench::Options options;
    if (!bench::parseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: mirelune-load --dialect mirelune|mirelune-chat|irc|relay --port N --members N --senders S "
                     "[--modes paced,saturate,sustained,drop] [--paced-rate R] [--paced-seconds T] "
                     "[--saturate-messages M] [--sustained-messages M] [--window W] [--server-pid PID] "
                     "[--label TEXT] [--join-timeout S] [--phase-timeout S] [--stop-reading K] [--settle-seconds T]\n");
        return 2;
    }
    bench::LoadProgram program(std::move(options));
    return program.run();
}
