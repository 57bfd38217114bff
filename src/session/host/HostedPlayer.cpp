#include "session/host/HostedPlayer.h"

namespace session {

HostedPlayer::~HostedPlayer() {
    for (Relay* relay : unacknowledged) {
        relay->queued = false;
        relay->sender = nullptr;
        if (relay->remaining == 0) {
            delete relay;
        }
    }
    for (Relay* relay : outbox) {
        if (--relay->remaining == 0 && !relay->queued) {
            delete relay;
        }
    }
}

} // namespace session
