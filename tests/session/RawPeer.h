#pragma once

#include "SessionTestSupport.h"
#include "session/secure/CPace.h"
#include "session/secure/LineSignature.h"
#include "session/secure/RoomIdentity.h"
#include "session/secure/SecureChannel.h"
#include "session/wire/FrameCodec.h"
#include "session/wire/PasswordProof.h"
#include "session/wire/Succession.h"
#include "session/wire/WireBuffer.h"

#include <QTcpServer>
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

inline QByteArray createFrame(const QString& name) {
    WireWriter create;
    create.string(name);
    create.string(u"Player"_s);
    return encodeFrame(FrameType::CreatePlayer, create.data());
}

// The payload of a public chat line; the frame a member sends it to everybody in, or,
// given its sender, the one the host delivers it in.
inline QByteArray chatPayload(const QString& text) {
    Message message;
    message.writeInt32(0);
    message.writeString(text);
    return message.payload();
}
// Its signature is all zero unless given: see RawPeer::line for a signed one.
inline QByteArray chatFrame(const QString& text, quint32 seq = 1, PlayerId from = 0,
                            const QByteArray& signature = QByteArray(64, '\0')) {
    WireWriter body;
    if (from != 0)
        body.i32(from);
    body.i32(kEveryone);
    body.u32(seq);
    body.bytes(signature);
    body.bytes(chatPayload(text));
    return encodeFrame(from != 0 ? FrameType::Deliver : FrameType::Send, body.data());
}

// A peer that speaks the wire by hand, to send what a well-behaved copy never would;
// from `from` when given (the host counts 127.0.0.2 apart from 127.0.0.1).
struct RawPeer {
    explicit RawPeer(quint16 port, const QHostAddress& from = {}) {
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(QHostAddress::LocalHost, port);
        EXPECT_TRUE(socket.waitForConnected(2000));
    }
    bool closedByHost() {
        return testsupport::waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 3s);
    }
    // The prologue and the handshake; from then on send() seals and nextFrame() opens.
    bool secure() {
        channel.emplace(secure::deviceNoiseKey(), encodePrologue(appId(), secure::aesGcmAvailable()));
        // It offers its signing key, as the program's members do.
        channel->setHandshakePayload(secure::encodeMemberOffer(secure::deviceKeys()));
        send(channel->start());
        testsupport::waitUntil([&] { return pump() && (channel->isOpen() || channel->failed()); });
        return channel->isOpen();
    }
    bool pump() {
        const QByteArray chunk = socket.readAll();
        if (!channel) {
            decoder.feed(chunk);
            return true;
        }
        QByteArray plain, reply;
        const bool ok = channel->receive(chunk, plain, reply);
        socket.write(reply);
        decoder.feed(plain);
        return ok;
    }
    void send(const QByteArray& bytes) {
        socket.write(channel && channel->isOpen() ? channel->seal(QByteArrayView(bytes)) : bytes);
        socket.flush();
    }
    // The next frame; a History (what was said before the player came) is kept in
    // `history`, not returned: it is no event, and most tests do not look at it. A
    // Heartbeat, which the host sends every link on its own clock, is passed over.
    std::optional<Frame> nextFrame() {
        testsupport::waitUntil([&] {
            pump();
            pending = decoder.next();
            if (pending && pending->type == quint8(FrameType::History)) {
                history = std::exchange(pending, std::nullopt);
            } else if (pending && pending->type == quint8(FrameType::Heartbeat)) {
                pending.reset();
            }
            return pending.has_value() || socket.state() == QAbstractSocket::UnconnectedState;
        });
        return std::exchange(pending, std::nullopt);
    }
    // Hello, then Auth with `next`: right behind it in an open room (a member need not
    // wait for Accept), after Accept and the re-key in a password room, whose CPace runs
    // with `password`. The host's answer to `next`, none unless it let the member in.
    std::optional<Frame> authenticate(const QByteArray& next, const QString& password = {}) {
        const QByteArray nonce = proof::randomNonce();
        if (!channel)
            secure();
        send(helloFrame(nonce));
        const auto challenge = nextFrame();
        EXPECT_TRUE(challenge && challenge->type == static_cast<quint8>(FrameType::Challenge));
        if (!challenge || (challenge->body.at(2) & 0x01) == 0) {
            send(encodeFrame(FrameType::Auth, {}) + next);
            const auto accepted = nextFrame();
            return accepted && accepted->type == quint8(FrameType::Accept) ? nextFrame() : std::nullopt;
        }
        auto cpace = secure::CPaceParty::start(secure::CPaceParty::Role::Responder, secure::passwordBytes(password),
                                               channel->cpaceChannelIdentity(), channel->cpaceSid(), nonce);
        if (!cpace->receive(challenge->body.mid(35, 32), challenge->body.mid(19, 16)))
            return std::nullopt;
        send(encodeFrame(FrameType::Auth, cpace->share() + cpace->ownConfirmation()));
        const auto accepted = nextFrame();
        if (!accepted || accepted->type != quint8(FrameType::Accept) ||
            !cpace->checkConfirmation(accepted->body.left(64)) || !channel->rekey(cpace->iskBytes()))
            return std::nullopt;
        send(next);
        return nextFrame();
    }
    // A member of the room as far as the host can tell: its player, 0 when the proof
    // or the player is refused.
    PlayerId joinAs(const QString& name, const QString& password = {}) {
        const auto created = authenticate(createFrame(name), password);
        return player = created && created->type == quint8(FrameType::PlayerCreated)
                            ? WireReader(created->body).i32().value_or(0)
                            : 0;
    }
    // A public line as a member's copy sends it: signed with the device's key, for the
    // room whose key the host proved.
    QByteArray line(const QString& text, quint32 seq = 1) const {
        const auto chain = secure::readProof(channel->peerPayload());
        return chatFrame(text, seq, 0,
                         secure::signLine(secure::deviceKeys().signing, chain ? chain->roomKey : secure::RoomKey{},
                                          player, kEveryone, seq, chatPayload(text)));
    }
    // Resume's body for `id`: the player proved by the device's signature of this connection.
    QByteArray resumeBody(PlayerId id, quint32 taken) const {
        WireWriter body;
        body.i32(id);
        body.bytes(QByteArray(kSecretBytes, '\0'));
        body.u32(taken);
        body.bytes(secure::deviceKeys().signing.sign(
            secure::resumeSignedBytes(secure::toBytes(channel->handshakeHash()), id)));
        return body.take();
    }

    QTcpSocket socket;
    std::optional<secure::SecureChannel> channel;
    FrameDecoder decoder{1024 * 1024};
    std::optional<Frame> pending;
    std::optional<Frame> history;
    PlayerId player = 0;
};

// A host scripted by hand at a port of its own: it runs the password's CPace with
// `password` (whatever the member knows), keeps what it was sent, sends Accept and a
// first record under the new keys together, and creates the player 5 with a welcome
// line in the same write. Player 6 is another member of its room; it acknowledges every
// Send at once, and delivers none.
struct FakeHost {
    explicit FakeHost(const QString& password) {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, password] {
            link = server.nextPendingConnection();
            channel.emplace(secure::deviceNoiseKey(),
                            [](QByteArrayView bytes) { return acceptedPrologue(bytes, appId()); });
            // It proves a room key of its own for the room it names in Accept.
            channel->setHandshakePayload(authority->chain().encodeProof());
            QObject::connect(link, &QTcpSocket::readyRead, link, [this, password] { answer(password); });
        });
    }

    void write(const QByteArray& frames) { link->write(channel->seal(QByteArrayView(frames))); }
    void answer(const QString& password) {
        QByteArray plain, reply;
        channel->receive(link->readAll(), plain, reply);
        link->write(reply);
        decoder.feed(plain);
        while (const auto frame = decoder.next()) {
            WireWriter out;
            if (frame->type == static_cast<quint8>(FrameType::Hello)) {
                memberNonce = frame->body.right(proof::kNonceBytes);
                out.u16(kProtocolVersion);
                out.u8(password.isEmpty() ? 0 : 1);
                out.bytes(hostNonce);
                out.bytes(instanceId);
                if (!password.isEmpty()) {
                    sid = channel->cpaceSid();
                    ci = channel->cpaceChannelIdentity();
                    cpace = secure::CPaceParty::start(secure::CPaceParty::Role::Initiator,
                                                      secure::passwordBytes(password), ci, sid, instanceId, &scalar);
                    out.bytes(cpace->share());
                }
                write(encodeFrame(FrameType::Challenge, out.data()));
            } else if (frame->type == static_cast<quint8>(FrameType::Auth)) {
                auth = frame->body;
                if (cpace && cpace->receive(auth.left(32), memberNonce))
                    out.bytes(cpace->ownConfirmation());
                out.bytes(instanceId);
                out.string(u"room"_s);
                out.i32(4);
                // With a password, a Heartbeat under the new keys in the same write.
                QByteArray bytes = channel->seal(encodeFrame(FrameType::Accept, out.data()));
                if (cpace && channel->rekey(cpace->iskBytes()))
                    bytes += channel->seal(encodeFrame(FrameType::Heartbeat, {}));
                link->write(bytes);
            } else if (frame->type == static_cast<quint8>(FrameType::CreatePlayer)) {
                out.i32(5);
                out.bytes(QByteArray(2 * kSecretBytes, 's'));
                out.u32(3);
                for (const auto& [id, name] :
                     {std::pair{1, u"host"_s}, std::pair{6, u"bob"_s}, std::pair{5, u"me"_s}}) {
                    out.i32(id);
                    out.string(name);
                }
                const QByteArray key = secure::toBytes(secure::deviceKeys().signing.publicKey);
                for (const PlayerId id : {1, 6, 5})
                    writeSuccession(
                        out, RoomPlayer{id, {}, key, id == 1 ? Endpoint{} : Endpoint{QHostAddress::LocalHost, 1}});
                write(encodeFrame(FrameType::PlayerCreated, out.data()) + line(u"welcome"_s, 1));
            } else if (frame->type == static_cast<quint8>(FrameType::Send)) {
                write(encodeFrame(FrameType::Ack, frame->body.mid(4, 4)));
            }
        }
    }
    // A public line from player 1, signed by `key` (by default the host's own).
    QByteArray line(const QString& text, quint32 seq, const secure::SigningKey& key = secure::deviceKeys().signing) {
        return chatFrame(text, seq, 1,
                         secure::signLine(key, authority->chain().roomKey, 1, kEveryone, seq, chatPayload(text)));
    }

    // Player 6's receipt for the member's lines up to `seq`, signed by `key`.
    QByteArray receipt(quint32 seq, const secure::SigningKey& key = secure::deviceKeys().signing) {
        WireWriter out;
        out.i32(6);
        out.u32(seq);
        out.bytes(key.sign(secure::receiptSignedBytes(authority->chain().roomKey, 6, 5, seq)));
        return encodeFrame(FrameType::Receipt, out.data());
    }

    // Opens the fake room for `member`, which knows `password`.
    Status join(TestCopy& member, const QString& password) {
        RoomDescription room = describe({}, password);
        room.hostAddress = u"127.0.0.1"_s;
        room.hostPort = server.serverPort();
        return member.service->openRoom(room, OpenMode::Join);
    }

    const QByteArray instanceId = QByteArray(16, 'i');
    const std::shared_ptr<const secure::HostingAuthority> authority = secure::creatorAuthority(u"room"_s);
    QTcpServer server;
    QTcpSocket* link = nullptr;
    std::optional<secure::SecureChannel> channel;
    FrameDecoder decoder{1024 * 1024};
    QByteArray memberNonce;
    const QByteArray hostNonce = proof::randomNonce();
    // Its CPace run: the secret scalar it chose, the inputs, and the member's Auth.
    secure::SecretBytes<secure::kCPaceScalarBytes> scalar = [] {
        secure::SecretBytes<secure::kCPaceScalarBytes> chosen;
        crypto_core_ristretto255_scalar_random(chosen.data());
        return chosen;
    }();
    std::optional<secure::CPaceParty> cpace;
    QByteArray sid, ci, auth;
};

} // namespace sessiontest
