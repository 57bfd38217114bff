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
// frame over TCP to one host), every host whose room the query may see answers: a room
// without a password in clear, a password room with a sealed answer that only a lister
// holding the same password opens (secure/ListingSeal.h). Layouts in docs/protocol.md.
inline constexpr quint8 kDiscoveryVersion = 3;
// Datagrams above this size are dropped unread.
inline constexpr int kMaxDiscoveryDatagramBytes = 4096;
inline constexpr int kDiscoveryNonceBytes = 16;
inline constexpr int kDiscoveryShareBytes = 32;
// A password room's description is sealed at this one size, whatever its name, so
// that the sealed bytes tell nothing by their length: the fields and the longest name
// (4 + 765 bytes), then zeros.
inline constexpr int kSealedDescriptionBytes = 16 + 2 + 4 + 1 + 4 + 4 + kMaxNameChars * 3;
inline constexpr int kSealedAnswerBytes =
    4 + 1 + kDiscoveryNonceBytes + kDiscoveryShareBytes + kSealedDescriptionBytes + 16;

struct DiscoveryQuery {
    QByteArray nonce; // 16 random bytes; answers echo them
    QString applicationId;
    QByteArray share; // empty when the lister gives no password, else its CPace share (32 bytes)
};

// A room as its answer describes it: the clear answer of a room without a password,
// or what a sealed answer held once opened.
struct DiscoveryAnswer {
    QByteArray nonce;      // the query's
    QByteArray instanceId; // 16 bytes, unique to one hosting of a room
    QString applicationId;
    QString roomName;
    quint16 port = 0; // the room's TCP port
    qint32 numericAttribute = 0;
    bool passwordProtected = false; // never in clear: true for what a sealed answer held
    bool acceptsPlayers = true;
    quint32 memberCount = 0;
};

// A password room's answer: its CPace share and its description sealed.
struct SealedAnswer {
    QByteArray nonce;  // the query's
    QByteArray share;  // 32 bytes
    QByteArray sealed; // kSealedDescriptionBytes + 16
};

QByteArray encodeQuery(const DiscoveryQuery& query);
QByteArray encodeAnswer(const DiscoveryAnswer& answer);
QByteArray encodeSealedAnswer(const SealedAnswer& answer);
// A query with zero bytes after it up to kPaddedQueryBytes, which readers ignore.
QByteArray padQuery(QByteArray query);
// Nothing for anything that is not a well-formed datagram of our version.
std::optional<DiscoveryQuery> parseQuery(const QByteArray& datagram);
std::optional<DiscoveryAnswer> parseAnswer(const QByteArray& datagram);
std::optional<SealedAnswer> parseSealedAnswer(const QByteArray& datagram);

// The plaintext a password room seals: exactly kSealedDescriptionBytes. Reading takes
// the nonce and application id from the query (they are not in it) and gives nothing
// for a description that is not well formed.
QByteArray encodeSealedDescription(const DiscoveryAnswer& answer);
std::optional<DiscoveryAnswer> parseSealedDescription(const QByteArray& plain, const QByteArray& nonce,
                                                      const QString& applicationId);

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
