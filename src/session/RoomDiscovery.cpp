#include "session/RoomDiscovery.h"

#include "session/PasswordProof.h"
#include "session/SessionLog.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QUdpSocket>

namespace session {

RoomDiscovery::RoomDiscovery(const SessionConfig& config, QObject* parent)
    : QObject(parent), m_config(config), m_decoder(config.maxFrameBytes) {
    m_quiet.setSingleShot(true);
    m_deadline.setSingleShot(true);
    connect(&m_quiet, &QTimer::timeout, this, &RoomDiscovery::finish);
    connect(&m_deadline, &QTimer::timeout, this, &RoomDiscovery::finish);
}

RoomDiscovery::~RoomDiscovery() = default;

QList<QHostAddress> RoomDiscovery::broadcastTargets(bool loopbackOnly) {
    const QHostAddress loopbackBroadcast(QStringLiteral("127.255.255.255"));
    QList<QHostAddress> targets{loopbackBroadcast};
    if (loopbackOnly) {
        return targets;
    }
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        if (!(iface.flags() & QNetworkInterface::IsUp) || !(iface.flags() & QNetworkInterface::CanBroadcast)) {
            continue;
        }
        for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
            const QHostAddress broadcast = entry.broadcast();
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && !broadcast.isNull() &&
                !targets.contains(broadcast)) {
                targets.append(broadcast);
            }
        }
    }
    // Sending here fails without a default route; the failure is ignored.
    targets.append(QHostAddress::Broadcast);
    return targets;
}

void RoomDiscovery::prepareQuery(const RoomDescription& query) {
    m_query = query;
    m_nonce = proof::randomNonce();
    DiscoveryQuery datagram;
    datagram.nonce = m_nonce;
    datagram.applicationId = query.applicationId;
    m_key = proof::listKey(query.password, query.applicationId);
    if (!query.password.isEmpty()) {
        datagram.proof = proof::listQuery(m_key, m_nonce, query.applicationId);
    }
    m_queryBytes = padQuery(encodeQuery(datagram));
}

void RoomDiscovery::startLan(const RoomDescription& query, std::chrono::milliseconds timeout) {
    prepareQuery(query);
    m_udp = new QUdpSocket(this);
    // Broadcasts stay on the local networks: no proxy to look up.
    m_udp->setProxy(QNetworkProxy::NoProxy);
    if (!m_udp->bind(QHostAddress::AnyIPv4, 0)) {
        qCWarning(lcSession) << "cannot open a socket for listing rooms:" << m_udp->errorString();
        finish();
        return;
    }
    connect(m_udp, &QUdpSocket::readyRead, this, &RoomDiscovery::onLanReadyRead);
    for (const QHostAddress& target : broadcastTargets(m_config.loopbackDiscoveryOnly)) {
        if (m_udp->writeDatagram(m_queryBytes, target, m_config.discoveryPort) < 0) {
            qCDebug(lcSession) << "listing query to" << target << "not sent:" << m_udp->errorString();
        }
    }
    m_deadline.start(timeout);
}

void RoomDiscovery::startInternet(const QString& host, quint16 port, const RoomDescription& query) {
    prepareQuery(query);
    m_internetHost = host;
    m_internetPort = port;
    m_tcp = new QTcpSocket(this);
    connect(m_tcp, &QTcpSocket::connected, this, [this] {
        m_tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_tcp->write(encodeFrame(FrameType::ListQuery, m_queryBytes));
    });
    connect(m_tcp, &QTcpSocket::readyRead, this, &RoomDiscovery::onInternetReadyRead);
    connect(m_tcp, &QTcpSocket::disconnected, this, &RoomDiscovery::finish);
    connect(m_tcp, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        qCDebug(lcSession) << "Internet listing:" << m_tcp->errorString();
        finish();
    });
    m_deadline.start(m_config.connectTimeout);
    m_tcp->connectToHost(host, port);
}

void RoomDiscovery::onLanReadyRead() {
    while (m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram(kMaxDiscoveryDatagramBytes + 1);
        if (const auto answer = parseAnswer(datagram.data())) {
            QHostAddress sender = datagram.senderAddress();
            bool isV4 = false;
            const quint32 v4 = sender.toIPv4Address(&isV4);
            if (isV4) {
                sender = QHostAddress(v4);
            }
            accept(*answer, sender.toString());
        }
    }
}

void RoomDiscovery::onInternetReadyRead() {
    m_decoder.feed(m_tcp->readAll());
    while (const auto frame = m_decoder.next()) {
        if (frame->type == static_cast<quint8>(FrameType::ListAnswer)) {
            if (auto answer = parseAnswer(frame->body)) {
                // The address the user gave is how this host is reached, whatever
                // port it believes it listens on (a forwarded port differs).
                answer->port = m_internetPort;
                accept(*answer, m_internetHost);
            }
            finish();
            return;
        }
    }
    if (m_decoder.failed()) {
        finish();
    }
}

void RoomDiscovery::accept(const DiscoveryAnswer& answer, const QString& hostAddress) {
    if (m_finished || answer.nonce != m_nonce || answer.applicationId != m_query.applicationId ||
        !answer.acceptsPlayers || m_seen.contains(answer.instanceId)) {
        return;
    }
    // A name that could not be created is forged, and a stranger who saw the query
    // could send answers without end: the listing takes a bounded number.
    if (m_rooms.size() >= m_config.maxListedRooms || answer.roomName.size() > kMaxNameChars ||
        hasUnsafeCharacter(answer.roomName)) {
        return;
    }
    if (answer.passwordProtected) {
        // Only a host that knows the same password can produce this for our nonce;
        // an answer captured from another listing does not carry it.
        if (m_query.password.isEmpty() ||
            !proof::equal(answer.proof, proof::listAnswer(m_key, m_nonce, answer.instanceId))) {
            return;
        }
    }
    m_seen.insert(answer.instanceId);
    RoomDescription room;
    room.applicationId = answer.applicationId;
    room.name = answer.roomName;
    room.numericAttribute = answer.numericAttribute;
    room.hostAddress = hostAddress;
    room.hostPort = answer.port;
    room.instanceId = answer.instanceId;
    room.passwordProtected = answer.passwordProtected;
    m_rooms.append(room);
    if (m_udp != nullptr) {
        m_quiet.start(m_config.listQuietPeriod);
    }
}

void RoomDiscovery::finish() {
    if (m_finished) {
        return;
    }
    m_finished = true;
    m_quiet.stop();
    m_deadline.stop();
    if (m_udp != nullptr) {
        m_udp->disconnect(this);
        m_udp->close();
    }
    if (m_tcp != nullptr) {
        m_tcp->disconnect(this);
        m_tcp->abort();
    }
    Q_EMIT finished();
}

} // namespace session
