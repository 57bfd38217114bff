#include "session/nats/NatsTransport.h"

#include "session/SessionLog.h"
#include "session/nats/NatsCluster.h"
#include "session/nats/NatsRoomLink.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <nats/nats.h>

namespace session {

namespace {

// Reads the room registry on a worker thread.
class NatsListing : public RoomListing {
public:
    NatsListing(const QStringList& servers, const QString& credentials, const RoomDescription& query, QObject* parent)
        : RoomListing(parent), m_inbox(std::make_shared<LinkInbox>(this)) {
        m_worker.post([inbox = m_inbox, servers, credentials, application = query.applicationId, this] {
            QList<RoomDescription> rooms;
            NatsClient client;
            if (const Status connected = client.connect(servers, credentials); !connected) {
                qCInfo(lcSession) << "listing the cluster's rooms:" << connected.error().description;
            } else {
                rooms = readRegistry(client, application);
            }
            inbox->push([this, rooms] {
                m_rooms = rooms;
                m_finished = true;
                Q_EMIT finished();
            });
        });
    }
    ~NatsListing() override { m_inbox->detach(); }

    bool isFinished() const override { return m_finished; }
    const QList<RoomDescription>& rooms() const override { return m_rooms; }

private:
    static QList<RoomDescription> readRegistry(NatsClient& client, const QString& application) {
        QList<RoomDescription> rooms;
        kvWatchOptions options;
        kvWatchOptions_Init(&options);
        options.IgnoreDeletes = true;
        kvWatcher* watcher = nullptr;
        if (kvStore_WatchAll(&watcher, client.rooms(), &options) != NATS_OK) {
            return rooms;
        }
        for (;;) {
            kvEntry* entry = nullptr;
            if (kvWatcher_Next(&entry, watcher, 3000) != NATS_OK || entry == nullptr) {
                break;
            }
            const QJsonObject room = QJsonDocument::fromJson(QByteArray(static_cast<const char*>(kvEntry_Value(entry)),
                                                                        kvEntry_ValueLen(entry)))
                                         .object();
            if (kvEntry_Operation(entry) == kvOp_Put && room.value(QStringLiteral("app")).toString() == application) {
                RoomDescription description;
                description.applicationId = application;
                description.name = room.value(QStringLiteral("name")).toString();
                description.numericAttribute = room.value(QStringLiteral("attr")).toInt();
                description.instanceId = QByteArray(kvEntry_Key(entry));
                // Its name is listed in clear; what is said in it is sealed.
                description.passwordProtected = room.contains(QStringLiteral("seal"));
                rooms.append(description);
            }
            kvEntry_Destroy(entry);
        }
        kvWatcher_Destroy(watcher);
        return rooms;
    }

    std::shared_ptr<LinkInbox> m_inbox;
    QList<RoomDescription> m_rooms;
    bool m_finished = false;
    NatsWorker m_worker; // last: its thread ends before the rest goes
};

} // namespace

RoomListing* NatsTransport::listRooms(const RoomDescription& query, int timeoutMs, std::chrono::milliseconds& limit,
                                      QObject* parent) {
    Q_UNUSED(timeoutMs);
    // Connecting (the client's own time-out per server) and reading the registry.
    limit = std::max(m_config.connectTimeout, std::chrono::milliseconds(5000));
    return new NatsListing(m_servers, m_config.natsCredentialsFile, query, parent);
}

RoomLink* NatsTransport::newLink(OpenMode mode, QObject* parent) {
    if (mode != OpenMode::Join && mode != OpenMode::CreateAndHost) {
        return nullptr;
    }
    return new NatsRoomLink(m_config, m_servers, parent);
}

} // namespace session
