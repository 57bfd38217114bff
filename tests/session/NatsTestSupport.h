#pragma once

// Rooms on a NATS cluster under test: three nats-server processes with JetStream on
// loopback, started and killed by the test, and copies of the service on them.
#include "session/SessionTestSupport.h"
#include "session/nats/NatsCluster.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <nats/nats.h>

namespace sessiontest {

using testsupport::ChildProcess;
using testsupport::waitUntil;

class NatsTestCluster {
public:
    NatsTestCluster() {
        for (int i = 0; i < 3; ++i) {
            m_clientPorts[i] = freeTcpPort();
            m_routePorts[i] = freeTcpPort();
        }
        for (int i = 0; i < 3; ++i) {
            start(i);
        }
        // Ready once a client can make the buckets, which takes a JetStream leader.
        m_ready = waitUntil([&] { return NatsClient().connect({url(0)}).ok(); }, 20s);
    }

    bool ready() const { return m_ready; }
    QString url(int i) const { return u"nats://127.0.0.1:%1"_s.arg(m_clientPorts[i]); }
    quint16 port(int i) const { return m_clientPorts[i]; }
    QString urls() const { return url(0) + u',' + url(1) + u',' + url(2); }

    void start(int i) {
        QStringList routes;
        for (int j = 0; j < 3; ++j) {
            if (j != i) {
                routes.append(u"nats://127.0.0.1:%1"_s.arg(m_routePorts[j]));
            }
        }
        m_servers[i] = std::make_unique<ChildProcess>(
            QStandardPaths::findExecutable(u"nats-server"_s),
            QStringList{u"-a"_s, u"127.0.0.1"_s, u"-p"_s, QString::number(m_clientPorts[i]), u"-js"_s, u"-sd"_s,
                        m_store.filePath(QString::number(i)), u"-n"_s, u"s%1"_s.arg(i), u"--cluster_name"_s, u"mlt"_s,
                        u"--cluster"_s, u"nats://127.0.0.1:%1"_s.arg(m_routePorts[i]), u"--routes"_s,
                        routes.join(u',')});
    }
    // SIGKILL to the server that leads `roomId`'s stream: its index.
    int killLeader(const QByteArray& roomId) {
        NatsClient client;
        if (!client.connect(*parseNatsServers(urls())).ok()) {
            return -1;
        }
        jsStreamInfo* info = nullptr;
        if (js_GetStreamInfo(&info, client.jetStream(), natsroom::streamName(roomId).constData(), nullptr, nullptr) !=
            NATS_OK) {
            return -1;
        }
        const int leader = info->Cluster != nullptr && info->Cluster->Leader != nullptr
                               ? QByteArray(info->Cluster->Leader).mid(1).toInt()
                               : -1;
        jsStreamInfo_Destroy(info);
        if (leader >= 0) {
            m_servers[leader]->killHard();
        }
        return leader;
    }

private:
    QTemporaryDir m_store;
    quint16 m_clientPorts[3] = {};
    quint16 m_routePorts[3] = {};
    std::unique_ptr<ChildProcess> m_servers[3];
    bool m_ready = false;
};

// A copy of the service on the NATS connection (the third).
struct NatsCopy : TestCopy {
    explicit NatsCopy(const QString& servers, qint64 keptRecords = 10000)
        : TestCopy([keptRecords] {
              SessionConfig config = loopbackConfig();
              config.natsHistoryRecords = keptRecords;
              return config;
          }()) {
        service->close();
        handle = service->registerEventReceiver(&context, [this](qint32) { onEvent(); });
        service->setServersPrompt([servers] { return std::optional<QString>(servers); });
        EXPECT_TRUE(service->initialize(service->listConnections().value().item(3).value()).ok());
    }
    QByteArray roomId() {
        const auto rooms = service->listRooms(describe({}), 0);
        return rooms.ok() && rooms->count() > 0 ? rooms->items().last().instanceId : QByteArray();
    }
};

class NatsRoom : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(u"nats-server"_s).isEmpty()) {
            GTEST_SKIP() << "nats-server is not installed (scripts/setup.sh installs it)";
        }
        ASSERT_TRUE(cluster.ready());
    }
    NatsTestCluster cluster;
};

} // namespace sessiontest
