#include "session/net/PortMapping.h"

#include "session/SessionLog.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace session {

namespace {

constexpr char kProtocol[] = "TCP";
constexpr char kDescription[] = "Mirelune room";
// UPnP error codes the mapping reacts to.
constexpr int kErrorConflict = 718;      // ConflictInMappingEntry: another client has the port
constexpr int kErrorOnlyPermanent = 725; // OnlyPermanentLeasesSupported

// The router found by discovery, for as long as the mapping lives.
struct Router {
    UPNPUrls urls{};
    IGDdatas data{};
    char lanAddress[64] = {};
    bool valid = false;

    Router() = default;
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;
    ~Router() {
        if (valid)
            FreeUPNPUrls(&urls);
    }
    const char* control() const { return urls.controlURL; }
    const char* service() const { return data.first.servicetype; }
};

QString upnpError(int code) {
    const char* text = strupnperror(code);
    return text != nullptr ? QStringLiteral("%1 (UPnP error %2)").arg(QString::fromLatin1(text)).arg(code)
                           : QStringLiteral("UPnP error %1").arg(code);
}

// Whether friends on the Internet can reach this address. A private one means the
// router itself sits behind another (a provider's carrier-grade NAT, a second router
// at home), and a mapping on it would announce an address friends cannot use.
bool isPublic(const QHostAddress& address) {
    static const std::pair<QHostAddress, int> kNotPublic[] = {
        {QHostAddress(QStringLiteral("0.0.0.0")), 8},      {QHostAddress(QStringLiteral("10.0.0.0")), 8},
        {QHostAddress(QStringLiteral("100.64.0.0")), 10},  {QHostAddress(QStringLiteral("127.0.0.0")), 8},
        {QHostAddress(QStringLiteral("169.254.0.0")), 16}, {QHostAddress(QStringLiteral("172.16.0.0")), 12},
        {QHostAddress(QStringLiteral("192.168.0.0")), 16}, {QHostAddress(QStringLiteral("224.0.0.0")), 3},
    };
    return address.protocol() == QAbstractSocket::IPv4Protocol &&
           std::none_of(std::begin(kNotPublic), std::end(kNotPublic),
                        [&](const auto& subnet) { return address.isInSubnet(subnet); });
}

// Adds (or, for the same client, renews) the mapping. The lease falls back to a
// permanent one where the router takes nothing else; `lease` is then 0.
int addMapping(const Router& router, quint16 external, quint16 internal, std::chrono::seconds& lease) {
    const QByteArray externalPort = QByteArray::number(external);
    const QByteArray internalPort = QByteArray::number(internal);
    int result = kErrorOnlyPermanent;
    for (bool permanent : {lease.count() == 0, true}) {
        if (result != kErrorOnlyPermanent)
            break;
        const QByteArray duration = QByteArray::number(permanent ? 0 : static_cast<qint64>(lease.count()));
        result =
            UPNP_AddPortMapping(router.control(), router.service(), externalPort.constData(), internalPort.constData(),
                                router.lanAddress, kDescription, kProtocol, nullptr, duration.constData());
        if (result == UPNPCOMMAND_SUCCESS && permanent)
            lease = std::chrono::seconds(0);
    }
    return result;
}

// Whether another client already has `external` (a router may silently hand it
// over instead of refusing, which would cut that client's room off).
bool takenByAnother(const Router& router, quint16 external, quint16 internal) {
    char client[40] = {};
    char port[6] = {};
    char description[80] = {};
    char enabled[4] = {};
    char duration[16] = {};
    const QByteArray externalPort = QByteArray::number(external);
    const int result =
        UPNP_GetSpecificPortMappingEntry(router.control(), router.service(), externalPort.constData(), kProtocol,
                                         nullptr, client, port, description, enabled, duration);
    if (result != UPNPCOMMAND_SUCCESS)
        return false; // no such entry, or a router that cannot say: the add decides
    return qstrcmp(client, router.lanAddress) != 0 || QByteArray(port).toUInt() != internal;
}

PortMappingState failed(QString reason, QString japanese = {}) {
    PortMappingState state;
    state.stage = PortMappingState::Stage::Failed;
    state.reason = std::move(reason);
    state.japaneseReason = std::move(japanese);
    return state;
}

// Whether this machine has a route to the multicast group routers listen on. Without
// one (no network, or no default route), there is nobody to ask, and the library
// would print its failure on standard error.
bool canReachRouters() {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(1900);
    group.sin_addr.s_addr = htonl(0xEFFFFFFAu); // 239.255.255.250, SSDP
    // Connecting a datagram socket only looks the route up; nothing is sent.
    const bool routed = ::connect(probe, reinterpret_cast<const sockaddr*>(&group), sizeof group) == 0;
    ::close(probe);
    return routed;
}

// Finds the router: nothing when it is usable (`external` then holds its public
// address), else the failure.
std::optional<PortMappingState> findRouter(Router& router, const PortMapping::Request& request,
                                           QHostAddress& external) {
    // Every kind of answer a gateway gives is asked for at once, and answers are
    // awaited once: asked one kind after the other, as the library does by default,
    // a LAN without a router takes four times the discovery time to say so.
    static const char* const kGatewayTypes[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                                "urn:schemas-upnp-org:service:WANIPConnection:1",
                                                "urn:schemas-upnp-org:service:WANPPPConnection:1", nullptr};
    if (!canReachRouters())
        return failed(QStringLiteral("no network route to ask a router on"),
                      QStringLiteral("ルーターに問い合わせる経路がありません"));
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevices(kGatewayTypes, static_cast<int>(request.discoveryTime.count()), nullptr,
                                           nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error, 1);
    if (devices == nullptr)
        return failed(
            QStringLiteral("no router answered UPnP within %1 ms").arg(request.discoveryTime.count()),
            QStringLiteral("%1 ms 以内に UPnP で応答したルーターはありません").arg(request.discoveryTime.count()));
    const int status = UPNP_GetValidIGD(devices, &router.urls, &router.data, router.lanAddress,
                                        static_cast<int>(sizeof router.lanAddress));
    freeUPNPDevlist(devices);
    router.valid = status != 0;
    if (status == 2)
        return failed(QStringLiteral("the router says it is not connected to the Internet"),
                      QStringLiteral("ルーターはインターネットにつながっていないと答えました"));
    if (status != 1)
        return failed(QStringLiteral("UPnP devices answered, but no Internet gateway"),
                      QStringLiteral("UPnP の機器は応答しましたが、インターネットへの出口になるものはありません"));

    char address[40] = {};
    const int asked = UPNP_GetExternalIPAddress(router.control(), router.service(), address);
    external = QHostAddress(QString::fromLatin1(address));
    if (asked != UPNPCOMMAND_SUCCESS || external.isNull())
        return failed(QStringLiteral("the router did not tell its public address"),
                      QStringLiteral("ルーターが外側のアドレスを答えませんでした"));
    if (!isPublic(external)) {
        return failed(QStringLiteral("the router's own address %1 is not public: another router or the provider's "
                                     "NAT stands between it and the Internet")
                          .arg(external.toString()),
                      QStringLiteral("ルーターのアドレス %1 は公開のアドレスではありません (インターネットとの間に"
                                     "別のルーターかプロバイダーの NAT があります)")
                          .arg(external.toString()));
    }
    return std::nullopt;
}

// Asks the router found for the mapping.
PortMappingState map(const Router& router, const QHostAddress& external, const PortMapping::Request& request,
                     std::chrono::seconds& lease) {
    QList<quint16> candidates{request.port};
    for (quint32 port = request.firstAlternative; port != 0 && port <= request.lastAlternative; ++port) {
        if (port != request.port)
            candidates.append(static_cast<quint16>(port));
    }
    for (const quint16 port : std::as_const(candidates)) {
        if (takenByAnother(router, port, request.port))
            continue;
        const int result = addMapping(router, port, request.port, lease);
        if (result == kErrorConflict)
            continue;
        if (result != UPNPCOMMAND_SUCCESS)
            return failed(QStringLiteral("the router refused the mapping: ") + upnpError(result));
        PortMappingState state;
        state.stage = PortMappingState::Stage::Mapped;
        state.externalAddress = external.toString();
        state.externalPort = port;
        return state;
    }
    return failed(
        QStringLiteral("the router forwards every port tried (%1 ports) to somebody else").arg(candidates.size()));
}

} // namespace

RouterProbe probeRouter(std::chrono::milliseconds discoveryTime) {
    Router router;
    QHostAddress external;
    PortMapping::Request request;
    request.discoveryTime = discoveryTime;
    if (const std::optional<PortMappingState> failure = findRouter(router, request, external))
        return RouterProbe{QString(), failure->reason, failure->japaneseReason};
    return RouterProbe{external.toString(), QString(), QString()};
}

// What the owner's thread and the worker share. The worker keeps it alive after the
// owner is gone.
struct PortMapping::Shared {
    enum class Phase {
        Discovering, // nothing on the router yet; once released, nothing will be
        Mapping,     // a mapping may exist on the router
        Done,
    };
    std::mutex mutex;
    std::condition_variable wake;
    Phase phase = Phase::Discovering;
    bool released = false;
    PortMapping* owner = nullptr; // reports go here while set; cleared under the mutex
};

PortMapping::PortMapping(QObject* parent) : QObject(parent), m_shared(std::make_shared<Shared>()) {
    m_shared->owner = this;
}

PortMapping::~PortMapping() {
    release(kReleaseWait);
}

void PortMapping::deliver(const PortMappingState& state) {
    m_state = state;
    Q_EMIT changed();
}

void PortMapping::start(const Request& request) {
    if (m_worker.joinable() || m_shared->owner == nullptr)
        return;
    m_state.stage = PortMappingState::Stage::Asking;
    m_worker = std::thread([shared = m_shared, request] {
        using Phase = Shared::Phase;
        QElapsedTimer clock;
        clock.start();
        Router router;
        QHostAddress external;
        std::chrono::seconds lease = request.lease;
        std::optional<PortMappingState> state = findRouter(router, request, external);

        std::unique_lock lock(shared->mutex);
        if (shared->released) {
            shared->phase = Phase::Done;
            shared->wake.notify_all();
            return;
        }
        if (!state) { // found: from here on a mapping may exist
            shared->phase = Phase::Mapping;
            lock.unlock();
            state = map(router, external, request, lease);
            lock.lock();
        }
        state->took = std::chrono::milliseconds(clock.elapsed());
        // Posted under the mutex: the owner cannot go away between the check and the
        // post, and a post it has not taken goes away with it.
        if (shared->owner != nullptr) {
            QMetaObject::invokeMethod(
                shared->owner, [owner = shared->owner, report = *state] { owner->deliver(report); },
                Qt::QueuedConnection);
        }
        if (state->stage == PortMappingState::Stage::Mapped) {
            qCDebug(lcSession) << "the router forwards" << state->externalAddress << state->externalPort << "after"
                               << state->took.count() << "ms, lease" << lease.count() << "s";
            const auto renewal = lease.count() > 0 ? std::chrono::milliseconds(lease) / 2
                                                   : std::chrono::milliseconds(std::chrono::hours(24 * 365));
            while (!shared->wake.wait_for(lock, renewal, [&] { return shared->released; })) {
                lock.unlock();
                std::chrono::seconds renewed = lease;
                if (const int result = addMapping(router, state->externalPort, request.port, renewed); result != 0)
                    qCDebug(lcSession) << "renewing the port mapping failed:" << upnpError(result);
                lock.lock();
            }
            lock.unlock();
            const QByteArray port = QByteArray::number(state->externalPort);
            const int removed =
                UPNP_DeletePortMapping(router.control(), router.service(), port.constData(), kProtocol, nullptr);
            qCDebug(lcSession) << "port mapping removed:"
                               << (removed == 0 ? QStringLiteral("yes") : upnpError(removed));
            lock.lock();
        } else {
            qCDebug(lcSession) << "no port mapping:" << state->reason;
        }
        shared->phase = Phase::Done;
        shared->wake.notify_all();
    });
}

void PortMapping::release(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_shared->mutex);
    m_shared->owner = nullptr;
    m_shared->released = true;
    m_shared->wake.notify_all();
    if (!m_worker.joinable())
        return;
    using Phase = Shared::Phase;
    // Nothing is on the router while the worker still looks for it.
    m_shared->wake.wait_for(lock, wait, [&] { return m_shared->phase != Phase::Mapping; });
    const bool finished = m_shared->phase == Phase::Done;
    lock.unlock();
    if (finished)
        m_worker.join();
    else
        m_worker.detach(); // it finishes on its own, holding the shared state
}

} // namespace session
