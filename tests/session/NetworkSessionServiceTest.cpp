#include "SessionTestSupport.h"
#include "session/net/RoomAddress.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

QStringList listedNames(TestCopy& lister, const RoomDescription& query) {
    const auto rooms = lister.service->listRooms(query, 0);
    EXPECT_TRUE(rooms.ok());
    QStringList names;
    const OneBasedList<RoomDescription> listed = rooms.valueOr({});
    for (const RoomDescription& room : listed.items())
        names.append(room.name);
    names.sort();
    return names;
}

} // namespace

TEST(NetworkSessionService, ListsOurRoomsOnceAndPasswordRoomsOnlyToTheExactPassword) {
    const SessionConfig config = loopbackConfig();
    TestCopy open(config), locked(config), foreign(config), lister(config);
    ASSERT_TRUE(open.host(u"open"_s).ok());
    ASSERT_TRUE(locked.host(u"locked"_s, u"Himitsu"_s).ok());
    RoomDescription other = describe(u"よそ"_s);
    other.applicationId = u"{00000000-0000-0000-0000-000000000000}"_s;
    ASSERT_TRUE(foreign.service->openRoom(other, OpenMode::CreateAndHost).ok());

    for (const QString& password : {QString(), u"himitsu"_s, u"Himitsu "_s})
        EXPECT_EQ(listedNames(lister, describe({}, password)), QStringList{u"open"_s}) << password.toStdString();
    EXPECT_EQ(listedNames(lister, describe({}, u"Himitsu"_s)), (QStringList{u"locked"_s, u"open"_s}));
    // The other application's room is found by a listing of that application only.
    EXPECT_EQ(listedNames(lister, other), QStringList{u"よそ"_s});

    const QList<RoomDescription> found = lister.service->listRooms(describe({}, u"Himitsu"_s), 0).valueOr({}).items();
    ASSERT_EQ(found.size(), 2);
    EXPECT_EQ(found[0].numericAttribute, 4);
    EXPECT_EQ(found[0].hostAddress, u"127.0.0.1"_s);
}

TEST(NetworkSessionService, RefusesWhatItCannotDo) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config);
    EXPECT_EQ(errorCode(host.service->initialize(host.service->listConnections()->item(1).value())),
              kErrorAlreadyInitialized);

    // A call made while another waits (here from a timer during a listing) is refused.
    std::optional<quint32> nestedCode;
    QTimer::singleShot(50ms, &host.context, [&] { nestedCode = errorCode(host.service->listRooms(describe({}), 0)); });
    EXPECT_TRUE(host.service->listRooms(describe({}), 0).ok());
    EXPECT_EQ(nestedCode, kErrorBusy);

    ASSERT_TRUE(host.host(u"room"_s).ok());
    for (const QString& bad : {u"tab\there"_s, u"line\nbreak"_s, u"del\x7f"_s, u"c1\u0085"_s})
        EXPECT_EQ(errorCode(host.service->createLocalPlayer(bad, u"Player"_s, host.handle, 0)), kErrorInvalidName);
    const PlayerId self = host.createPlayer(u"ほすと 名前"_s);
    ASSERT_EQ(self, 1);

    for (const PlayerId nobody : {2, -1, 99})
        EXPECT_EQ(errorCode(host.say(nobody, u"x"_s)), kErrorInvalidPlayer);
    EXPECT_EQ(errorCode(host.service->send(7, kEveryone, Message())), kErrorInvalidPlayer);
    EXPECT_EQ(errorCode(host.service->playerName(5)), kErrorInvalidPlayer);
    EXPECT_FALSE(host.service->receive().ok());

    // Alone in the room, a public message goes nowhere and succeeds.
    EXPECT_TRUE(host.say(kEveryone, u"echo?"_s).ok());
    testsupport::spinFor(50ms);
    EXPECT_TRUE(host.log.isEmpty());

    ASSERT_TRUE(host.service->destroyPlayer(self).ok());
    EXPECT_EQ(errorCode(host.service->destroyPlayer(self)), kErrorInvalidPlayer);
    host.service->close();
    host.service->close();
    EXPECT_FALSE(host.service->listPlayers().ok());
}

TEST(NetworkSessionService, NoEventReachesTheReceiverAfterClose) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config);
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    ASSERT_EQ(alice.joinAs(u"alice"_s), 2);
    ASSERT_TRUE(waitForLog(host, 1));
    // The first event closes the service; the events already queued for the other
    // messages must not reach the receiver.
    host.service->unregisterEventReceiver(host.handle);
    const qint32 closing = host.service->registerEventReceiver(&host.context, [&](qint32) {
        ++host.events;
        host.service->close();
    });
    ASSERT_TRUE(host.service->destroyPlayer(1).ok());
    ASSERT_NE(host.service->createLocalPlayer(u"host"_s, {}, closing, 0).valueOr(0), 0);
    host.events = 0;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(alice.say(kEveryone, u"m%1"_s.arg(i)).ok());
    ASSERT_TRUE(testsupport::waitUntil([&] { return host.events > 0; }));
    testsupport::spinFor(100ms);
    EXPECT_EQ(host.events, 1);
    // Destroying a service with queued events is just as quiet.
    host.service.reset();
    alice.service.reset();
    testsupport::spinFor(50ms);
}

// The user names the host. Without a port every port of the range is asked: a host
// whose first port was taken is found on the next, the silent first port not waited for.
TEST(NetworkSessionService, InternetConnectionAsksForTheHostAndListsItsRoom) {
    QTcpServer squatter; // takes the first port, accepts and never answers
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, 0));
    SessionConfig config = loopbackConfig();
    config.firstHostPort = squatter.serverPort();
    config.lastHostPort = config.firstHostPort + 2;
    config.connectTimeout = 1500ms;
    TestCopy host(config);
    ASSERT_TRUE(host.host(u"遠くの部屋"_s).ok());
    // Past the squatter, in the range (another program may hold the next port too).
    const quint16 port = host.service->hostingPort();
    ASSERT_TRUE(port > config.firstHostPort && port <= config.lastHostPort) << port;
    host.createPlayer(u"host"_s);

    NetworkSessionService cancelled(config);
    const Connection internet = cancelled.listConnections()->item(2).value();
    EXPECT_EQ(internet.kind, Connection::Kind::Internet);
    EXPECT_FALSE(cancelled.initialize(internet).ok()); // no prompt at all
    cancelled.setAddressPrompt([] { return std::optional<QString>(); });
    EXPECT_FALSE(cancelled.initialize(internet).ok());

    NetworkSessionService remote(config);
    remote.setAddressPrompt([&] { return std::optional(u"127.0.0.1"_s); });
    ASSERT_TRUE(remote.initialize(internet).ok());
    QElapsedTimer clock;
    clock.start();
    const auto rooms = remote.listRooms(describe({}), 0);
    EXPECT_LT(clock.elapsed(), 1200);
    ASSERT_TRUE(rooms.ok());
    ASSERT_EQ(rooms->count(), 1);
    RoomDescription room = rooms->item(1).value();
    EXPECT_EQ(room.name, u"遠くの部屋"_s);
    EXPECT_EQ(room.hostPort, host.service->hostingPort());
    ASSERT_TRUE(remote.openRoom(room, OpenMode::Join).ok());
    EXPECT_EQ(remote.createLocalPlayer(u"far"_s, u"Player"_s, 0, 0).valueOr(0), 2);

    // A port given is the only one asked; nobody answering there gives an empty list
    // in time, not a failure.
    for (const QString& address : {u"127.0.0.1:%1"_s.arg(config.firstHostPort), u"[::1]:%1"_s.arg(freeTcpPort())}) {
        SCOPED_TRACE(address.toStdString());
        NetworkSessionService unreachable(config);
        unreachable.setAddressPrompt([&] { return std::optional(address); });
        ASSERT_TRUE(unreachable.initialize(internet).ok());
        clock.restart();
        const auto none = unreachable.listRooms(describe({}), 0);
        ASSERT_TRUE(none.ok());
        EXPECT_EQ(none->count(), 0);
        EXPECT_LT(clock.elapsed(), 2500);
    }
}

TEST(NetworkSessionService, AddressesOthersCanUseComeFirst) {
    const auto addresses = [](std::initializer_list<const char*> texts) {
        QList<QHostAddress> list;
        for (const char* text : texts)
            list.append(QHostAddress(QString::fromLatin1(text)));
        return list;
    };
    const std::pair<QList<QHostAddress>, QStringList> cases[] = {
        {addresses({"127.0.0.1", "203.0.113.7", "192.168.1.5", "::1", "fe80::1"}),
         {u"192.168.1.5:47812"_s, u"203.0.113.7:47812"_s}},
        {addresses({"::ffff:10.0.0.2", "10.0.0.2", "2001:db8::5"}), {u"10.0.0.2:47812"_s, u"[2001:db8::5]:47812"_s}},
        // A machine without a network still tells where its own copies find the room.
        {addresses({"127.0.0.1", "fe80::1"}), {u"[fe80::1]:47812"_s, u"127.0.0.1:47812"_s}},
    };
    for (const auto& [machine, expected] : cases)
        EXPECT_EQ(roomAddressesFrom(machine, 47812), expected);
}
