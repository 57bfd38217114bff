#pragma once

#include "session/SessionTypes.h"

#include <QByteArray>
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
// connection's listing). A password room answers only a lister that proves the password.
class HostDiscovery {
public:
    // Derives the room's listing key from the host's password and application id.
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
    std::optional<QByteArray> answerFor(const DiscoveryQuery& query) const;

    RoomHost& m_host;
    // The password's listing key, derived once for the room's life.
    QByteArray m_listKey;
    QUdpSocket* m_socket = nullptr;
    // This machine's interface addresses, which discovery queries must come from a
    // subnet of; looked up again at most every subnetRefresh.
    QList<QNetworkAddressEntry> m_localSubnets;
    qint64 m_subnetsAt = 0;
};

} // namespace session
