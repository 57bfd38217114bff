#include "MemberDialect.h"

#include "session/SessionTypes.h"
#include "session/secure/KeyStore.h"
#include "session/secure/SecureChannel.h"
#include "session/wire/FrameCodec.h"
#include "session/wire/PasswordProof.h"
#include "session/wire/WireBuffer.h"

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <cstring>
#include <optional>

namespace bench {

namespace {

std::uint32_t readBigEndian32(const char* data) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}

// A name as the wire carries it (its length, then its UTF-8) at `pos`, which moves past
// it. The load program only counts the names it hears: it does not decode them.
std::optional<std::string_view> wireName(const char* data, std::size_t size, std::size_t& pos) {
    if (pos > size || size - pos < 4 || readBigEndian32(data + pos) > size - pos - 4) {
        return std::nullopt;
    }
    const std::string_view name(data + pos + 4, readBigEndian32(data + pos));
    pos += 4 + name.size();
    return name;
}

void appendBigEndian32(std::string& out, std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

void appendBytes(std::string& out, const QByteArray& bytes) {
    out.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The load program is no user: its members share one key of this run.
const session::secure::KeyPair25519& loadKey() {
    static const session::secure::KeyPair25519 key =
        session::secure::KeyPair25519::generate().value_or(session::secure::KeyPair25519{});
    return key;
}

const session::secure::SigningKey& loadSigningKey() {
    static const session::secure::SigningKey key = [] {
        session::secure::SecretBytes<crypto_sign_SEEDBYTES> seed;
        randombytes_buf(seed.data(), seed.size());
        return session::secure::SigningKey::fromSeed(seed);
    }();
    return key;
}

const QByteArray& loadSigningOffer() {
    static const QByteArray offer = session::secure::toBytes(loadSigningKey().publicKey);
    return offer;
}

// Our room protocol, as a member: the prologue and the handshake, then in records
// Hello with Auth (empty: the room is open) and CreatePlayer right behind it, then Send
// and Deliver frames. What a turn queues is sealed in one record when it is written. Events taken are acknowledged as
// docs/protocol.md asks: at most 20 ms after they came (the load program's timer), at
// once when 64 events or 64 KiB of them wait, and every 2 s with the keep-alive.
// The handshake goes through the session library's codec and proofs; the hot path reads
// Deliver frames in place.
class MireluneDialect : public MemberDialect {
public:
    MireluneDialect(int member, int roomSize, bool chatLines)
        : MemberDialect(member, roomSize),
          m_chatLines(chatLines),
          m_channel(loadKey(), session::encodePrologue(QString::fromUtf16(session::kApplicationId),
                                                       session::secure::aesGcmAvailable())) {
        // As the program's members do, it offers a signing key: the host delegates to
        // each member at its join (a signature), which the join figures then include.
        // The member ignores the room proof and the Delegation frame.
        m_channel.setHandshakePayload(loadSigningOffer());
    }

    void start(std::string& out) override { appendBytes(out, m_channel.start()); }

    void seal(std::string& out) override {
        if (!m_staged.empty()) {
            appendBytes(out, m_channel.seal(QByteArrayView(m_staged.data(), static_cast<qsizetype>(m_staged.size()))));
            m_staged.clear();
        }
    }

    std::size_t consume(const char* data, std::size_t size, std::string& out, PayloadSink& sink) override {
        // One buffer for every member's opened records, its room kept from read to read.
        static thread_local QByteArray plain;
        plain.resize(0);
        QByteArray reply;
        if (!m_channel.receive(QByteArrayView(data, static_cast<qsizetype>(size)), plain, reply)) {
            fail("a handshake message or record that does not read");
            return size;
        }
        if (m_channel.state() == session::secure::SecureChannel::State::Clear) {
            fail("the host speaks another protocol version");
            return size;
        }
        appendBytes(out, reply);
        if (m_memberNonce.isEmpty() && m_channel.isOpen()) {
            sendHello();
            // The room is known to be open: Auth carries nothing, and it and the player
            // go right behind Hello, in the record of the handshake's last message. The
            // host handles them in order, once it has sent the Challenge.
            appendBytes(m_staged, session::encodeFrame(session::FrameType::Auth, QByteArray()));
            session::WireWriter create;
            create.string(QStringLiteral("m%1").arg(m_member));
            create.string(QString());
            appendBytes(m_staged, session::encodeFrame(session::FrameType::CreatePlayer, create.data()));
        }
        // Frames are read where they were opened; only a cut one at the end is kept, and
        // the next records' bytes complete it before the frames after it are read in place.
        const char* opened = plain.constData();
        std::size_t left = static_cast<std::size_t>(plain.size());
        while (!m_plainIn.empty() && left > 0 && !m_failed) {
            // A frame is its length's 4 bytes and at least its type.
            const std::size_t whole =
                m_plainIn.size() < 4 ? 5 : std::max<std::size_t>(5, 4 + std::size_t{readBigEndian32(m_plainIn.data())});
            if (whole <= m_plainIn.size()) {
                break; // consumeFrames() took every whole frame, or failed
            }
            const std::size_t taken = std::min(whole - m_plainIn.size(), left);
            m_plainIn.append(opened, taken);
            opened += taken;
            left -= taken;
            m_plainIn.erase(0, consumeFrames(m_plainIn.data(), m_plainIn.size(), sink));
        }
        if (m_plainIn.empty()) {
            const std::size_t used = consumeFrames(opened, left, sink);
            m_plainIn.assign(opened + used, left - used);
        } else if (left > 0 && !m_failed) {
            m_plainIn.append(opened, left);
            m_plainIn.erase(0, consumeFrames(m_plainIn.data(), m_plainIn.size(), sink));
        }
        seal(out);
        return size;
    }

    void sendHello() {
        std::string& out = m_staged;
        m_memberNonce = session::proof::randomNonce();
        session::WireWriter hello;
        hello.bytes(QByteArray(session::kRoomMagic));
        hello.u16(session::kProtocolVersion);
        hello.string(QString::fromUtf16(session::kApplicationId));
        hello.bytes(m_memberNonce);
        appendBytes(out, session::encodeFrame(session::FrameType::Hello, hello.data()));
    }

    std::size_t consumeFrames(const char* data, std::size_t size, PayloadSink& sink) {
        std::string& out = m_staged;
        std::size_t pos = 0;
        while (!m_failed && size - pos >= 5) {
            const std::uint32_t length = readBigEndian32(data + pos);
            if (length == 0 || length > 1024 * 1024) {
                fail("bad frame length");
                break;
            }
            if (size - pos - 4 < length) {
                break;
            }
            const auto type = static_cast<session::FrameType>(data[pos + 4]);
            const char* body = data + pos + 5;
            const std::size_t bodySize = length - 1;
            pos += 4 + length;
            if (m_joined && (type == session::FrameType::Deliver || type == session::FrameType::Joined ||
                             type == session::FrameType::Left)) {
                ++m_eventsTaken;
                m_eventBytesWaiting += 4 + length;
            }
            if (type == session::FrameType::Deliver) {
                deliver(body, bodySize, sink);
            } else if (type == session::FrameType::Left) {
                ++m_leaves;
            } else if (type == session::FrameType::Joined) {
                // An arrival: id, then the name.
                std::size_t at = 4;
                if (const auto name = wireName(body, bodySize, at)) {
                    sawName(*name);
                }
            } else if (type != session::FrameType::Joined && type != session::FrameType::Left &&
                       type != session::FrameType::Heartbeat && type != session::FrameType::Ack) {
                handshake(type, QByteArray(body, static_cast<qsizetype>(bodySize)));
            }
        }
        if (m_eventsTaken - m_eventsAcknowledged >= kAckEvents || m_eventBytesWaiting >= kAckBytes) {
            appendAck(out);
        }
        return pos;
    }

    void appendSend(std::string&, const char* payload, std::size_t size) override {
        std::string& out = m_staged;
        // Every Send carries its line's 64-byte signature. The host relays it unchecked
        // and these members check nothing, so each member signs once, at its first
        // line, and sends that signature with every line: the host's work per line
        // (the bytes it relays) is a real member's, the load program's own is not.
        if (m_signature.isEmpty()) {
            m_signature = loadSigningKey().sign(QByteArrayView(payload, static_cast<qsizetype>(size)));
        }
        if (!m_chatLines) {
            appendBigEndian32(out, static_cast<std::uint32_t>(1 + 4 + 4 + 64 + size));
            out.push_back(static_cast<char>(session::FrameType::Send));
            appendBigEndian32(out, static_cast<std::uint32_t>(session::kEveryone));
            appendBigEndian32(out, m_nextSeq++);
            out.append(m_signature.constData(), 64);
            out.append(payload, size);
            return;
        }
        // A public chat line: i32 kind 0, then the text as a string; the text is the
        // load program's marker followed by an everyday Japanese sentence.
        const std::size_t textSize = size + sizeof kChatTail - 1;
        appendBigEndian32(out, static_cast<std::uint32_t>(1 + 4 + 4 + 64 + 4 + 4 + textSize));
        out.push_back(static_cast<char>(session::FrameType::Send));
        appendBigEndian32(out, static_cast<std::uint32_t>(session::kEveryone));
        appendBigEndian32(out, m_nextSeq++);
        out.append(m_signature.constData(), 64);
        appendBigEndian32(out, 0);
        appendBigEndian32(out, static_cast<std::uint32_t>(textSize));
        out.append(payload, size);
        out.append(kChatTail, sizeof kChatTail - 1);
    }

    // The Ack is the keep-alive, every 2 s.
    void appendKeepAlive(std::string& out) override { appendAck(out); }
    std::int64_t keepAliveNs() const override { return 2'000'000'000; }

    bool awaitsAck() const override { return m_eventsTaken != m_eventsAcknowledged; }
    // The host keeps every event until it is acknowledged.
    void appendAck(std::string&) override {
        std::string& out = m_staged;
        appendBigEndian32(out, 5);
        out.push_back(static_cast<char>(session::FrameType::Ack));
        appendBigEndian32(out, m_eventsTaken);
        m_eventsAcknowledged = m_eventsTaken;
        m_eventBytesWaiting = 0;
    }

private:
    static constexpr std::uint32_t kAckEvents = 64;
    static constexpr std::size_t kAckBytes = 64 * 1024;

    static constexpr char kChatTail[] = "　今日の打ち合わせは十五時からです。資料は共有フォルダにあります。";

    // Deliver: sender and receiver ids, the sender's seq, then the payload (a chat line's
    // kind and text).
    void deliver(const char* body, std::size_t bodySize, PayloadSink& sink) {
        // Sender, receiver, seq, the line's signature (64), payload.
        constexpr std::size_t kHead = 12 + 64;
        if (bodySize < kHead) {
            return;
        }
        if (!m_chatLines) {
            sink.payload(m_member, body + kHead, bodySize - kHead);
            return;
        }
        if (bodySize >= kHead + 8 && readBigEndian32(body + kHead) == 0 &&
            readBigEndian32(body + kHead + 4) <= bodySize - kHead - 8) {
            sink.payload(m_member, body + kHead + 8, readBigEndian32(body + kHead + 4));
        }
    }

    void handshake(session::FrameType type, const QByteArray& body) {
        session::WireReader in(body);
        switch (type) {
        case session::FrameType::Challenge: {
            in.u16();
            const auto flags = in.u8();
            const auto hostNonce = in.bytes(session::proof::kNonceBytes);
            if (!in.ok() || (*flags & 0x01) != 0) {
                fail(in.ok() ? "the room has a password" : "short challenge");
                return;
            }
            m_hostNonce = *hostNonce; // Auth and CreatePlayer went with Hello
            return;
        }
        case session::FrameType::Accept: {
            // An open room's Accept begins with the instance id.
            if (!in.bytes(session::proof::kNonceBytes)) {
                fail("short accept");
            }
            return;
        }
        case session::FrameType::PlayerCreated: {
            // The new id, the two secrets, then the roster: everybody already in the room.
            in.i32();
            in.bytes(32);
            in.bytes(32);
            const quint32 count = in.u32().value_or(0);
            const auto size = static_cast<std::size_t>(body.size());
            auto at = size - static_cast<std::size_t>(in.remaining());
            bool whole = in.ok();
            for (quint32 i = 0; i < count && whole; ++i) {
                at += 4; // the member's id
                const auto name = wireName(body.constData(), size, at);
                whole = name.has_value();
                if (whole) {
                    sawName(*name);
                }
            }
            if (!whole) {
                fail("short roster");
                return;
            }
            m_joined = true;
            return;
        }
        case session::FrameType::Reject:
        case session::FrameType::PlayerRefused:
            fail("refused by the host");
            return;
        case session::FrameType::Goodbye:
            fail("the host closed the room");
            return;
        default:
            return;
        }
    }

    bool m_chatLines;
    std::uint32_t m_nextSeq = 1;
    QByteArray m_signature; // the signature every line of this member carries
    std::uint32_t m_eventsTaken = 0;
    std::uint32_t m_eventsAcknowledged = 0;
    std::size_t m_eventBytesWaiting = 0; // frames of the events not yet acknowledged
    QByteArray m_memberNonce;
    QByteArray m_hostNonce;
    session::secure::SecureChannel m_channel;
    std::string m_staged;  // frames queued since the last write, sealed when it happens
    std::string m_plainIn; // the opened frame stream not read yet
};

// An IRC client: registers, joins one channel and talks in it with PRIVMSG.
class IrcDialect : public MemberDialect {
public:
    IrcDialect(int member, int roomSize) : MemberDialect(member, roomSize) {}

    void start(std::string& out) override {
        const std::string number = std::to_string(m_member);
        out.append("NICK m").append(number).append("\r\nUSER m").append(number).append(" 0 * :load\r\n");
    }

    std::size_t consume(const char* data, std::size_t size, std::string& out, PayloadSink& sink) override {
        std::size_t pos = 0;
        while (!m_failed) {
            const void* newline = std::memchr(data + pos, '\n', size - pos);
            if (newline == nullptr) {
                break;
            }
            const char* line = data + pos;
            std::size_t length = static_cast<std::size_t>(static_cast<const char*>(newline) - line);
            pos += length + 1;
            if (length > 0 && line[length - 1] == '\r') {
                --length;
            }
            handleLine(line, length, out, sink);
        }
        return pos;
    }

    void appendSend(std::string& out, const char* payload, std::size_t size) override {
        out += "PRIVMSG #load :";
        out.append(payload, size);
        out += "\r\n";
    }

    void appendKeepAlive(std::string& out) override { out += "PING :load\r\n"; }

private:
    void handleLine(const char* line, std::size_t length, std::string& out, PayloadSink& sink) {
        const std::string_view text(line, length);
        if (text.starts_with("PING")) {
            out += "PONG";
            out.append(text.substr(4));
            out += "\r\n";
            return;
        }
        if (text.starts_with("ERROR")) {
            fail(std::string(text));
            return;
        }
        if (!text.starts_with(':')) {
            return;
        }
        // ":prefix COMMAND params"
        const std::size_t commandStart = text.find(' ');
        if (commandStart == std::string_view::npos) {
            return;
        }
        const std::string_view rest = text.substr(commandStart + 1);
        if (rest.starts_with("PRIVMSG ")) {
            const std::size_t trailing = rest.find(" :");
            if (trailing != std::string_view::npos) {
                const std::string_view payload = rest.substr(trailing + 2);
                sink.payload(m_member, payload.data(), payload.size());
            }
        } else if (rest.starts_with("001 ")) {
            out += "JOIN #load\r\n";
        } else if (rest.starts_with("JOIN ")) {
            // ":nick!user@host JOIN #load": somebody arrived (or this member itself).
            const std::string_view prefix = text.substr(1, commandStart - 1);
            sawName(prefix.substr(0, prefix.find('!')));
        } else if (rest.starts_with("QUIT") || rest.starts_with("PART ")) {
            ++m_leaves;
        } else if (rest.starts_with("353 ")) {
            // The channel's names, space separated, each perhaps with its status mark.
            const std::size_t trailing = rest.find(" :");
            if (trailing != std::string_view::npos) {
                std::string_view names = rest.substr(trailing + 2);
                while (!names.empty()) {
                    const std::size_t space = names.find(' ');
                    std::string_view name = names.substr(0, space);
                    while (!name.empty() && std::string_view("~&@%+").find(name.front()) != std::string_view::npos) {
                        name.remove_prefix(1);
                    }
                    sawName(name);
                    names = space == std::string_view::npos ? std::string_view() : names.substr(space + 1);
                }
            }
        } else if (rest.starts_with("366 ")) {
            m_joined = true;
        } else if (rest.starts_with("433 ") || rest.starts_with("465 ") || rest.starts_with("471 ") ||
                   rest.starts_with("405 ")) {
            fail(std::string(text));
        }
    }
};

// The minimal relay's frames: a 32-bit big-endian length and the payload. The relay
// greets a connection with an empty frame once it has taken it in.
class RelayDialect : public MemberDialect {
public:
    RelayDialect(int member, int roomSize) : MemberDialect(member, roomSize) {}

    void start(std::string&) override {}

    std::size_t consume(const char* data, std::size_t size, std::string&, PayloadSink& sink) override {
        std::size_t pos = 0;
        while (size - pos >= 4) {
            const std::uint32_t length = readBigEndian32(data + pos);
            if (size - pos - 4 < length) {
                break;
            }
            if (length == 0) {
                // The relay knows no names: taken in is all a member can learn.
                m_joined = true;
                sawWholeRoom();
            } else {
                sink.payload(m_member, data + pos + 4, length);
            }
            pos += 4 + length;
        }
        return pos;
    }

    void appendSend(std::string& out, const char* payload, std::size_t size) override {
        appendBigEndian32(out, static_cast<std::uint32_t>(size));
        out.append(payload, size);
    }

    void appendKeepAlive(std::string&) override {}
};

} // namespace

std::unique_ptr<MemberDialect> MemberDialect::create(Kind kind, int member, int roomSize) {
    switch (kind) {
    case Kind::Mirelune:
        return std::make_unique<MireluneDialect>(member, roomSize, false);
    case Kind::MireluneChat:
        return std::make_unique<MireluneDialect>(member, roomSize, true);
    case Kind::Irc:
        return std::make_unique<IrcDialect>(member, roomSize);
    case Kind::Relay:
        return std::make_unique<RelayDialect>(member, roomSize);
    }
    return nullptr;
}

void MemberDialect::sawName(std::string_view name) {
    if (name.size() < 2 || name.size() > 7 || name[0] != 'm') {
        return;
    }
    int number = 0;
    for (const char c : name.substr(1)) {
        if (c < '0' || c > '9') {
            return;
        }
        number = number * 10 + (c - '0');
    }
    if (number < m_roomSize && !m_known[static_cast<std::size_t>(number)]) {
        m_known[static_cast<std::size_t>(number)] = true;
        ++m_seen;
    }
}

} // namespace bench
