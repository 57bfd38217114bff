#pragma once

#include "session/RoomTransport.h"
#include "session/SessionConfig.h"
#include "session/SessionTypes.h"
#include "session/secure/ListingSeal.h"
#include "session/secure/SecureChannel.h"
#include "session/wire/DiscoveryDatagram.h"
#include "session/wire/FrameCodec.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <chrono>
#include <memory>
#include <vector>

class QTcpSocket;
class QUdpSocket;

namespace session {

// One room listing, LAN or Internet. Start it, wait for finished(), read rooms().
// Rooms come in first-seen order, each instance once, only of the query's
// application id, only those that accept players, and a password room only when its
// sealed answer opens with the listing's password.
class RoomDiscovery : public RoomListing {
    Q_OBJECT

public:
    RoomDiscovery(const SessionConfig& config, QObject* parent = nullptr);
    ~RoomDiscovery() override;

    // Broadcasts a query on every IPv4 interface and collects answers until they have
    // stopped coming for listQuietPeriod, and never longer than `timeout`.
    void startLan(const RoomDescription& query, std::chrono::milliseconds timeout);
    // Asks one host over TCP. Port 0 asks every port of the room range at once (a
    // host whose first port was taken listens on a later one). An unreachable host
    // ends the listing empty after at most connectTimeout.
    void startInternet(const QString& host, quint16 port, const RoomDescription& query);

    bool isFinished() const override { return m_finished; }
    const QList<RoomDescription>& rooms() const override { return m_rooms; }

    // Where LAN queries go: each interface's IPv4 broadcast address, loopback's
    // included, and the limited broadcast address.
    static QList<QHostAddress> broadcastTargets(bool loopbackOnly);

private:
    void prepareQuery(const RoomDescription& query);
    void onLanReadyRead();
    struct InternetProbe;
    void onInternetReadyRead(InternetProbe& probe);
    void endProbe(InternetProbe& probe);
    // A clear answer, or a sealed one that opens with the listing's secret.
    std::optional<DiscoveryAnswer> read(const QByteArray& datagram);
    void accept(const DiscoveryAnswer& answer, const QString& hostAddress);
    void finish();

    SessionConfig m_config;
    RoomDescription m_query;
    QByteArray m_nonce;
    // The lister's half of CPace when the query has a password: every sealed answer
    // is tried with it.
    std::optional<secure::ListingSecret> m_secret;
    int m_sealedTried = 0;
    QByteArray m_queryBytes;
    QUdpSocket* m_udp = nullptr;
    // One TCP listing per port asked; each ends with its answer, a closed or failed
    // connection, or the deadline.
    struct InternetProbe {
        QTcpSocket* socket = nullptr;
        FrameDecoder decoder;
        quint16 port = 0;
        bool done = false;
        std::optional<secure::SecureChannel> channel; // the query goes once the handshake is done
    };
    std::vector<std::unique_ptr<InternetProbe>> m_probes;
    QString m_internetHost;
    QTimer m_quiet;
    QTimer m_deadline;
    QSet<QByteArray> m_seen;
    QList<RoomDescription> m_rooms;
    bool m_finished = false;
};

} // namespace session
