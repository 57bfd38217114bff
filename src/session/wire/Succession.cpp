#include "session/wire/Succession.h"

#include "session/wire/WireBuffer.h"

namespace session {

void writeSuccession(WireWriter& out, const RoomPlayer& player) {
    QByteArray key = player.signingKey.left(kSecretBytes);
    key.resize(kSecretBytes, '\0');
    out.bytes(key);
    QByteArray address(16, '\0');
    if (!player.endpoint.isHost()) {
        bool isV4 = false;
        const quint32 v4 = player.endpoint.address.toIPv4Address(&isV4);
        const Q_IPV6ADDR v6 = isV4 ? QHostAddress(v4).toIPv6Address() : player.endpoint.address.toIPv6Address();
        address = QByteArray(reinterpret_cast<const char*>(v6.c), 16);
    }
    out.bytes(address);
    out.u16(player.endpoint.port);
}

std::optional<RoomPlayer> readSuccession(WireReader& in, PlayerId id, const QString& name) {
    const auto signingKey = in.bytes(kSecretBytes);
    const auto address = in.bytes(16);
    const auto port = in.u16();
    if (!in.ok()) {
        return std::nullopt;
    }
    RoomPlayer player{id, name, *signingKey, Endpoint{QHostAddress::AnyIPv6, *port}};
    if (*address != QByteArray(16, '\0')) {
        Q_IPV6ADDR v6;
        std::copy(address->cbegin(), address->cend(), reinterpret_cast<char*>(v6.c));
        player.endpoint.address = QHostAddress(v6);
        bool isV4 = false;
        const quint32 v4 = player.endpoint.address.toIPv4Address(&isV4);
        if (isV4) {
            player.endpoint.address = QHostAddress(v4);
        }
    }
    return player;
}

Election::Election(const QList<RoomPlayer>& players, PlayerId oldHost, PlayerId self) : m_self(self) {
    for (const RoomPlayer& player : players) {
        if (player.id != oldHost && !player.endpoint.isHost()) {
            m_candidates.append(player);
        }
    }
}

Election::Step Election::next() {
    while (++m_index < m_candidates.size()) {
        // A copy without a standby port cannot be reached, and so must not host
        // either: the others skip it and go on to the next in line.
        if (candidate().endpoint.port == 0) {
            continue;
        }
        // A copy left on its own hosts the room too: it is the room that outlived its
        // host, and nobody else can claim it, so it stays listed and joinable.
        return candidate().id != m_self ? Step::Try : Step::BecomeHost;
    }
    m_index = m_candidates.size() - 1;
    return Step::GiveUp;
}

} // namespace session
