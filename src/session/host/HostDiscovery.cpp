#include "session/host/HostDiscovery.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/host/HostLink.h"
#include "session/host/RoomHost.h"
#include "session/secure/ListingSeal.h"
#include "session/wire/DiscoveryDatagram.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QTimer>
#include <QUdpSocket>

namespace session {

namespace {

constexpr int kRecentNonces = 256;

// The key a datagram's sender counts under, as a TCP peer's does (HostSocket::sourceKey):
// an IPv4 address, or the first 64 bits of an IPv6 address.
QByteArray sourceKey(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        const char bytes[4] = {static_cast<char>(v4 >> 24), static_cast<char>(v4 >> 16), static_cast<char>(v4 >> 8),
                               static_cast<char>(v4)};
        return QByteArray(bytes, 4);
    }
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(v6.c), 8);
}

// Refills the turns `left` (counted at `at`) for the time since, up to `burst`, and
// takes one turn if there is one.
bool takeTurn(double& left, qint64& at, qint64 now, int burst, int perSecond) {
    left = std::min<double>(burst, left + static_cast<double>(now - at) * perSecond / 1000.0);
    at = now;
    if (left < 1) {
        return false;
    }
    left -= 1;
    return true;
}

} // namespace

HostDiscovery::HostDiscovery(RoomHost& host) : m_host(host) {
    m_sealTurns.left = host.m_config.sealedAnswerBurst;
}

Status HostDiscovery::bind(bool required) {
    const SessionConfig& config = m_host.m_config;
    m_socket = new QUdpSocket(&m_host);
    m_socket->setProxy(QNetworkProxy::NoProxy);
    if (m_socket->bind(QHostAddress::AnyIPv4, config.discoveryPort,
                       QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        QObject::connect(m_socket, &QUdpSocket::readyRead, &m_host, [this] { onReadyRead(); });
        lookUpSubnets();
    } else {
        qCWarning(lcSession) << "cannot bind the discovery port" << config.discoveryPort << m_socket->errorString();
        if (required) {
            return failure(kErrorCannotHost, QStringLiteral("cannot answer room listings on UDP port %1: %2")
                                                 .arg(config.discoveryPort)
                                                 .arg(m_socket->errorString()));
        }
    }
    return {};
}

void HostDiscovery::close() {
    if (m_socket != nullptr) {
        m_socket->close();
    }
}

std::optional<QByteArray> HostDiscovery::answerFor(const DiscoveryQuery& query, const QByteArray& source,
                                                   qsizetype querySize) {
    if (m_host.m_shuttingDown || query.applicationId != m_host.m_settings.applicationId) {
        return std::nullopt;
    }
    std::optional<QByteArray> answer;
    if (!m_host.m_settings.password.isEmpty()) {
        // Never more bytes out than came in: a query too short for a sealed answer
        // costs the room nothing.
        if (querySize < kSealedAnswerBytes) {
            return std::nullopt;
        }
        answer = sealedAnswerFor(query, source);
    } else {
        DiscoveryAnswer open;
        open.nonce = query.nonce;
        open.instanceId = m_host.m_instanceId;
        open.applicationId = m_host.m_settings.applicationId;
        open.roomName = m_host.m_settings.roomName;
        open.port = m_host.m_port;
        open.numericAttribute = m_host.m_settings.numericAttribute;
        open.memberCount = static_cast<quint32>(m_host.m_members.size());
        open.acceptsPlayers = m_host.memberCount() < m_host.m_config.maxMembers;
        answer = encodeAnswer(open);
    }
    if (!answer || answer->size() > querySize) {
        return std::nullopt;
    }
    return answer;
}

std::optional<QByteArray> HostDiscovery::sealedAnswerFor(const DiscoveryQuery& query, const QByteArray& source) {
    // A lister without a password hears nothing of the room.
    if (query.share.isEmpty() || m_recentNonces.contains(query.nonce) || !takeSealTurn(source)) {
        return std::nullopt;
    }
    if (m_recentNonces.size() >= kRecentNonces) {
        m_recentNonces.removeFirst();
    }
    m_recentNonces.append(query.nonce);
    DiscoveryAnswer description;
    description.instanceId = m_host.m_instanceId;
    description.roomName = m_host.m_settings.roomName;
    description.port = m_host.m_port;
    description.numericAttribute = m_host.m_settings.numericAttribute;
    description.memberCount = static_cast<quint32>(m_host.m_members.size());
    description.acceptsPlayers = m_host.memberCount() < m_host.m_config.maxMembers;
    // Every query with a share is answered alike, whatever password it was made with:
    // the room cannot tell, and the lister alone finds out by opening the answer.
    const auto sealed = secure::sealListing(m_host.m_settings.password, m_host.m_settings.applicationId, query.nonce,
                                            query.share, encodeSealedDescription(description));
    if (!sealed) {
        return std::nullopt;
    }
    return encodeSealedAnswer(SealedAnswer{query.nonce, sealed->share, sealed->sealed});
}

bool HostDiscovery::takeSealTurn(const QByteArray& source) {
    const SessionConfig& config = m_host.m_config;
    const qint64 now = m_host.m_clock.elapsed();
    auto it = m_sealTurnsBySource.find(source);
    if (it == m_sealTurnsBySource.end()) {
        if (m_sealTurnsBySource.size() >= config.maxRememberedAddresses) {
            // Forget the addresses whose budget has filled up again: they lose nothing.
            const qint64 refill =
                1000LL * config.sealedAnswerBurstPerAddress / std::max(1, config.sealedAnswersPerAddressPerSecond);
            m_sealTurnsBySource.removeIf([&](const auto& entry) { return now - entry.value().at >= refill; });
            if (m_sealTurnsBySource.size() >= config.maxRememberedAddresses) {
                return false;
            }
        }
        it = m_sealTurnsBySource.insert(source, Budget{static_cast<double>(config.sealedAnswerBurstPerAddress), now});
    }
    // The source's turn is looked at first, so that one flooding address does not use
    // up the room's budget beyond its own.
    Budget probe = *it;
    if (!takeTurn(probe.left, probe.at, now, config.sealedAnswerBurstPerAddress,
                  config.sealedAnswersPerAddressPerSecond)) {
        *it = probe;
        return false;
    }
    if (!takeTurn(m_sealTurns.left, m_sealTurns.at, now, config.sealedAnswerBurst, config.sealedAnswersPerSecond)) {
        return false;
    }
    *it = probe;
    return true;
}

void HostDiscovery::lookUpSubnets() {
    m_localSubnets.clear();
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        if (iface.flags() & QNetworkInterface::IsUp) {
            m_localSubnets.append(iface.addressEntries());
        }
    }
    m_subnetsAt = m_host.m_clock.elapsed();
}

void HostDiscovery::onReadyRead() {
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram(kMaxDiscoveryDatagramBytes + 1);
        const std::optional<DiscoveryQuery> query = parseQuery(datagram.data());
        if (!query) {
            continue;
        }
        // Strangers beyond the local networks get nothing: a forged sender address
        // would otherwise aim the answer at somebody else. The interfaces may have
        // changed since they were looked up, but a stranger cannot make the host look
        // more often than every subnetRefresh.
        const QHostAddress sender = datagram.senderAddress();
        if (!isDirectlyConnected(sender, m_localSubnets)) {
            if (m_host.m_clock.elapsed() - m_subnetsAt < m_host.m_config.subnetRefresh.count()) {
                continue;
            }
            lookUpSubnets();
            if (!isDirectlyConnected(sender, m_localSubnets)) {
                continue;
            }
        }
        const auto answer = answerFor(*query, sourceKey(sender), datagram.data().size());
        if (answer) {
            // Unicast to the asker's own port: only one process bound to the shared
            // discovery port would receive a unicast sent there.
            m_socket->writeDatagram(*answer, datagram.senderAddress(), static_cast<quint16>(datagram.senderPort()));
        }
    }
}

void HostDiscovery::handleListQuery(HostLink* link, const Frame& frame) {
    m_host.m_relay.flushLink(link);
    const std::optional<DiscoveryQuery> query = parseQuery(frame.body);
    if (query) {
        if (const auto answer = answerFor(*query, link->source, frame.body.size())) {
            link->send(encodeFrame(FrameType::ListAnswer, *answer));
        }
    }
    link->handshakeTimer.stop();
    link->state = HostLink::State::Closed;
    link->socket->disconnect(&m_host);
    link->socket->disconnectFromHost();
    m_host.m_links.removeOne(link);
    // The link lives until its answer is out, then goes with its socket.
    if (link->socket->state() == HostSocket::State::Closed) {
        link->deleteLater();
    } else {
        QObject::connect(link->socket, &HostSocket::disconnected, link, &QObject::deleteLater);
        QTimer::singleShot(m_host.m_config.handshakeTimeout, link, &QObject::deleteLater);
    }
}

} // namespace session
