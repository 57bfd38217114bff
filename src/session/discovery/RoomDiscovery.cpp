#include "session/discovery/RoomDiscovery.h"

#include "session/SessionLog.h"
#include "session/wire/PasswordProof.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QUdpSocket>
#include <algorithm>

namespace session {

namespace {
constexpr std::chrono::milliseconds kRangeAnswerGrace{500};
// Sealed answers a listing opens at most, per room it may list (the rest are dropped).
constexpr int kSealedTriesPerRoom = 4;
} // namespace

RoomDiscovery::RoomDiscovery(const SessionConfig& config, QObject* parent) : RoomListing(parent), m_config(config) {
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
    if (!query.password.isEmpty()) {
        m_secret = secure::ListingSecret::start(query.password, query.applicationId, m_nonce);
        if (m_secret) {
            datagram.share = m_secret->share();
        }
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
    const quint16 first = port != 0 ? port : m_config.firstHostPort;
    const quint16 last = port != 0 ? port : std::max(m_config.firstHostPort, m_config.lastHostPort);
    for (quint32 candidate = first; candidate <= last; ++candidate) {
        auto probe = std::make_unique<InternetProbe>(InternetProbe{
            new QTcpSocket(this), FrameDecoder(m_config.maxFrameBytes), static_cast<quint16>(candidate), false, {}});
        InternetProbe* p = probe.get();
        m_probes.push_back(std::move(probe));
        connect(p->socket, &QTcpSocket::connected, this, [this, p] {
            p->socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            p->channel.emplace(secure::deviceNoiseKey(),
                               encodePrologue(m_query.applicationId, secure::aesGcmAvailable()));
            p->socket->write(p->channel->start());
        });
        connect(p->socket, &QTcpSocket::readyRead, this, [this, p] { onInternetReadyRead(*p); });
        connect(p->socket, &QTcpSocket::disconnected, this, [this, p] { endProbe(*p); });
        connect(p->socket, &QTcpSocket::errorOccurred, this, [this, p](QAbstractSocket::SocketError) {
            qCDebug(lcSession) << "Internet listing on port" << p->port << ":" << p->socket->errorString();
            endProbe(*p);
        });
    }
    m_deadline.start(m_config.connectTimeout);
    // Connected only after every probe exists, so that one failing at once does not
    // end the listing before the others have started.
    for (const auto& probe : m_probes) {
        probe->socket->connectToHost(host, probe->port);
    }
}

void RoomDiscovery::endProbe(InternetProbe& probe) {
    if (probe.done) {
        return;
    }
    probe.done = true;
    probe.socket->disconnect(this);
    probe.socket->abort();
    if (std::all_of(m_probes.begin(), m_probes.end(), [](const auto& p) { return p->done; })) {
        finish();
    }
}

void RoomDiscovery::onLanReadyRead() {
    while (m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram(kMaxDiscoveryDatagramBytes + 1);
        if (const auto answer = read(datagram.data())) {
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

void RoomDiscovery::onInternetReadyRead(InternetProbe& probe) {
    QByteArray plain, reply;
    const bool wasOpen = probe.channel && probe.channel->isOpen();
    if (!probe.channel || !probe.channel->receive(probe.socket->readAll(), plain, reply)) {
        endProbe(probe);
        return;
    }
    if (!wasOpen && probe.channel->isOpen()) {
        reply += probe.channel->seal(encodeFrame(FrameType::ListQuery, m_queryBytes));
    }
    if (!reply.isEmpty()) {
        probe.socket->write(reply);
    }
    probe.decoder.feed(plain);
    while (const auto frame = probe.decoder.next()) {
        if (frame->type == static_cast<quint8>(FrameType::ListAnswer)) {
            if (auto answer = read(frame->body)) {
                // The address the user gave is how this host is reached, whatever
                // port it believes it listens on (a forwarded port differs).
                answer->port = probe.port;
                accept(*answer, m_internetHost);
            }
            // Ports that stay silent (dropped by a firewall) are not waited for
            // long once one port has answered.
            if (m_probes.size() > 1) {
                m_quiet.start(std::max(m_config.listQuietPeriod, kRangeAnswerGrace));
            }
            endProbe(probe);
            return;
        }
    }
    if (probe.decoder.failed()) {
        endProbe(probe);
    }
}

std::optional<DiscoveryAnswer> RoomDiscovery::read(const QByteArray& datagram) {
    if (auto answer = parseAnswer(datagram)) {
        return answer;
    }
    const auto sealed = parseSealedAnswer(datagram);
    // Each try costs a scalar multiplication, and a stranger who saw the query can
    // send sealed answers without end: a listing tries a bounded number.
    if (!sealed || !m_secret || sealed->nonce != m_nonce ||
        m_sealedTried >= kSealedTriesPerRoom * m_config.maxListedRooms) {
        return std::nullopt;
    }
    ++m_sealedTried;
    const auto plain = m_secret->open(sealed->share, sealed->sealed);
    if (!plain) {
        return std::nullopt;
    }
    return parseSealedDescription(*plain, m_nonce, m_query.applicationId);
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
    for (const auto& probe : m_probes) {
        probe->done = true;
        probe->socket->disconnect(this);
        probe->socket->abort();
    }
    Q_EMIT finished();
}

} // namespace session
