#pragma once

#include "session/SessionConfig.h"
#include "session/wire/NameRules.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QNetworkAddressEntry>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace session {

// Room discovery: a lister sends a query (UDP broadcast on the LAN, or a ListQuery
// frame over TCP to one host), every host whose room the query may see answers.
// Layouts in docs/protocol.md.
inline constexpr quint8 kDiscoveryVersion = 2;
// Datagrams above this size are dropped unread.
inline constexpr int kMaxDiscoveryDatagramBytes = 4096;

struct DiscoveryQuery {
    QByteArray nonce; // 16 random bytes; answers echo them
    QString applicationId;
    QByteArray proof; // empty when the lister gives no password, else 32 bytes
};

struct DiscoveryAnswer {
    QByteArray nonce;      // the query's
    QByteArray instanceId; // 16 bytes, unique to one hosting of a room
    QString applicationId;
    QString roomName;
    quint16 port = 0; // the room's TCP port
    qint32 numericAttribute = 0;
    bool passwordProtected = false;
    bool acceptsPlayers = true;
    quint32 memberCount = 0;
    QByteArray proof; // 32 bytes when password protected, else empty
};

QByteArray encodeQuery(const DiscoveryQuery& query);
QByteArray encodeAnswer(const DiscoveryAnswer& answer);
// A query with zero bytes after it up to kPaddedQueryBytes, which readers ignore.
QByteArray padQuery(QByteArray query);
// Nothing for anything that is not a well-formed datagram of our version.
std::optional<DiscoveryQuery> parseQuery(const QByteArray& datagram);
std::optional<DiscoveryAnswer> parseAnswer(const QByteArray& datagram);

// Whether `sender` may be answered on UDP: a loopback address, or one in the subnet
// of one of `local`, the addresses of this machine's interfaces.
bool isDirectlyConnected(const QHostAddress& sender, const QList<QNetworkAddressEntry>& local);

// "host", "host:port", "[v6]", "[v6]:port", or a bare IPv6 address. Nothing for an
// empty host or a port outside 1..65535.
struct HostAndPort {
    QString host;
    quint16 port = 0;
};
std::optional<HostAndPort> parseHostAndPort(const QString& text, quint16 defaultPort);

} // namespace session
