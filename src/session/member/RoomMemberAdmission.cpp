#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/member/RoomMember.h"
#include "session/secure/LineSignature.h"
#include "session/wire/DiscoveryDatagram.h"
#include "session/wire/PasswordProof.h"
#include "session/wire/WireBuffer.h"

namespace session {

// The way into a room: the challenge and the proofs both ways, Accept, the player
// created or refused, a resume answered. Everything after it is in RoomMember.cpp.

namespace {

Error refusalError(const QByteArray& body, quint32 fallbackCode) {
    WireReader in(body);
    const quint32 reason = in.u32().value_or(0);
    const QString text = in.string(4096).value_or(QString());
    quint32 code = fallbackCode;
    switch (static_cast<RefuseReason>(reason)) {
    case RefuseReason::Password:
        code = kErrorAccessDenied;
        break;
    case RefuseReason::Full:
        code = kErrorRoomFull;
        break;
    case RefuseReason::InvalidName:
        code = kErrorInvalidName;
        break;
    default:
        break;
    }
    return Error{code,
                 text.isEmpty() ? QStringLiteral("the host refused") : QStringLiteral("the host refused: ") + text};
}

} // namespace

bool RoomMember::handleWayIn(const Frame& frame) {
    const auto type = static_cast<FrameType>(frame.type);
    WireReader in(frame.body);
    auto malformed = [this] { fail(kErrorProtocol, QStringLiteral("the host sent a malformed frame"), true); };

    if (type == FrameType::Reject && m_state != State::Playing) {
        const Error error = refusalError(frame.body, kErrorConnectFailed);
        // A resume refused for a full room or for its address's wrong guesses (someone
        // else's, behind the same address) may pass a moment later.
        const auto reason = static_cast<RefuseReason>(WireReader(frame.body).u32().value_or(0));
        // The room's own host, alive, no longer knows the player (its grace ended): the
        // room goes on without this copy, which must not take it over as if the host
        // were gone (that would split the room in two and lose its lines unseen).
        if (m_resuming && !m_moving && reason == RefuseReason::NoSuchPlayer) {
            m_mayMigrate = false;
        }
        fail(error.code, error.description,
             !m_resuming || (reason != RefuseReason::Password && reason != RefuseReason::Full));
        return true;
    }
    switch (m_state) {
    case State::Handshaking: {
        if (type != FrameType::Challenge) {
            malformed();
            return true;
        }
        const auto version = in.u16();
        const auto flags = in.u8();
        const auto hostNonce = in.bytes(proof::kNonceBytes);
        if (!in.ok()) {
            malformed();
            return true;
        }
        // A room without a password needs none, whatever password the user typed: it
        // may have been meant for another room on the list.
        const bool password = (*flags & 0x01) != 0; // bit 0: password protected
        if (!password) {
            m_password.clear();
        }
        // A Challenge in clear comes from a host of an older version.
        if (*version != kProtocolVersion || !m_channel->isOpen()) {
            fail(kErrorProtocol, QStringLiteral("the host speaks protocol version %1").arg(*version), true);
            return true;
        }
        const auto instanceId = in.bytes(proof::kNonceBytes);
        const auto hostShare =
            password ? in.bytes(secure::kCPaceElementBytes) : std::optional<QByteArray>(QByteArray());
        if (!in.ok()) {
            malformed();
            return true;
        }
        // Another hosting of the room (or another room) at the same address has
        // nothing of this player.
        if (m_resuming && *instanceId != m_instanceId) {
            fail(kErrorConnectionLost, QStringLiteral("the room is gone"), true);
            return true;
        }
        m_state = State::Authenticating;
        WireWriter auth;
        if (password) {
            // The member answers the host's CPace share with its own and its confirmation;
            // what it proves it saw (ADb) is its nonce, the host's (ADa) the instance id.
            m_cpace =
                secure::CPaceParty::start(secure::CPaceParty::Role::Responder, secure::passwordBytes(m_password),
                                          m_channel->cpaceChannelIdentity(), m_channel->cpaceSid(), m_memberNonce);
            if (!m_cpace || !m_cpace->receive(*hostShare, *instanceId)) {
                fail(kErrorAccessDenied, QStringLiteral("the host could not prove the room's password"), true);
                return true;
            }
            auth.bytes(m_cpace->share());
            auth.bytes(m_cpace->ownConfirmation());
            // Nothing more goes before Accept, and what follows Accept's record is
            // opened only once the keys changed.
            m_channel->holdRecords(true);
        }
        write(FrameType::Auth, auth.data());
        // Kept for the successor's proof in Accept.
        m_memberNonce.append(*hostNonce);
        return true;
    }
    case State::Authenticating: {
        if (type != FrameType::Accept) {
            malformed();
            return true;
        }
        const auto hostTag = m_cpace ? in.bytes(secure::kCPaceTagBytes) : std::optional<QByteArray>(QByteArray());
        const auto instanceId = in.bytes(proof::kNonceBytes);
        if (!in.ok()) {
            malformed();
            return true;
        }
        const QByteArray memberNonce = m_memberNonce.left(proof::kNonceBytes);
        const QByteArray hostNonce = m_memberNonce.mid(proof::kNonceBytes);
        if (m_cpace) {
            // The host proves the password too, so a stranger answering at the room's
            // address cannot pose as it. Accept ends the host's records under the
            // handshake's keys: anything behind it in the same records is refused.
            if (!m_cpace->checkConfirmation(*hostTag)) {
                fail(kErrorAccessDenied, QStringLiteral("the host could not prove the room's password"), true);
                return true;
            }
            if (m_decoder.pendingBytes() > 0 || !m_channel->rekey(m_cpace->iskBytes())) {
                malformed();
                return true;
            }
            m_cpace.reset();
            m_channel->holdRecords(false);
        }
        const auto roomName = in.string(kMaxNameChars * 3);
        const auto attribute = in.i32();
        const auto successorProof = in.bytes(proof::kProofBytes);
        // Knowing the password is not enough to take a room over: a copy that claims
        // to be the room's new host proves it was given the room's secret. So does the
        // host of such a room that a member comes back to, before it learns the
        // member's resume secret.
        const QByteArray& expected = m_expectedSecret.isEmpty() && m_resuming && m_attribute == kMigratingRoomAttribute
                                         ? m_roomSecret
                                         : m_expectedSecret;
        if (!expected.isEmpty() &&
            (!successorProof ||
             !proof::equal(*successorProof, proof::successorHost(expected, hostNonce, memberNonce)))) {
            fail(kErrorAccessDenied, QStringLiteral("the host could not prove it belongs to the room"), true);
            return true;
        }
        if (!checkRoomKey(roomName.value_or(QString()))) {
            return true;
        }
        if (!m_heartbeat.isActive()) {
            // Silence is looked for twice per heartbeat, so it is noticed soon after the time-out.
            m_heartbeat.start(m_config.heartbeatInterval / 2);
        }
        if (m_resuming) {
            // The member proves its player by signing this connection with its device
            // key, which the host (or the copy that took the room over) knows; no secret
            // of it crosses the wire that a host could pass on.
            WireWriter resume;
            resume.i32(m_playerId);
            resume.bytes(QByteArray(kSecretBytes, '\0'));
            resume.u32(m_eventsTaken);
            resume.bytes(secure::deviceKeys().signing.sign(
                secure::resumeSignedBytes(secure::toBytes(m_channel->handshakeHash()), m_playerId)));
            m_state = State::Resuming;
            write(FrameType::Resume, resume.data());
            return true;
        }
        m_instanceId = *instanceId;
        m_attribute = attribute.value_or(0);
        m_state = State::Admitted;
        m_opened = true;
        Q_EMIT opened();
        return true;
    }
    case State::Resuming:
        if (type == FrameType::Resumed) {
            handleResumed(in);
        } else if (type != FrameType::Heartbeat) {
            malformed();
        }
        return true;
    case State::CreatingPlayer:
        if (type == FrameType::PlayerCreated) {
            const auto id = in.i32();
            const auto resumeSecret = in.bytes(kSecretBytes);
            const auto roomSecret = in.bytes(kSecretBytes);
            const auto count = in.u32();
            QList<PlayerEntry> roster;
            // Each entry takes at least 8 bytes; a count beyond that is a lie.
            if (!in.ok() || *count > static_cast<quint32>(in.remaining() / 8)) {
                malformed();
                return true;
            }
            for (quint32 i = 0; i < *count; ++i) {
                const auto memberId = in.i32();
                const auto name = in.string(kMaxNameChars * 3);
                if (!in.ok()) {
                    malformed();
                    return true;
                }
                roster.append(PlayerEntry{*memberId, *name});
            }
            m_successors.readRoster(in, roster);
            for (const RoomPlayer& player : m_successors.players()) {
                learnKey(player.id, player.signingKey);
            }
            m_state = State::Playing;
            m_playerId = *id;
            m_resumeSecret = *resumeSecret;
            m_roomSecret = *roomSecret;
            Q_EMIT playerCreated(*id, roster);
            return true;
        }
        if (type == FrameType::PlayerRefused) {
            m_state = State::Admitted;
            Q_EMIT playerRefused(refusalError(frame.body, kErrorInvalidParameter));
            return true;
        }
        return false;
    default:
        return false;
    }
}

void RoomMember::handleResumed(WireReader& in) {
    const auto handled = in.u32();
    const auto nextEvent = in.u32();
    if (!in.ok() || *nextEvent == 0) {
        fail(kErrorProtocol, QStringLiteral("the host sent a malformed frame"), true);
        return;
    }
    qCDebug(lcSession) << "player" << m_playerId << "resumed";
    // Receipts could not reach this member while it was away: their time starts again.
    for (Awaited& line : m_awaited) {
        line.since = m_clock.elapsed();
    }
    m_state = State::Playing;
    m_resuming = false;
    m_eventsTaken = *nextEvent - 1;
    m_eventsAcknowledged = m_eventsTaken;
    // What the host has not handled goes again, in order; the rest waits for its Ack.
    for (const PendingSend& pending : m_unacknowledged) {
        if (pending.seq > *handled) {
            writeSend(pending);
        }
    }
    writeFileParts(); // behind the lines sent again
    if (m_moving) {
        m_moving = false;
        m_seekingHost = false;
        m_moveTimer.stop();
        m_successors.nowHosting(m_candidate);
        Q_EMIT moved();
    }
}

} // namespace session
