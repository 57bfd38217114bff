#pragma once

#include "session/SessionTypes.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QNetworkAddressEntry>
#include <optional>

class QUdpSocket;

namespace session {

class HostLink;
class RoomHost;
struct DiscoveryQuery;
struct Frame;

// The room's answers to listings: discovery queries on the shared UDP port (from the
// local networks only), and a ListQuery on a TCP connection (the Internet
// connection's listing). A room without a password answers in clear; a password room
// answers only a query that carries a CPace share, with a sealed answer that opens only
// for a lister of the same password, and only as often as its rate bounds allow.
class HostDiscovery {
public:
    explicit HostDiscovery(RoomHost& host);

    // Binds the shared discovery port. Without it the room is still reachable by
    // address; `required` makes that a failure.
    Status bind(bool required);
    // Stops answering at once.
    void close();
    // Answers the connection's one query and closes it.
    void handleListQuery(HostLink* link, const Frame& frame);

private:
    void onReadyRead();
    void lookUpSubnets();
    // `source` counts as the per-address bound does; `querySize` is the query's size,
    // which the answer may not exceed.
    std::optional<QByteArray> answerFor(const DiscoveryQuery& query, const QByteArray& source, qsizetype querySize);
    std::optional<QByteArray> sealedAnswerFor(const DiscoveryQuery& query, const QByteArray& source);
    // Whether a sealed answer may be made now, taking one turn from the room's and
    // from the source's budget.
    bool takeSealTurn(const QByteArray& source);

    RoomHost& m_host;
    struct Budget {
        double left = 0;
        qint64 at = 0; // host clock time `left` was counted at
    };
    Budget m_sealTurns;
    QHash<QByteArray, Budget> m_sealTurnsBySource;
    // Nonces of the queries answered lately: the same query comes once per broadcast
    // address it was sent to, and one answer reaches the lister.
    QList<QByteArray> m_recentNonces;
    QUdpSocket* m_socket = nullptr;
    // This machine's interface addresses, which discovery queries must come from a
    // subnet of; looked up again at most every subnetRefresh.
    QList<QNetworkAddressEntry> m_localSubnets;
    qint64 m_subnetsAt = 0;
};

} // namespace session
