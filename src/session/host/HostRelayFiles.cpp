// File parts through the room (docs/protocol.md, "Files"). The host passes each to the
// one player it is for and keeps none: a part that finds its receiver away, or its queue
// full, is dropped, and the transfer asks for it again. So the host never holds a file,
// and a member that takes no file costs the room nothing.
#include "session/SessionLog.h"
#include "session/host/HostLink.h"
#include "session/host/HostRelay.h"
#include "session/host/RoomHost.h"
#include "session/wire/WireBuffer.h"

namespace session {

namespace {

// Parts waiting for one member, and for the whole room: far above what the transfers'
// windows keep in flight, so only a sender that ignores them loses parts.
constexpr qint64 kMaxFileBytesPerMember = 4 * 1024 * 1024;
constexpr qint64 kMaxRoomFileBytes = 64 * 1024 * 1024;

} // namespace

void HostRelay::handleFilePart(HostLink* link, const Frame& frame) {
    WireReader in(frame.body);
    const auto to = in.i32();
    if (!in.ok() || in.remaining() == 0) {
        m_host.dropLink(link, "truncated file part");
        return;
    }
    if (in.remaining() > kMaxFilePartBytes) {
        m_host.dropLink(link, "oversized file part");
        return;
    }
    if (link->state != HostLink::State::Playing || link->hosted == nullptr) {
        return;
    }
    relayFilePart(link->hosted->id, *to, in.rest());
}

void HostRelay::relayFilePart(PlayerId from, PlayerId to, const QByteArray& part) {
    HostedPlayer* receiver = m_host.findMember(to);
    if (receiver == nullptr || receiver->id == from || from == 0) {
        return; // gone, or never here: the sender learns it from the room's notices
    }
    if (receiver->local) {
        m_host.filePartToLocal(from, part);
        return;
    }
    HostLink* link = receiver->link;
    if (link == nullptr || link->state == HostLink::State::Closed) {
        return; // away: its transfer asks again once it is back
    }
    if (link->filePartBytes + part.size() > kMaxFileBytesPerMember || m_fileBytes + part.size() > kMaxRoomFileBytes) {
        qCDebug(lcSession) << "a file part for player" << to << "dropped: too many wait";
        return;
    }
    WireWriter out;
    out.i32(from);
    out.bytes(part);
    link->fileParts.push_back(encodeFrame(FrameType::FilePart, out.data()));
    link->filePartBytes += part.size();
    m_fileBytes += part.size();
    if (link->outgoing.empty()) {
        writeFileParts(link);
    }
}

void HostRelay::writeFileParts(HostLink* link) {
    while (!link->fileParts.empty() && link->state != HostLink::State::Closed &&
           link->socket->bytesToWrite() < kFileDrainBytes) {
        const QByteArray frame = std::move(link->fileParts.front());
        link->fileParts.pop_front();
        const qint64 bytes = frame.size() - 9; // the part, without length, type and sender
        link->filePartBytes -= bytes;
        m_fileBytes -= bytes;
        link->send(frame);
    }
}

void HostRelay::dropFileParts(HostLink* link) {
    m_fileBytes -= link->filePartBytes;
    link->filePartBytes = 0;
    link->fileParts.clear();
}

} // namespace session
