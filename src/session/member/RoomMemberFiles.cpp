// File parts (docs/protocol.md, "Files"): a member relays them for the transfers of its
// program, behind its chat lines. The host passes them to one player without keeping
// them, so nothing here is kept either: a part lost with a connection is asked for again
// by the transfer.
#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/member/RoomMember.h"
#include "session/wire/WireBuffer.h"

#include <QTcpSocket>

namespace session {

namespace {

// A part is written only while the socket holds less than this: a chat line typed
// during a transfer waits behind one part at most, not behind a file.
constexpr qint64 kFileDrainBytes = 64 * 1024;
// Parts waiting in this copy; the transfers' own windows keep far fewer in flight.
constexpr qint64 kMaxQueuedFileBytes = 8 * 1024 * 1024;

} // namespace

Status RoomMember::sendFilePart(PlayerId to, const QByteArray& part) {
    if (m_state != State::Playing && m_state != State::Away && m_state != State::Resuming) {
        return failure(kErrorNoRoom, QStringLiteral("not in a room"));
    }
    if (part.isEmpty() || part.size() > kMaxFilePartBytes) {
        return failure(kErrorInvalidParameter, QStringLiteral("a file part of %1 bytes").arg(part.size()));
    }
    if (m_filePartBytes + part.size() > kMaxQueuedFileBytes) {
        return failure(kErrorBusy, QStringLiteral("too many file parts waiting"));
    }
    WireWriter out;
    out.i32(to);
    out.bytes(part);
    m_filePartBytes += part.size();
    m_fileParts.push_back(out.data());
    writeFileParts();
    return {};
}

void RoomMember::writeFileParts() {
    if (m_state != State::Playing || m_socket == nullptr) {
        return;
    }
    while (!m_fileParts.empty() && m_socket->bytesToWrite() < kFileDrainBytes) {
        const QByteArray body = std::move(m_fileParts.front());
        m_fileParts.pop_front();
        m_filePartBytes -= body.size() - 4;
        write(FrameType::FilePart, body);
    }
}

void RoomMember::handleFilePart(const Frame& frame) {
    WireReader in(frame.body);
    const auto from = in.i32();
    if (!in.ok() || in.remaining() == 0) {
        fail(kErrorProtocol, QStringLiteral("the host sent a malformed frame"), true);
        return;
    }
    if (m_state == State::Playing) {
        Q_EMIT filePartReceived(*from, in.rest());
    }
}

} // namespace session
