#include "session/secure/Sodium.h"

namespace session::secure {

bool sodiumReady() {
    // sodium_init is itself safe to call from several threads and more than once;
    // the static only saves the call after the first success.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace session::secure
