#include "session/nats/NatsCluster.h"

#include "session/SessionErrors.h"
#include "session/wire/NameRules.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMetaObject>
#include <QRandomGenerator>
#include <QUrl>
#include <nats/nats.h>

namespace session {

namespace natsroom {

QByteArray streamName(const QByteArray& roomId) {
    return "MIRELUNE_ROOM_" + roomId;
}

QByteArray subject(const QByteArray& roomId, const char* kind) {
    return "mirelune.room." + roomId + '.' + kind;
}

QByteArray pulseSubject(const QByteArray& roomId) {
    return "mirelune.alive." + roomId;
}

QByteArray memberKey(const QByteArray& roomId, const QString& name) {
    return roomId + '.' + QCryptographicHash::hash(handleNameKey(name).toUtf8(), QCryptographicHash::Sha256).toHex();
}

} // namespace natsroom

std::optional<QStringList> parseNatsServers(const QString& text) {
    QStringList servers;
    for (QString part : text.split(u',', Qt::SkipEmptyParts)) {
        part = part.trimmed();
        if (part.isEmpty()) {
            continue;
        }
        if (!part.contains(QStringLiteral("://"))) {
            part.prepend(QStringLiteral("nats://"));
        }
        QUrl url(part, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty() || url.scheme() != QStringLiteral("nats") || !url.path().isEmpty()) {
            return std::nullopt;
        }
        if (url.port() == -1) {
            url.setPort(4222);
        }
        servers.append(url.toString());
    }
    if (servers.isEmpty()) {
        return std::nullopt;
    }
    return servers;
}

QString withoutNatsPasswords(const QString& text) {
    QStringList kept;
    for (const QString& server : text.split(u',')) {
        const QString trimmed = server.trimmed();
        const QUrl url(trimmed.contains(QStringLiteral("://")) ? trimmed : QStringLiteral("nats://") + trimmed);
        kept.append(url.password().isEmpty() ? trimmed : url.toString(QUrl::RemovePassword));
    }
    return kept.join(u',');
}

QByteArray newRoomId() {
    return QByteArray::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0');
}

int addRoomStream(NatsClient& client, const QByteArray& roomId, const RoomStreamLimits& limits, int& jsCode) {
    const QByteArray name = natsroom::streamName(roomId);
    const QByteArray subjects = "mirelune.room." + roomId + ".>";
    const char* subjectList[] = {subjects.constData()};
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    config.Name = name.constData();
    config.Subjects = subjectList;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    config.Replicas = client.replicas();
    config.MaxAge = limits.maxAgeMs * 1'000'000;
    config.MaxMsgs = limits.maxRecords > 0 ? limits.maxRecords : -1;
    config.MaxBytes = limits.maxBytes > 0 ? limits.maxBytes : -1;
    config.Duplicates = natsroom::kDuplicateWindowMs * 1'000'000;
    jsStreamInfo* info = nullptr;
    jsErrCode code = jsErrCode(0);
    const natsStatus status = js_AddStream(&info, client.jetStream(), &config, nullptr, &code);
    jsCode = static_cast<int>(code);
    if (status == NATS_OK) {
        jsStreamInfo_Destroy(info);
    }
    return static_cast<int>(status);
}

Error natsError(quint32 code, const QString& what, int status, int jsCode) {
    QString text = QStringLiteral("%1: %2").arg(what, QString::fromUtf8(natsStatus_GetText(natsStatus(status))));
    if (jsCode != 0) {
        text += QStringLiteral(" (JetStream error %1)").arg(jsCode);
    }
    return Error{code, text};
}

NatsClient::~NatsClient() {
    if (m_members != nullptr) {
        kvStore_Destroy(m_members);
    }
    if (m_rooms != nullptr) {
        kvStore_Destroy(m_rooms);
    }
    if (m_js != nullptr) {
        jsCtx_Destroy(m_js);
    }
    if (m_connection != nullptr) {
        natsConnection_Close(m_connection);
        natsConnection_Destroy(m_connection);
    }
}

natsOptions* natsConnectOptions(const QStringList& servers, const QString& credentialsFile, const char* name,
                                int maxReconnect, QString& why) {
    natsOptions* options = nullptr;
    if (natsOptions_Create(&options) != NATS_OK) {
        why = QStringLiteral("the NATS client could not start");
        return nullptr;
    }
    QList<QByteArray> urls;
    std::vector<const char*> pointers;
    for (const QString& server : servers) {
        urls.append(server.toUtf8());
    }
    for (const QByteArray& url : std::as_const(urls)) {
        pointers.push_back(url.constData());
    }
    natsOptions_SetServers(options, pointers.data(), static_cast<int>(pointers.size()));
    natsOptions_SetTimeout(options, 2000);
    natsOptions_SetMaxReconnect(options, maxReconnect);
    natsOptions_SetReconnectWait(options, 250);
    natsOptions_SetName(options, name);
    if (!credentialsFile.isEmpty()) {
        const QByteArray path = QFile::encodeName(credentialsFile);
        if (natsOptions_SetUserCredentialsFromFiles(options, path.constData(), nullptr) != NATS_OK) {
            natsOptions_Destroy(options);
            why = QStringLiteral("the NATS credentials file cannot be used: %1").arg(credentialsFile);
            return nullptr;
        }
    }
    return options;
}

Status NatsClient::connect(const QStringList& servers, const QString& credentialsFile) {
    // A member rides out a server going away: it goes on over another one at once and
    // keeps trying for as long as it is in the room.
    QString why;
    natsOptions* options = natsConnectOptions(servers, credentialsFile, "mirelune", -1, why);
    if (options == nullptr) {
        return failure(kErrorConnectFailed, why);
    }
    const natsStatus status = natsConnection_Connect(&m_connection, options);
    natsOptions_Destroy(options);
    if (status != NATS_OK) {
        m_connection = nullptr;
        return platform::Failure<Error>{
            natsError(kErrorConnectFailed, QStringLiteral("no NATS server answers"), status)};
    }
    char** known = nullptr;
    int count = 0;
    if (natsConnection_GetServers(m_connection, &known, &count) == NATS_OK) {
        for (int i = 0; i < count; ++i) {
            free(known[i]);
        }
        free(known);
    }
    m_replicas = count >= 3 ? 3 : 1;
    if (natsConnection_JetStream(&m_js, m_connection, nullptr) != NATS_OK) {
        return failure(kErrorConnectFailed, QStringLiteral("the NATS connection has no JetStream context"));
    }
    if (Status bound = bindBucket(&m_rooms, natsroom::kRoomsBucket, 1); !bound) {
        return bound;
    }
    return bindBucket(&m_members, natsroom::kMembersBucket, 1);
}

Status NatsClient::bindBucket(kvStore** into, const char* name, int history) {
    natsStatus status = js_KeyValue(into, m_js, name);
    if (status == NATS_NOT_FOUND) {
        kvConfig config;
        kvConfig_Init(&config);
        config.Bucket = name;
        config.History = static_cast<uint8_t>(history);
        config.Replicas = m_replicas;
        status = js_CreateKeyValue(into, m_js, &config);
    }
    if (status != NATS_OK) {
        *into = nullptr;
        return platform::Failure<Error>{natsError(
            kErrorConnectFailed,
            QStringLiteral("the cluster's bucket %1 is out of reach (is JetStream on?)").arg(QLatin1StringView(name)),
            status)};
    }
    return {};
}

NatsWorker::NatsWorker() : m_thread([this] { run(); }) {}

NatsWorker::~NatsWorker() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_cancelled = true;
        m_tasks.clear();
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void NatsWorker::post(std::function<void()> task) {
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping) {
            return;
        }
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_all();
}

void NatsWorker::setTick(std::function<void()> tick, int intervalMs) {
    {
        const std::lock_guard lock(m_mutex);
        m_tick = std::move(tick);
        m_tickMs = intervalMs;
    }
    m_wake.notify_all();
}

bool NatsWorker::finish(std::function<void()> last, int waitMs) {
    std::unique_lock lock(m_mutex);
    if (m_stopping) {
        return m_done;
    }
    m_tasks.push_back(std::move(last));
    m_stopping = true;
    m_tick = nullptr;
    m_wake.notify_all();
    return m_wake.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return m_done; });
}

void NatsWorker::run() {
    auto nextTick = std::chrono::steady_clock::now();
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (!m_tasks.empty()) {
            std::function<void()> task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        if (m_stopping) {
            break;
        }
        if (m_tick) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= nextTick) {
                std::function<void()> tick = m_tick;
                nextTick = now + std::chrono::milliseconds(m_tickMs);
                lock.unlock();
                tick();
                lock.lock();
                continue;
            }
            m_wake.wait_until(lock, nextTick);
        } else {
            m_wake.wait(lock);
        }
    }
    m_done = true;
    m_wake.notify_all();
}

void LinkInbox::push(std::function<void()> call) {
    // Posting under the lock: once detach() has returned, nothing is posted any more.
    const QMutexLocker lock(&m_mutex);
    if (m_detached) {
        return;
    }
    m_calls.push_back(std::move(call));
    if (m_calls.size() == 1) {
        QMetaObject::invokeMethod(
            m_target, [self = shared_from_this()] { self->drain(); }, Qt::QueuedConnection);
    }
}

void LinkInbox::detach() {
    const QMutexLocker lock(&m_mutex);
    m_detached = true;
    m_calls.clear();
}

bool LinkInbox::attached() {
    const QMutexLocker lock(&m_mutex);
    return !m_detached;
}

void LinkInbox::drain() {
    std::deque<std::function<void()>> calls;
    {
        const QMutexLocker lock(&m_mutex);
        calls.swap(m_calls);
    }
    for (std::function<void()>& call : calls) {
        if (!attached()) {
            return; // left from inside a call
        }
        call();
    }
}

} // namespace session
