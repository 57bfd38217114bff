#pragma once

#include <QString>
#include <optional>

namespace setup {

// Asks for the host the Internet connection talks to (host or host:port), prefilled
// with the address used last. An accepted, non-empty address is remembered in the
// settings file; cancelling gives nothing.
std::optional<QString> askHostAddress();

// Asks for the servers of the NATS connection (nats://host:port, several separated by
// commas), prefilled and remembered in the same way.
std::optional<QString> askNatsServers();

} // namespace setup
