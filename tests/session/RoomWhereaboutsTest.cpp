#include "SessionTestSupport.h"
#include "session/RoomAddress.h"

#include <QElapsedTimer>
#include <QTcpServer>

using namespace sessiontest;

TEST(RoomWhereabouts, AddressesOthersCanUseComeFirst) {
    const auto addresses = [](std::initializer_list<const char*> texts) {
        QList<QHostAddress> list;
        for (const char* text : texts)
            list.append(QHostAddress(QString::fromLatin1(text)));
        return list;
    };
    struct Case {
        QList<QHostAddress> machine;
        QStringList expected;
    };
    const Case cases[] = {
        {addresses({"127.0.0.1", "203.0.113.7", "192.168.1.5", "::1", "fe80::1"}),
         {u"192.168.1.5:47812"_s, u"203.0.113.7:47812"_s}},
        {addresses({"::ffff:10.0.0.2", "10.0.0.2", "2001:db8::5"}), {u"10.0.0.2:47812"_s, u"[2001:db8::5]:47812"_s}},
        // A machine without a network still tells where its own copies find the room.
        {addresses({"127.0.0.1", "fe80::1"}), {u"[fe80::1]:47812"_s, u"127.0.0.1:47812"_s}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(roomAddressesFrom(c.machine, 47812), c.expected);
}

// A host whose first port was taken listens on the next; listing its address without
// a port still finds the room, on the port it answered on.
TEST(RoomWhereabouts, ListingWithoutAPortAsksTheWholeRange) {
    QTcpServer squatter; // takes the first port, accepts and never answers
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, 0));
    SessionConfig config = loopbackConfig();
    config.firstHostPort = squatter.serverPort();
    config.lastHostPort = config.firstHostPort + 2;
    config.connectTimeout = 1500ms;
    TestCopy host(config);
    ASSERT_TRUE(host.host(u"二番目の部屋"_s).ok());
    ASSERT_EQ(host.service->hostingPort(), config.firstHostPort + 1);

    for (const auto& [address, expectedPort] : {std::pair{u"127.0.0.1"_s, host.service->hostingPort()},
                                                std::pair{u"127.0.0.1:%1"_s.arg(config.firstHostPort), quint16(0)}}) {
        SCOPED_TRACE(address.toStdString());
        NetworkSessionService remote(config);
        remote.setAddressPrompt([&] { return std::optional(address); });
        ASSERT_TRUE(remote.initialize(remote.listConnections()->item(2).value()).ok());
        QElapsedTimer clock;
        clock.start();
        RoomDescription query;
        query.applicationId = appId();
        const auto rooms = remote.listRooms(query, 0);
        ASSERT_TRUE(rooms.ok());
        if (expectedPort == 0) {
            EXPECT_EQ(rooms->count(), 0);
            continue;
        }
        ASSERT_EQ(rooms->count(), 1);
        EXPECT_EQ(rooms->item(1)->hostPort, expectedPort);
        // The silent first port is not waited for until the time-out.
        EXPECT_LT(clock.elapsed(), 1200);
    }
}
