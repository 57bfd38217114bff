#pragma once

#include "SessionTestSupport.h"
#include "session/FrameCodec.h"
#include "session/PasswordProof.h"
#include "session/WireBuffer.h"

#include <QTcpSocket>
#include <gtest/gtest.h>
#include <optional>
#include <utility>

namespace sessiontest {

inline QByteArray helloFrame(const QByteArray& nonce = proof::randomNonce()) {
    WireWriter hello;
    hello.bytes(QByteArray(kRoomMagic));
    hello.u16(kProtocolVersion);
    hello.string(appId());
    hello.bytes(nonce);
    return encodeFrame(FrameType::Hello, hello.data());
}

// The payload of a public chat line, and the frame a member sends it to everybody in.
inline QByteArray chatPayload(const QString& text) {
    Message message;
    message.writeInt32(0);
    message.writeString(text);
    return message.payload();
}
inline QByteArray sendFrame(const QString& text) {
    WireWriter body;
    body.i32(kEveryone);
    body.bytes(chatPayload(text));
    return encodeFrame(FrameType::Send, body.data());
}

// A peer that speaks the wire by hand, to send what a well-behaved copy never would.
struct RawPeer {
    explicit RawPeer(quint16 port) {
        socket.connectToHost(QHostAddress::LocalHost, port);
        EXPECT_TRUE(socket.waitForConnected(2000));
    }
    bool closedByHost() {
        return testsupport::waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 3s);
    }
    void send(const QByteArray& bytes) {
        socket.write(bytes);
        socket.flush();
    }
    std::optional<Frame> nextFrame() {
        testsupport::waitUntil([&] {
            decoder.feed(socket.readAll());
            pending = decoder.next();
            return pending.has_value() || socket.state() == QAbstractSocket::UnconnectedState;
        });
        return std::exchange(pending, std::nullopt);
    }
    // Hello, then the proof with the player right behind it (a member need not wait
    // for Accept): a member of the room as far as the host can tell. 0 when refused.
    PlayerId joinAs(const QString& name, const QString& password = {}) {
        const QByteArray nonce = proof::randomNonce();
        send(helloFrame(nonce));
        const auto challenge = nextFrame();
        EXPECT_TRUE(challenge && challenge->type == static_cast<quint8>(FrameType::Challenge));
        const QByteArray hostNonce = challenge ? challenge->body.mid(3, 16) : QByteArray();
        WireWriter create;
        create.string(name);
        create.string(u"Player"_s);
        const QByteArray key = proof::joinKey(password, challenge ? challenge->body.mid(19, 16) : QByteArray());
        send(encodeFrame(FrameType::Auth, proof::joinMember(key, hostNonce, nonce)) +
             encodeFrame(FrameType::CreatePlayer, create.data()));
        const auto accepted = nextFrame();
        if (!accepted || accepted->type != static_cast<quint8>(FrameType::Accept)) {
            return 0;
        }
        const auto created = nextFrame();
        EXPECT_TRUE(created && created->type == static_cast<quint8>(FrameType::PlayerCreated));
        return created ? WireReader(created->body).i32().value_or(0) : 0;
    }

    QTcpSocket socket;
    FrameDecoder decoder{1024 * 1024};
    std::optional<Frame> pending;
};

} // namespace sessiontest
