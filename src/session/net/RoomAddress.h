#pragma once

#include <QHostAddress>
#include <QList>
#include <QStringList>

namespace session {

// How others reach a room this copy hosts on `port`: "address:port" for every address
// of this machine that another machine can use ("[address]:port" for IPv6), private
// LAN addresses first. Loopback and link-local addresses only when there is nothing
// else.
QStringList roomAddresses(quint16 port);

// The same for a given list of this machine's addresses, so that it can be tested.
QStringList roomAddressesFrom(const QList<QHostAddress>& addresses, quint16 port);

} // namespace session
