#include "session/nats/NatsCheck.h"

#include "session/nats/NatsCluster.h"

#include <nats/nats.h>

namespace session {

namespace {

QString statusText(natsStatus status, jsErrCode code = jsErrCode(0)) {
    QString text = QString::fromUtf8(natsStatus_GetText(status));
    if (code != 0) {
        text += QStringLiteral(" (JetStream error %1)").arg(code);
    }
    return text;
}

// A plain connection, without the buckets NatsClient binds: the first steps are
// reported apart from them.
natsConnection* connectPlain(const QStringList& servers, const QString& credentialsFile, QString& why) {
    natsOptions* options = natsConnectOptions(servers, credentialsFile, "mirelune-doctor", 0, why);
    if (options == nullptr) {
        return nullptr;
    }
    natsConnection* connection = nullptr;
    const natsStatus status = natsConnection_Connect(&connection, options);
    natsOptions_Destroy(options);
    if (status != NATS_OK) {
        why = statusText(status);
        return nullptr;
    }
    return connection;
}

QString connectedDetail(natsConnection* connection) {
    char url[256] = {};
    char id[128] = {};
    natsConnection_GetConnectedUrl(connection, url, sizeof url);
    natsConnection_GetConnectedServerId(connection, id, sizeof id);
    char** known = nullptr;
    int count = 0;
    if (natsConnection_GetServers(connection, &known, &count) == NATS_OK) {
        for (int i = 0; i < count; ++i) {
            free(known[i]);
        }
        free(known);
    }
    return QStringLiteral("%1 (server %2); %3 server(s) of the cluster known")
        .arg(withoutNatsPasswords(QString::fromUtf8(url)), QString::fromUtf8(id))
        .arg(count);
}

} // namespace

QList<NatsFinding> checkNatsCluster(const QStringList& servers, const QString& credentialsFile) {
    using Step = NatsFinding::Step;
    QList<NatsFinding> findings;
    QString why;
    natsConnection* connection = connectPlain(servers, credentialsFile, why);
    if (connection == nullptr) {
        findings.append({Step::Connect, false, why});
        return findings;
    }
    findings.append({Step::Connect, true, connectedDetail(connection)});
    natsConnection_Close(connection);
    natsConnection_Destroy(connection);

    // The rest as a member does it: the buckets are bound, or made where missing.
    NatsClient client;
    if (const Status connected = client.connect(servers, credentialsFile); !connected) {
        const bool jetStream = connected.error().description.contains(QStringLiteral("bucket"));
        findings.append({jetStream ? Step::Buckets : Step::JetStream, false, connected.error().description});
        return findings;
    }
    jsAccountInfo* account = nullptr;
    jsErrCode code = jsErrCode(0);
    if (const natsStatus status = js_GetAccountInfo(&account, client.jetStream(), nullptr, &code); status != NATS_OK) {
        findings.append({Step::JetStream, false, statusText(status, code)});
        return findings;
    }
    findings.append({Step::JetStream, true,
                     QStringLiteral("%1 stream(s), %2 bytes stored; new rooms get %3 replica(s)")
                         .arg(account->Streams)
                         .arg(account->Store)
                         .arg(client.replicas())});
    jsAccountInfo_Destroy(account);
    findings.append({Step::Buckets, true,
                     QStringLiteral("%1 and %2")
                         .arg(QLatin1StringView(natsroom::kRoomsBucket), QLatin1StringView(natsroom::kMembersBucket))});

    // A room's stream of its own, never listed in the registry, deleted at the end.
    const QByteArray roomId = newRoomId();
    const QByteArray name = natsroom::streamName(roomId);
    int streamCode = 0;
    if (const int status = addRoomStream(client, roomId, RoomStreamLimits{0, 10, 0}, streamCode); status != NATS_OK) {
        findings.append({Step::Stream, false, statusText(natsStatus(status), jsErrCode(streamCode))});
        return findings;
    }
    findings.append({Step::Stream, true, QString::fromLatin1(name)});

    const QByteArray recordSubject = natsroom::subject(roomId, "check");
    jsPubAck* ack = nullptr;
    natsStatus stored = js_Publish(&ack, client.jetStream(), recordSubject.constData(), "check", 5, nullptr, &code);
    if (stored == NATS_OK) {
        jsPubAck_Destroy(ack);
        natsMsg* read = nullptr;
        stored = js_GetLastMsg(&read, client.jetStream(), name.constData(), recordSubject.constData(), nullptr, &code);
        if (stored == NATS_OK) {
            natsMsg_Destroy(read);
        }
    }
    findings.append({Step::Records, stored == NATS_OK,
                     stored == NATS_OK ? QStringLiteral("a record stored and read back") : statusText(stored, code)});

    // Presence: a pulse must come back to a subscriber.
    const QByteArray pulse = natsroom::pulseSubject(roomId);
    natsSubscription* subscription = nullptr;
    natsStatus heard = natsConnection_SubscribeSync(&subscription, client.connection(), pulse.constData());
    if (heard == NATS_OK) {
        heard = natsConnection_PublishString(client.connection(), pulse.constData(), "0");
        natsMsg* echo = nullptr;
        if (heard == NATS_OK) {
            heard = natsSubscription_NextMsg(&echo, subscription, 2000);
        }
        if (heard == NATS_OK) {
            natsMsg_Destroy(echo);
        }
        natsSubscription_Destroy(subscription);
    }
    findings.append(
        {Step::Presence, heard == NATS_OK, heard == NATS_OK ? QString::fromLatin1(pulse) : statusText(heard)});

    js_DeleteStream(client.jetStream(), name.constData(), nullptr, nullptr);
    return findings;
}

} // namespace session
