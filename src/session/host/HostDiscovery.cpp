#include "session/host/HostDiscovery.h"

#include "session/SessionErrors.h"
#include "session/SessionLog.h"
#include "session/host/HostLink.h"
#include "session/host/RoomHost.h"
#include "session/wire/DiscoveryDatagram.h"
#include "session/wire/PasswordProof.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QTimer>
#include <QUdpSocket>

namespace session {

HostDiscovery::HostDiscovery(RoomHost& host)
    : m_host(host), m_listKey(proof::listKey(host.m_settings.password, host.m_settings.applicationId)) {}

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

std::optional<QByteArray> HostDiscovery::answerFor(const DiscoveryQuery& query) const {
    if (m_host.m_shuttingDown || query.applicationId != m_host.m_settings.applicationId) {
        return std::nullopt;
    }
    DiscoveryAnswer answer;
    answer.nonce = query.nonce;
    if (!m_host.m_settings.password.isEmpty()) {
        // A password room shows itself only to a lister that proves the password.
        const QByteArray expected = proof::listQuery(m_listKey, query.nonce, query.applicationId);
        if (!proof::equal(query.proof, expected)) {
            return std::nullopt;
        }
        answer.passwordProtected = true;
        answer.proof = proof::listAnswer(m_listKey, query.nonce, m_host.m_instanceId);
    }
    answer.instanceId = m_host.m_instanceId;
    answer.applicationId = m_host.m_settings.applicationId;
    answer.roomName = m_host.m_settings.roomName;
    answer.port = m_host.m_port;
    answer.numericAttribute = m_host.m_settings.numericAttribute;
    answer.memberCount = static_cast<quint32>(m_host.m_members.size());
    answer.acceptsPlayers = m_host.memberCount() < m_host.m_config.maxMembers;
    return encodeAnswer(answer);
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
        const auto answer = answerFor(*query);
        // Never more bytes out than came in.
        if (answer && answer->size() <= datagram.data().size()) {
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
        if (const auto answer = answerFor(*query)) {
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
