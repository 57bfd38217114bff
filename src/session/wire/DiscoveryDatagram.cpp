#include "session/wire/DiscoveryDatagram.h"

#include "session/wire/WireBuffer.h"

namespace session {

namespace {
const QByteArray kQueryMagic = QByteArrayLiteral("MLDQ");
const QByteArray kAnswerMagic = QByteArrayLiteral("MLDA");
const QByteArray kSealedMagic = QByteArrayLiteral("MLDS");
constexpr quint8 kQueryHasShare = 0x01;
// Bit 0 of a clear answer's flags said "password protected" in version 2; a clear
// answer never carries it now.
constexpr quint8 kAnswerPasswordProtected = 0x01;
constexpr quint8 kAnswerAcceptsPlayers = 0x02;
constexpr quint32 kMaxNameBytes = kMaxNameChars * 3;

bool readHeader(WireReader& in, const QByteArray& datagram, const QByteArray& magic) {
    return datagram.size() <= kMaxDiscoveryDatagramBytes && in.bytes(4) == magic && in.u8() == kDiscoveryVersion;
}
} // namespace

QByteArray encodeQuery(const DiscoveryQuery& query) {
    WireWriter out;
    out.bytes(kQueryMagic);
    out.u8(kDiscoveryVersion);
    out.bytes(query.nonce);
    out.string(query.applicationId);
    out.u8(query.share.isEmpty() ? 0 : kQueryHasShare);
    out.bytes(query.share);
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
    out.u8(answer.acceptsPlayers ? kAnswerAcceptsPlayers : 0);
    out.u32(answer.memberCount);
    return out.take();
}

QByteArray encodeSealedAnswer(const SealedAnswer& answer) {
    WireWriter out;
    out.bytes(kSealedMagic);
    out.u8(kDiscoveryVersion);
    out.bytes(answer.nonce);
    out.bytes(answer.share);
    out.bytes(answer.sealed);
    return out.take();
}

QByteArray encodeSealedDescription(const DiscoveryAnswer& answer) {
    WireWriter out;
    out.bytes(answer.instanceId);
    out.u16(answer.port);
    out.i32(answer.numericAttribute);
    out.u8(answer.acceptsPlayers ? kAnswerAcceptsPlayers : 0);
    out.u32(answer.memberCount);
    out.string(answer.roomName);
    QByteArray plain = out.take();
    plain.resize(kSealedDescriptionBytes, '\0');
    return plain;
}

std::optional<DiscoveryQuery> parseQuery(const QByteArray& datagram) {
    WireReader in(datagram);
    if (!readHeader(in, datagram, kQueryMagic)) {
        return std::nullopt;
    }
    DiscoveryQuery query;
    query.nonce = in.bytes(kDiscoveryNonceBytes).value_or(QByteArray());
    query.applicationId = in.string(kMaxNameBytes).value_or(QString());
    const quint8 flags = in.u8().value_or(0);
    if (flags & kQueryHasShare) {
        query.share = in.bytes(kDiscoveryShareBytes).value_or(QByteArray());
    }
    if (!in.ok()) {
        return std::nullopt;
    }
    return query;
}

std::optional<DiscoveryAnswer> parseAnswer(const QByteArray& datagram) {
    WireReader in(datagram);
    if (!readHeader(in, datagram, kAnswerMagic)) {
        return std::nullopt;
    }
    DiscoveryAnswer answer;
    answer.nonce = in.bytes(kDiscoveryNonceBytes).value_or(QByteArray());
    answer.instanceId = in.bytes(16).value_or(QByteArray());
    answer.applicationId = in.string(kMaxNameBytes).value_or(QString());
    answer.roomName = in.string(kMaxNameBytes).value_or(QString());
    answer.port = in.u16().value_or(0);
    answer.numericAttribute = in.i32().value_or(0);
    const quint8 flags = in.u8().value_or(0);
    answer.acceptsPlayers = (flags & kAnswerAcceptsPlayers) != 0;
    answer.memberCount = in.u32().value_or(0);
    // A clear answer that calls its room password protected is forged or of a
    // version that showed such rooms in clear.
    if (!in.ok() || answer.port == 0 || (flags & kAnswerPasswordProtected) != 0) {
        return std::nullopt;
    }
    return answer;
}

std::optional<SealedAnswer> parseSealedAnswer(const QByteArray& datagram) {
    WireReader in(datagram);
    if (!readHeader(in, datagram, kSealedMagic)) {
        return std::nullopt;
    }
    SealedAnswer answer;
    answer.nonce = in.bytes(kDiscoveryNonceBytes).value_or(QByteArray());
    answer.share = in.bytes(kDiscoveryShareBytes).value_or(QByteArray());
    answer.sealed = in.bytes(kSealedDescriptionBytes + 16).value_or(QByteArray());
    if (!in.ok()) {
        return std::nullopt;
    }
    return answer;
}

std::optional<DiscoveryAnswer> parseSealedDescription(const QByteArray& plain, const QByteArray& nonce,
                                                      const QString& applicationId) {
    if (plain.size() != kSealedDescriptionBytes) {
        return std::nullopt;
    }
    WireReader in(plain);
    DiscoveryAnswer answer;
    answer.nonce = nonce;
    answer.applicationId = applicationId;
    answer.passwordProtected = true;
    answer.instanceId = in.bytes(16).value_or(QByteArray());
    answer.port = in.u16().value_or(0);
    answer.numericAttribute = in.i32().value_or(0);
    answer.acceptsPlayers = (in.u8().value_or(0) & kAnswerAcceptsPlayers) != 0;
    answer.memberCount = in.u32().value_or(0);
    answer.roomName = in.string(kMaxNameBytes).value_or(QString());
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
