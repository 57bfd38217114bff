#pragma once

#include "session/SessionConfig.h"

#include <QString>

namespace room {

// What a local nftables rule set does with packets that arrive for one port.
enum class FirewallVerdict { Passes, Dropped };

// Reads the text of `nft list ruleset`: a rule of an input chain that names `port`
// of `protocol` ("tcp" or "udp") decides (drop or reject, or accept); a port no rule
// names meets the chain's policy. A packet is dropped when any input chain drops it.
FirewallVerdict firewallVerdict(const QString& ruleset, const QString& protocol, quint16 port);

// `mirelune-room doctor`: checks, one by one, what finding and hosting rooms needs
// on this machine, and with `address` (HOST[:PORT]) whether the room there answers;
// it also says whether the router forwards ports over UPnP (for information only: the
// LAN needs no router).
// Prints a line in Japanese and one in English for each finding on standard output;
// 0 when everything needed works, 1 otherwise.
int runDoctor(const session::SessionConfig& config, const QString& address, const QString& password);

// `mirelune-room doctor --nats URL[,URL...]`: whether rooms work on that cluster for
// this user (a server answers, JetStream, the buckets, a room's stream, records,
// presence), printed as runDoctor prints; 0 when they do, 1 otherwise.
int runNatsDoctor(const QString& servers, const QString& credentialsFile);

} // namespace room
