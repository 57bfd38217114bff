#include "session/wire/DiscoveryDatagram.h"

#include "session/wire/PasswordProof.h"
#include "session/wire/WireBuffer.h"

namespace session {

namespace {
const QByteArray kQueryMagic = QByteArrayLiteral("MLDQ");
const QByteArray kAnswerMagic = QByteArrayLiteral("MLDA");
constexpr quint8 kQueryHasProof = 0x01;
constexpr quint8 kAnswerPasswordProtected = 0x01;
constexpr quint8 kAnswerAcceptsPlayers = 0x02;
constexpr quint32 kMaxNameBytes = kMaxNameChars * 3;
} // namespace

QByteArray encodeQuery(const DiscoveryQuery& query) {
    WireWriter out;
    out.bytes(kQueryMagic);
    out.u8(kDiscoveryVersion);
    out.bytes(query.nonce);
    out.string(query.applicationId);
    out.u8(query.proof.isEmpty() ? 0 : kQueryHasProof);
    out.bytes(query.proof);
    return out.take();
}

QByteArray padQuery(QByteArray query) {
    if (query.size() < kPaddedQueryBytes) {
        query.append(kPaddedQueryBytes - query.size(), '\0');
    }
    return query;
}

bool isDirectlyConnected(const QHostAddress& sender, const QList<QNetworkAddressEntry>& local) {
    bool isV4 = false;
    const QHostAddress address(sender.toIPv4Address(&isV4));
    const QHostAddress& plain = isV4 ? address : sender;
    if (plain.isLoopback()) {
        return true;
    }
    return std::any_of(local.cbegin(), local.cend(), [&plain](const QNetworkAddressEntry& entry) {
        return entry.prefixLength() > 0 && plain.isInSubnet(entry.ip(), entry.prefixLength());
    });
}

QByteArray encodeAnswer(const DiscoveryAnswer& answer) {
    WireWriter out;
    out.bytes(kAnswerMagic);
    out.u8(kDiscoveryVersion);
    out.bytes(answer.nonce);
    out.bytes(answer.instanceId);
    out.string(answer.applicationId);
    out.string(answer.roomName);
    out.u16(answer.port);
    out.i32(answer.numericAttribute);
    quint8 flags = 0;
    if (answer.passwordProtected) {
        flags |= kAnswerPasswordProtected;
    }
    if (answer.acceptsPlayers) {
        flags |= kAnswerAcceptsPlayers;
    }
    out.u8(flags);
    out.u32(answer.memberCount);
    if (answer.passwordProtected) {
        out.bytes(answer.proof);
    }
    return out.take();
}

std::optional<DiscoveryQuery> parseQuery(const QByteArray& datagram) {
    if (datagram.size() > kMaxDiscoveryDatagramBytes) {
        return std::nullopt;
    }
    WireReader in(datagram);
    if (in.bytes(4) != kQueryMagic || in.u8() != kDiscoveryVersion) {
        return std::nullopt;
    }
    DiscoveryQuery query;
    query.nonce = in.bytes(proof::kNonceBytes).value_or(QByteArray());
    query.applicationId = in.string(kMaxNameBytes).value_or(QString());
    const quint8 flags = in.u8().value_or(0);
    if (flags & kQueryHasProof) {
        query.proof = in.bytes(proof::kProofBytes).value_or(QByteArray());
    }
    if (!in.ok()) {
        return std::nullopt;
    }
    return query;
}

std::optional<DiscoveryAnswer> parseAnswer(const QByteArray& datagram) {
    if (datagram.size() > kMaxDiscoveryDatagramBytes) {
        return std::nullopt;
    }
    WireReader in(datagram);
    if (in.bytes(4) != kAnswerMagic || in.u8() != kDiscoveryVersion) {
        return std::nullopt;
    }
    DiscoveryAnswer answer;
    answer.nonce = in.bytes(proof::kNonceBytes).value_or(QByteArray());
    answer.instanceId = in.bytes(proof::kNonceBytes).value_or(QByteArray());
    answer.applicationId = in.string(kMaxNameBytes).value_or(QString());
    answer.roomName = in.string(kMaxNameBytes).value_or(QString());
    answer.port = in.u16().value_or(0);
    answer.numericAttribute = in.i32().value_or(0);
    const quint8 flags = in.u8().value_or(0);
    answer.passwordProtected = (flags & kAnswerPasswordProtected) != 0;
    answer.acceptsPlayers = (flags & kAnswerAcceptsPlayers) != 0;
    answer.memberCount = in.u32().value_or(0);
    if (answer.passwordProtected) {
        answer.proof = in.bytes(proof::kProofBytes).value_or(QByteArray());
    }
    if (!in.ok() || answer.port == 0) {
        return std::nullopt;
    }
    return answer;
}

std::optional<HostAndPort> parseHostAndPort(const QString& text, quint16 defaultPort) {
    const QString trimmed = text.trimmed();
    QString host = trimmed;
    QString portText;
    if (trimmed.startsWith(u'[')) {
        const qsizetype close = trimmed.indexOf(u']');
        if (close < 0) {
            return std::nullopt;
        }
        host = trimmed.mid(1, close - 1);
        const QString after = trimmed.mid(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(u':')) {
                return std::nullopt;
            }
            portText = after.mid(1);
            if (portText.isEmpty()) {
                return std::nullopt;
            }
        }
    } else if (trimmed.count(u':') == 1) {
        const qsizetype colon = trimmed.indexOf(u':');
        host = trimmed.left(colon);
        portText = trimmed.mid(colon + 1);
        if (portText.isEmpty()) {
            return std::nullopt;
        }
    }
    // More than one colon without brackets: a bare IPv6 address, default port.
    if (host.isEmpty() || host.contains(u' ')) {
        return std::nullopt;
    }
    quint16 port = defaultPort;
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint value = portText.toUInt(&ok);
        if (!ok || value == 0 || value > 65535) {
            return std::nullopt;
        }
        port = static_cast<quint16>(value);
    }
    return HostAndPort{host, port};
}

} // namespace session
