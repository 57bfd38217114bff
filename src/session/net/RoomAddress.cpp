#include "session/net/RoomAddress.h"

#include <QNetworkInterface>
#include <algorithm>
#include <iterator>
#include <utility>

namespace session {

namespace {

QString withPort(const QHostAddress& address, quint16 port) {
    const QString text = address.toString();
    return (address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + text + u']' : text) + u':' +
           QString::number(port);
}

// Lower ranks are listed first: what a friend on the same LAN types is the
// likeliest use, then public addresses, then what only this machine can use.
int rank(const QHostAddress& address) {
    if (address.isLoopback())
        return 3;
    if (address.isLinkLocal())
        return 2;
    static const std::pair<QHostAddress, int> kPrivate[] = {{QHostAddress(QStringLiteral("10.0.0.0")), 8},
                                                            {QHostAddress(QStringLiteral("172.16.0.0")), 12},
                                                            {QHostAddress(QStringLiteral("192.168.0.0")), 16},
                                                            {QHostAddress(QStringLiteral("fc00::")), 7}};
    const bool privateUse = std::any_of(std::begin(kPrivate), std::end(kPrivate),
                                        [&](const auto& subnet) { return address.isInSubnet(subnet); });
    return privateUse ? 0 : 1;
}

} // namespace

QStringList roomAddressesFrom(const QList<QHostAddress>& addresses, quint16 port) {
    QList<QHostAddress> usable;
    for (QHostAddress address : addresses) {
        bool isV4 = false;
        if (const quint32 v4 = address.toIPv4Address(&isV4); isV4)
            address = QHostAddress(v4);
        address.setScopeId(QString());
        if (!address.isNull() && !address.isMulticast() && !address.isBroadcast() && !usable.contains(address))
            usable.append(address);
    }
    std::stable_sort(usable.begin(), usable.end(),
                     [](const QHostAddress& a, const QHostAddress& b) { return rank(a) < rank(b); });
    const bool reachableFromElsewhere =
        std::any_of(usable.begin(), usable.end(), [](const QHostAddress& a) { return rank(a) < 2; });
    QStringList result;
    for (const QHostAddress& address : usable) {
        if (!reachableFromElsewhere || rank(address) < 2)
            result.append(withPort(address, port));
    }
    return result;
}

QStringList roomAddresses(quint16 port) {
    QList<QHostAddress> addresses;
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        if (iface.flags() & QNetworkInterface::IsUp) {
            for (const QNetworkAddressEntry& entry : iface.addressEntries())
                addresses.append(entry.ip());
        }
    }
    return roomAddressesFrom(addresses, port);
}

} // namespace session
