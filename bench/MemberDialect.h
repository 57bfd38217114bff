#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Where a member's received chat payloads go (the load program's bookkeeping).
class PayloadSink {
public:
    virtual ~PayloadSink() = default;
    virtual void payload(int member, const char* data, std::size_t size) = 0;
};

// The wire a load member speaks: how it joins, how it sends a payload to the whole
// room and how it finds the payloads in what it receives. One object per connection.
class MemberDialect {
public:
    // MireluneChat speaks the room protocol with every payload inside a chat line, as
    // the program writes them, so that a hosting copy's own player can show it.
    enum class Kind { Mirelune, MireluneChat, Irc, Relay };

    virtual ~MemberDialect() = default;

    // `roomSize`: how many members the load program puts in the room.
    static std::unique_ptr<MemberDialect> create(Kind kind, int member, int roomSize);

    // What goes out as soon as the TCP connection is up.
    virtual void start(std::string& out) = 0;
    // Takes the complete units (frames, lines) at the front of data and returns how
    // many bytes it used; the rest waits for more. Replies (handshake steps, PONG)
    // are appended to out.
    virtual std::size_t consume(const char* data, std::size_t size, std::string& out, PayloadSink& sink) = 0;
    // One message of `size` bytes to everyone else in the room.
    virtual void appendSend(std::string& out, const char* payload, std::size_t size) = 0;
    // Called before what is queued is written: a dialect that encrypts seals the turn's
    // frames into `out` here, in one go.
    virtual void seal(std::string&) {}
    // Something that keeps an otherwise silent member from being timed out, sent every
    // keepAliveNs() nanoseconds.
    virtual void appendKeepAlive(std::string& out) = 0;
    virtual std::int64_t keepAliveNs() const { return 4'000'000'000; }
    // Whether what it took waits for an acknowledgement (our protocol: events not yet
    // acknowledged); the load program then calls appendAck within ackDelayNs() of the
    // read that brought the first of them.
    virtual bool awaitsAck() const { return false; }
    virtual void appendAck(std::string&) {}
    static constexpr std::int64_t ackDelayNs() { return 19'000'000; }

    // In the room: it may send, and it receives what the others send.
    bool joined() const { return m_joined; }
    // Has heard of every member of the load program (itself included), from what it
    // got on joining (the roster, the name list) and the arrivals announced after it:
    // the room as the member's user would see it.
    bool seesWholeRoom() const { return m_seen == m_roomSize; }
    // Departures of others announced to it (Left; IRC's QUIT and PART).
    int leavesSeen() const { return m_leaves; }
    // The server refused or broke the conversation; the connection is useless.
    bool failed() const { return m_failed; }
    const std::string& failure() const { return m_failure; }

protected:
    MemberDialect(int member, int roomSize)
        : m_member(member), m_roomSize(roomSize), m_known(static_cast<std::size_t>(roomSize), false) {}
    void fail(std::string why) {
        m_failed = true;
        m_failure = std::move(why);
    }

    // A name as the load program gives them ("m" and the member's number) is one more
    // member known; any other name (a host's own player) is not counted.
    void sawName(std::string_view name);
    void sawWholeRoom() { m_seen = m_roomSize; }

    int m_member;
    int m_roomSize;
    std::vector<bool> m_known;
    int m_seen = 0;
    int m_leaves = 0;
    bool m_joined = false;
    bool m_failed = false;
    std::string m_failure;
};

} // namespace bench
