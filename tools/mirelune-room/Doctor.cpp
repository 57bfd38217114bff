#include "Doctor.h"

#include "ConsoleIo.h"
#include "session/SessionTypes.h"
#include "session/discovery/RoomDiscovery.h"
#include "session/nats/NatsCheck.h"
#include "session/nats/NatsCluster.h"
#include "session/net/PortMapping.h"
#include "session/wire/DiscoveryDatagram.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QUdpSocket>
#include <future>
#include <optional>

namespace room {

namespace {

// Whether the port text of a rule ("47810", "47811-47830", "{ 22, 47810-47815 }")
// covers `port`.
bool portsCover(const QString& ports, quint16 port) {
    QString inner = ports;
    inner.remove(u'{').remove(u'}');
    for (const QString& part : inner.split(u',', Qt::SkipEmptyParts)) {
        const QStringList bounds = part.trimmed().split(u'-');
        bool lowOk = false;
        bool highOk = true;
        const uint low = bounds.value(0).toUInt(&lowOk);
        const uint high = bounds.size() > 1 ? bounds.value(1).toUInt(&highOk) : low;
        if (lowOk && highOk && bounds.size() <= 2 && low <= port && port <= high) {
            return true;
        }
    }
    return false;
}

// One finding: a status mark, then the Japanese line, then the English one.
enum class Mark { Ok, Failed, Info, Unknown };

void report(Mark mark, const QString& japanese, const QString& english) {
    static const char16_t* const kMarks[] = {u"[OK] ", u"[NG] ", u"[--] ", u"[??] "};
    printLine(QString::fromUtf16(kMarks[static_cast<int>(mark)]) + japanese);
    printLine(QStringLiteral("     ") + english);
}

// More about the finding just reported, under it without a mark.
void explain(const QString& japanese, const QString& english) {
    printLine(QStringLiteral("     ") + japanese);
    printLine(QStringLiteral("     ") + english);
}

QString portRange(const session::SessionConfig& config, QStringView dash) {
    return QString::number(config.firstHostPort) + dash + QString::number(config.lastHostPort);
}

bool checkInterfaces() {
    bool found = false;
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!(flags & QNetworkInterface::IsUp) || (flags & QNetworkInterface::IsLoopBack)) {
            continue;
        }
        for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol) {
                continue;
            }
            const QString broadcast = entry.broadcast().isNull() ? QStringLiteral("-") : entry.broadcast().toString();
            found = found || !entry.broadcast().isNull();
            report(Mark::Info,
                   QStringLiteral("インターフェース %1: %2 (検索の送り先 %3)")
                       .arg(iface.humanReadableName(), entry.ip().toString(), broadcast),
                   QStringLiteral("interface %1: %2 (discovery broadcasts to %3)")
                       .arg(iface.humanReadableName(), entry.ip().toString(), broadcast));
        }
    }
    if (!found) {
        report(Mark::Failed, QStringLiteral("ブロードキャストできる LAN のインターフェースがありません"),
               QStringLiteral("no LAN interface that can broadcast: other copies cannot find rooms here"));
    }
    return found;
}

bool checkPorts(const session::SessionConfig& config) {
    QUdpSocket discovery;
    const bool bound = discovery.bind(QHostAddress::AnyIPv4, config.discoveryPort,
                                      QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    const QString udp = QString::number(config.discoveryPort);
    if (bound) {
        report(Mark::Ok, QStringLiteral("ルームの検索に使う UDP %1 を開けます").arg(udp),
               QStringLiteral("UDP %1 (room discovery) can be bound").arg(udp));
    } else {
        // Qt's error text is English: the Japanese line says the usual causes itself.
        const QString why =
            discovery.error() == QAbstractSocket::AddressInUseError ? QStringLiteral("ほかのプログラムが使っています")
            : discovery.error() == QAbstractSocket::SocketAccessError ? QStringLiteral("使う権限がありません")
                                                                      : QStringLiteral("理由は次の行のとおりです");
        report(Mark::Failed, QStringLiteral("ルームの検索に使う UDP %1 を開けません: %2").arg(udp, why),
               QStringLiteral("UDP %1 (room discovery) cannot be bound: %2").arg(udp, discovery.errorString()));
    }
    int free = 0;
    for (quint32 port = config.firstHostPort; port <= config.lastHostPort; ++port) {
        QTcpServer server;
        free += server.listen(QHostAddress::Any, static_cast<quint16>(port)) ? 1 : 0;
    }
    const int total = config.lastHostPort >= config.firstHostPort ? config.lastHostPort - config.firstHostPort + 1 : 0;
    report(free > 0 ? Mark::Ok : Mark::Failed,
           QStringLiteral("ルームの TCP ポート %1 のうち %2 / %3 個が空いています")
               .arg(portRange(config, u"〜"))
               .arg(free)
               .arg(total),
           QStringLiteral("%1 of %2 room ports (TCP %3) are free").arg(free).arg(total).arg(portRange(config, u"-")));
    return bound && free > 0;
}

bool checkFirewall(const session::SessionConfig& config) {
    const QString nft = QStandardPaths::findExecutable(QStringLiteral("nft"));
    QProcess process;
    if (!nft.isEmpty()) {
        process.start(nft, {QStringLiteral("list"), QStringLiteral("ruleset")});
    }
    if (nft.isEmpty() || !process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        const QString why = nft.isEmpty() ? QStringLiteral("nft がありません")
                                          : QStringLiteral("nft が規則を読めません (root の権限が要るかもしれません)");
        const QString whyEn = nft.isEmpty() ? QStringLiteral("nft is not installed")
                                            : QStringLiteral("nft cannot read the rule set (root needed?)");
        report(Mark::Unknown, QStringLiteral("ファイアウォール (nftables): 不明 (%1)").arg(why),
               QStringLiteral("firewall (nftables): unknown (%1)").arg(whyEn));
        return true;
    }
    const QString ruleset = QString::fromUtf8(process.readAllStandardOutput());
    QStringList dropped;
    const bool udpDropped =
        firewallVerdict(ruleset, QStringLiteral("udp"), config.discoveryPort) == FirewallVerdict::Dropped;
    if (udpDropped) {
        dropped.append(QStringLiteral("UDP %1").arg(config.discoveryPort));
    }
    bool tcpDropped = false;
    for (quint32 port = config.firstHostPort; port <= config.lastHostPort; ++port) {
        if (firewallVerdict(ruleset, QStringLiteral("tcp"), static_cast<quint16>(port)) == FirewallVerdict::Dropped) {
            dropped.append(QStringLiteral("TCP %1").arg(port));
            tcpDropped = true;
        }
    }
    if (dropped.isEmpty()) {
        report(Mark::Ok,
               QStringLiteral("ファイアウォール (nftables) は UDP %1 と TCP %2 を通します")
                   .arg(config.discoveryPort)
                   .arg(portRange(config, u"〜")),
               QStringLiteral("the firewall (nftables) lets UDP %1 and TCP %2 through")
                   .arg(config.discoveryPort)
                   .arg(portRange(config, u"-")));
        return true;
    }
    const QString ports =
        dropped.size() > 4 ? dropped.mid(0, 4).join(u", ") + QStringLiteral(", ...") : dropped.join(u", ");
    report(Mark::Failed, QStringLiteral("ファイアウォール (nftables) が %1 を捨てます").arg(ports),
           QStringLiteral("the firewall (nftables) drops %1").arg(ports));
    // Only what arrives is dropped: joining a room elsewhere opens the connection
    // from here, and its answers pass.
    explain(QStringLiteral("ここで作ったルームには、ほかの人が入れません (ほかの人のルームにはこのまま入れます)"),
            QStringLiteral("others cannot join rooms hosted here (joining rooms hosted elsewhere still works)"));
    if (udpDropped) {
        explain(QStringLiteral("ここで作ったルームは、LAN のほかのコピーの一覧に出ません"),
                QStringLiteral("rooms hosted here do not show in the listings of other copies on the LAN"));
    }
    explain(
        QStringLiteral("通すには、入ってくるパケットを捨てる規則より前に、許可する規則を加えます。たとえば (テーブル "
                       "inet filter の input チェーンなら):"),
        QStringLiteral("to let them in, add an accept rule ahead of the others in the input chain, e.g. (for "
                       "the input chain of table inet filter):"));
    QStringList commands;
    if (tcpDropped) {
        commands.append(QStringLiteral("tcp dport %1").arg(portRange(config, u"-")));
    }
    if (udpDropped) {
        commands.append(QStringLiteral("udp dport %1").arg(config.discoveryPort));
    }
    for (const QString& match : std::as_const(commands)) {
        printLine(QStringLiteral("       sudo nft insert rule inet filter input %1 accept").arg(match));
    }
    explain(QStringLiteral("テーブルとチェーンの名前は sudo nft list ruleset で確かめ、再起動の後も残すには "
                           "/etc/nftables.conf にも書いてください"),
            QStringLiteral("see sudo nft list ruleset for your table and chain names, and write the rule into "
                           "/etc/nftables.conf to keep it after a restart"));
    return false;
}

// Runs one listing to its end; the rooms found and how long it took.
struct Listing {
    QList<session::RoomDescription> rooms;
    qint64 elapsedMs = 0;
};

Listing runListing(const session::SessionConfig& config, const QString& password,
                   const std::optional<session::HostAndPort>& host) {
    session::RoomDescription query;
    query.applicationId = QString::fromUtf16(session::kApplicationId);
    query.password = password;
    session::RoomDiscovery discovery(config);
    QElapsedTimer clock;
    clock.start();
    if (host) {
        discovery.startInternet(host->host, host->port, query);
    } else {
        discovery.startLan(query, config.listTimeout);
    }
    while (!discovery.isFinished()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return Listing{discovery.rooms(), clock.elapsed()};
}

QString roomList(const QList<session::RoomDescription>& rooms) {
    QStringList names;
    for (const session::RoomDescription& room : rooms) {
        names.append(QStringLiteral("%1 (%2:%3)").arg(room.name, room.hostAddress).arg(room.hostPort));
    }
    return names.join(u", ");
}

void checkLan(const session::SessionConfig& config, const QString& password) {
    const Listing lan = runListing(config, password, std::nullopt);
    if (lan.rooms.isEmpty()) {
        report(Mark::Info, QStringLiteral("LAN で応答したルームはありません"),
               QStringLiteral("no room on the LAN answered a listing"));
    } else {
        report(Mark::Info, QStringLiteral("LAN のルーム %1 件: %2").arg(lan.rooms.size()).arg(roomList(lan.rooms)),
               QStringLiteral("the LAN lists %1 room(s): %2").arg(lan.rooms.size()).arg(roomList(lan.rooms)));
    }
}

bool checkAddress(const session::SessionConfig& config, const QString& address, const QString& password) {
    const std::optional<session::HostAndPort> host = session::parseHostAndPort(address, 0);
    if (!host) {
        report(Mark::Failed, QStringLiteral("アドレスとして読めません: %1").arg(address),
               QStringLiteral("not a host address: %1").arg(address));
        return false;
    }
    const QString where =
        host->port != 0 ? address.trimmed() : QStringLiteral("%1:%2").arg(host->host, portRange(config, u"-"));
    const Listing listing = runListing(config, password, host);
    if (!listing.rooms.isEmpty()) {
        report(Mark::Ok,
               QStringLiteral("%1 のルームが %2 ms で応答しました: %3")
                   .arg(where)
                   .arg(listing.elapsedMs)
                   .arg(roomList(listing.rooms)),
               QStringLiteral("the room at %1 answered in %2 ms: %3")
                   .arg(where)
                   .arg(listing.elapsedMs)
                   .arg(roomList(listing.rooms)));
        return true;
    }
    // A refusal comes back within a round trip; a listing that ran for most of its
    // time-out met silence (a firewall or router that drops the packets). The listing
    // may end a little before the time-out proper on a busy machine.
    if (listing.elapsedMs * 2 >= config.connectTimeout.count()) {
        report(Mark::Failed,
               QStringLiteral("%1 から %2 ms 以内に応答がありません (途中のファイアウォールかルーターが捨てています)")
                   .arg(where)
                   .arg(config.connectTimeout.count()),
               QStringLiteral("no answer from %1 within %2 ms (a firewall or router on the way drops it)")
                   .arg(where)
                   .arg(config.connectTimeout.count()));
    } else {
        report(Mark::Failed,
               QStringLiteral("%1 にはルームがありません (%2 ms で拒否されました)").arg(where).arg(listing.elapsedMs),
               QStringLiteral("no room at %1 (refused after %2 ms)").arg(where).arg(listing.elapsedMs));
    }
    return false;
}

// Only for rooms on the Internet: nothing on the LAN needs a router.
void checkRouter(const session::RouterProbe& router) {
    if (!router.publicAddress.isEmpty()) {
        report(Mark::Info,
               QStringLiteral("ルーターが UPnP で応答しました (外側のアドレス %1): インターネットの接続で作ったルームは"
                              "ポートが転送されます")
                   .arg(router.publicAddress),
               QStringLiteral("the router answers UPnP (public address %1): a room hosted on the Internet connection "
                              "gets its port forwarded")
                   .arg(router.publicAddress));
    } else {
        report(Mark::Info,
               QStringLiteral("ルーターは UPnP でポートを転送できません (%1): インターネットから入るには、ルーターで"
                              "ルームのポートの転送が必要です")
                   .arg(router.japaneseReason),
               QStringLiteral("no port forwarding by the router over UPnP (%1): friends on the Internet need the "
                              "room port forwarded by hand")
                   .arg(router.reason));
    }
}

} // namespace

FirewallVerdict firewallVerdict(const QString& ruleset, const QString& protocol, quint16 port) {
    static const QRegularExpression chainStart(QStringLiteral("^\\s*chain\\s+\\S+\\s*\\{"));
    static const QRegularExpression portRule(QStringLiteral("\\b(tcp|udp)\\s+dport\\s+(\\{[^}]*\\}|[0-9-]+)"));
    static const QRegularExpression verdict(QStringLiteral("\\b(drop|reject|accept)\\b"));
    bool inChain = false;
    bool inputHook = false;
    bool policyDrop = false;
    // What the first rule naming the port decided in the current chain.
    enum class Decision { None, Drop, Accept } decided = Decision::None;
    const auto endChain = [&] {
        const bool dropped = inputHook && (decided == Decision::None ? policyDrop : decided == Decision::Drop);
        inChain = false;
        return dropped;
    };
    for (const QString& line : ruleset.split(u'\n')) {
        if (chainStart.match(line).hasMatch()) {
            inChain = true;
            inputHook = false;
            policyDrop = false;
            decided = Decision::None;
            continue;
        }
        if (!inChain) {
            continue;
        }
        if (line.trimmed() == u"}") {
            if (endChain()) {
                return FirewallVerdict::Dropped;
            }
            continue;
        }
        if (line.contains(QStringLiteral("hook input"))) {
            inputHook = true;
            policyDrop = line.contains(QStringLiteral("policy drop"));
            continue;
        }
        const QRegularExpressionMatch rule = portRule.match(line);
        if (decided != Decision::None || !rule.hasMatch() || rule.captured(1) != protocol ||
            line.contains(QStringLiteral("!=")) || !portsCover(rule.captured(2), port)) {
            continue;
        }
        const QRegularExpressionMatch action = verdict.match(line, rule.capturedEnd());
        if (action.hasMatch()) {
            decided = action.captured(1) == u"accept" ? Decision::Accept : Decision::Drop;
        }
    }
    return inChain && endChain() ? FirewallVerdict::Dropped : FirewallVerdict::Passes;
}

int runDoctor(const session::SessionConfig& config, const QString& address, const QString& password) {
    // Looking for the router takes a while: meanwhile the other checks run.
    std::future<session::RouterProbe> router =
        std::async(std::launch::async, [wait = config.routerDiscoveryTime] { return session::probeRouter(wait); });
    bool ok = checkInterfaces();
    ok = checkPorts(config) && ok;
    ok = checkFirewall(config) && ok;
    checkLan(config, password);
    if (!address.isEmpty()) {
        ok = checkAddress(config, address, password) && ok;
    }
    checkRouter(router.get());
    if (ok) {
        report(Mark::Ok, QStringLiteral("必要なものはすべて動いています"), QStringLiteral("everything needed works"));
    } else {
        report(Mark::Failed, QStringLiteral("動いていないものがあります (上の [NG] を見てください)"),
               QStringLiteral("something needed does not work (see [NG] above)"));
    }
    return ok ? 0 : 1;
}

int runNatsDoctor(const QString& servers, const QString& credentialsFile) {
    const std::optional<QStringList> parsed = session::parseNatsServers(servers);
    if (!parsed) {
        report(Mark::Failed, QStringLiteral("NATS サーバーの指定が読めません: %1").arg(servers),
               QStringLiteral("not a list of NATS servers: %1").arg(servers));
        return 1;
    }
    struct Texts {
        const char16_t* okJapanese;
        const char16_t* failedJapanese;
        const char* english;
    };
    static const Texts kTexts[] = {
        {u"NATS サーバーにつながりました", u"NATS サーバーにつながりません", "NATS server"},
        {u"JetStream が使えます", u"JetStream が使えません (サーバーで -js が有効か、この利用者に許可があるか)",
         "JetStream"},
        {u"部屋の一覧と名前のバケットが使えます", u"部屋の一覧と名前のバケットが使えません", "buckets"},
        {u"部屋のストリームを作れます", u"部屋のストリームを作れません (権限を確かめてください)", "a room's stream"},
        {u"発言を保存して読めます", u"発言を保存できないか、読めません", "storing and reading records"},
        {u"在室の知らせが届きます", u"在室の知らせが届きません (mirelune.alive.> の権限)", "presence pulses"},
    };
    bool ok = true;
    for (const session::NatsFinding& finding : session::checkNatsCluster(*parsed, credentialsFile)) {
        const Texts& texts = kTexts[static_cast<int>(finding.step)];
        report(finding.ok ? Mark::Ok : Mark::Failed,
               QString::fromUtf16(finding.ok ? texts.okJapanese : texts.failedJapanese) + QStringLiteral(": ") +
                   finding.detail,
               QStringLiteral("%1: %2: %3")
                   .arg(QLatin1StringView(texts.english),
                        finding.ok ? QStringLiteral("works") : QStringLiteral("fails"), finding.detail));
        ok = ok && finding.ok;
    }
    if (ok) {
        report(Mark::Ok, QStringLiteral("クラスタで部屋を使えます"), QStringLiteral("rooms work on this cluster"));
    } else {
        report(Mark::Failed, QStringLiteral("クラスタで部屋を使えません (上の [NG] を見てください)"),
               QStringLiteral("rooms do not work on this cluster (see [NG] above)"));
    }
    return ok ? 0 : 1;
}

} // namespace room
