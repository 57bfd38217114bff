#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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

    static std::unique_ptr<MemberDialect> create(Kind kind, int member);

    // What goes out as soon as the TCP connection is up.
    virtual void start(std::string& out) = 0;
    // Takes the complete units (frames, lines) at the front of data and returns how
    // many bytes it used; the rest waits for more. Replies (handshake steps, PONG)
    // are appended to out.
    virtual std::size_t consume(const char* data, std::size_t size, std::string& out, PayloadSink& sink) = 0;
    // One message of `size` bytes to everyone else in the room.
    virtual void appendSend(std::string& out, const char* payload, std::size_t size) = 0;
    // Something that keeps an otherwise silent member from being timed out.
    virtual void appendKeepAlive(std::string& out) = 0;

    // In the room: it may send, and it receives what the others send.
    bool joined() const { return m_joined; }
    // The server refused or broke the conversation; the connection is useless.
    bool failed() const { return m_failed; }
    const std::string& failure() const { return m_failure; }

protected:
    explicit MemberDialect(int member) : m_member(member) {}
    void fail(std::string why) {
        m_failed = true;
        m_failure = std::move(why);
    }

    int m_member;
    bool m_joined = false;
    bool m_failed = false;
    std::string m_failure;
};

} // namespace bench
