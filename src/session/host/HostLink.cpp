#include "session/host/HostLink.h"

#include "session/host/HostedPlayer.h"

namespace session {

namespace {

// Sealed into one buffer per thread, of which the socket keeps only what the kernel
// does not take at once.
void sealAndWrite(HostLink& link, std::span<const QByteArrayView> frames) {
    static thread_local QByteArray sealed;
    link.channel.sealInto(frames, sealed);
    if (!sealed.isEmpty()) {
        link.socket->write(sealed.constData(), sealed.size());
    }
    if (sealed.capacity() > HostLink::kKeptBufferBytes) {
        sealed = QByteArray(); // a resume's backlog does not stay with the thread
    }
}

} // namespace

HostLink::~HostLink() {
    // Only a link that goes with its host still holds frames: a dropped one sent them.
    for (const Outgoing& frame : outgoing) {
        if (frame.relay != nullptr && --frame.relay->remaining == 0 && !frame.relay->queued) {
            delete frame.relay;
        }
    }
}

void HostLink::send(const QList<QByteArray>& frames) {
    static thread_local std::vector<QByteArrayView> views;
    views.assign(frames.cbegin(), frames.cend());
    sealAndWrite(*this, views);
}

void HostLink::send(const std::vector<Outgoing>& frames) {
    static thread_local std::vector<QByteArrayView> views;
    views.clear();
    for (const Outgoing& frame : frames) {
        views.emplace_back(frame.relay != nullptr ? frame.relay->frame : frame.frame);
    }
    sealAndWrite(*this, views);
}

} // namespace session
