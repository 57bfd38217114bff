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
        WireWriter hello;
        hello.bytes(QByteArray(kRoomMagic));
        hello.u16(kProtocolVersion);
        hello.string(appId());
        hello.bytes(nonce);
        send(encodeFrame(FrameType::Hello, hello.data()));
        const auto challenge = nextFrame();
        EXPECT_TRUE(challenge && challenge->type == static_cast<quint8>(FrameType::Challenge));
        const QByteArray hostNonce = challenge ? challenge->body.mid(3, 16) : QByteArray();
        WireWriter create;
        create.string(name);
        create.string(QStringLiteral("Player"));
        send(encodeFrame(FrameType::Auth, proof::joinMember(password, hostNonce, nonce)) +
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
