#include "SessionTestSupport.h"
#include "session/SessionErrors.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>

using namespace sessiontest;

namespace {

QStringList listedNames(TestCopy& lister, const QString& password, const QString& application = appId()) {
    RoomDescription query;
    query.applicationId = application;
    query.password = password;
    const auto rooms = lister.service->listRooms(query, 0);
    EXPECT_TRUE(rooms.ok());
    QStringList names;
    const OneBasedList<RoomDescription> found = rooms.valueOr({});
    for (const RoomDescription& room : found.items()) {
        names.append(room.name);
    }
    return names;
}

} // namespace

TEST(NetworkSessionService, ListsOurRoomsOnceAndPasswordRoomsOnlyToTheExactPassword) {
    const SessionConfig config = loopbackConfig();
    TestCopy open(config), locked(config), foreign(config), lister(config);
    ASSERT_TRUE(open.host(QStringLiteral("open")).ok());
    ASSERT_TRUE(locked.host(QStringLiteral("locked"), QStringLiteral("Himitsu")).ok());
    RoomDescription other;
    other.applicationId = QStringLiteral("{00000000-0000-0000-0000-000000000000}");
    other.name = QStringLiteral("よそ");
    ASSERT_TRUE(foreign.service->openRoom(other, OpenMode::CreateAndHost).ok());
    // The first room took the configured port; the others found another.
    EXPECT_EQ(open.service->hostingPort(), config.firstHostPort);
    EXPECT_NE(locked.service->hostingPort(), open.service->hostingPort());

    struct Case {
        QString password;
        QStringList expected;
    };
    const Case cases[] = {
        {QString(), {QStringLiteral("open")}},
        {QStringLiteral("himitsu"), {QStringLiteral("open")}},
        {QStringLiteral("Himitsu "), {QStringLiteral("open")}},
        {QStringLiteral("Himitsu"), {QStringLiteral("locked"), QStringLiteral("open")}},
    };
    for (const Case& c : cases) {
        QStringList names = listedNames(lister, c.password);
        names.sort();
        EXPECT_EQ(names, c.expected) << c.password.toStdString();
    }
    // The other application's room is found by a listing of that application only.
    EXPECT_EQ(listedNames(lister, {}, other.applicationId), QStringList{QStringLiteral("よそ")});

    // Joining checks the password again, whatever the listing said.
    RoomDescription query;
    query.applicationId = appId();
    query.password = QStringLiteral("Himitsu");
    const auto rooms = lister.service->listRooms(query, 0);
    ASSERT_TRUE(rooms.ok());
    const QList<RoomDescription> found = rooms->items();
    const auto listedLocked = std::find_if(found.begin(), found.end(),
                                           [](const RoomDescription& r) { return r.name == QStringLiteral("locked"); });
    ASSERT_NE(listedLocked, found.end());
    RoomDescription room = *listedLocked;
    EXPECT_EQ(room.numericAttribute, 4);
    EXPECT_EQ(room.hostAddress, QStringLiteral("127.0.0.1"));
    for (const QString& wrong : {QString(), QStringLiteral("himitsu")}) {
        room.password = wrong;
        const Status joined = lister.service->openRoom(room, OpenMode::Join);
        ASSERT_FALSE(joined.ok()) << wrong.toStdString();
        EXPECT_EQ(joined.error().code, kErrorAccessDenied);
    }
    room.password = QStringLiteral("Himitsu");
    EXPECT_TRUE(lister.service->openRoom(room, OpenMode::Join).ok());
}

TEST(NetworkSessionService, MessagesArriveOnceInOrderAndNeverBackToTheSender) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config), bob(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    const PlayerId hostId = host.createPlayer(QStringLiteral("ホスト"));
    ASSERT_TRUE(alice.join(QStringLiteral("room")).ok());
    const PlayerId aliceId = alice.createPlayer(QStringLiteral("アリス"));
    ASSERT_TRUE(bob.join(QStringLiteral("room")).ok());
    const PlayerId bobId = bob.createPlayer(QStringLiteral("ボブ"));
    EXPECT_EQ(QList<PlayerId>({hostId, aliceId, bobId}), QList<PlayerId>({1, 2, 3}));
    ASSERT_TRUE(waitForLog(host, 2));
    ASSERT_TRUE(waitForLog(alice, 1));

    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(alice.say(kEveryone, QStringLiteral("a%1").arg(i)).ok());
        ASSERT_TRUE(alice.say(bobId, QStringLiteral("p%1").arg(i)).ok());
    }
    // Order holds per sender; the host's own messages take a shorter road, so they
    // are sent once Alice's have arrived.
    ASSERT_TRUE(waitForLog(bob, 40));
    ASSERT_TRUE(host.say(aliceId, QStringLiteral("from host")).ok());
    ASSERT_TRUE(host.say(kEveryone, QStringLiteral("to all")).ok());

    ASSERT_TRUE(waitForLog(bob, 41));
    ASSERT_TRUE(waitForLog(alice, 3));
    ASSERT_TRUE(waitForLog(host, 22));
    testsupport::spinFor(100ms);

    QStringList bobExpected;
    for (int i = 0; i < 20; ++i) {
        bobExpected << QStringLiteral("pub 2>0 a%1").arg(i) << QStringLiteral("priv 2>3 p%1").arg(i);
    }
    bobExpected << QStringLiteral("pub 1>0 to all");
    EXPECT_EQ(bob.log, bobExpected);
    EXPECT_EQ(alice.log, (QStringList{QStringLiteral("join 3 ボブ"), QStringLiteral("priv 1>2 from host"),
                                      QStringLiteral("pub 1>0 to all")}));
    QStringList hostExpected{QStringLiteral("join 2 アリス"), QStringLiteral("join 3 ボブ")};
    for (int i = 0; i < 20; ++i) {
        hostExpected << QStringLiteral("pub 2>0 a%1").arg(i);
    }
    EXPECT_EQ(host.log, hostExpected);
    // One event per message, none left over.
    for (const TestCopy* copy : {&host, &alice, &bob}) {
        EXPECT_EQ(copy->events, copy->log.size());
        EXPECT_EQ(copy->emptyEvents, 0);
    }

    // Every copy lists everybody in joining order.
    const auto players = bob.service->listPlayers();
    ASSERT_TRUE(players.ok());
    ASSERT_EQ(players->count(), 3);
    EXPECT_EQ(players->item(1)->name, QStringLiteral("ホスト"));
    EXPECT_EQ(players->item(3)->id, bobId);
}

TEST(NetworkSessionService, JoinComesBeforeAMembersMessagesAndLeaveAfterTheLast) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    host.createPlayer(QStringLiteral("host"));
    ASSERT_TRUE(alice.join(QStringLiteral("room")).ok());
    alice.createPlayer(QStringLiteral("alice"));

    {
        TestCopy carol(config);
        ASSERT_TRUE(carol.join(QStringLiteral("room")).ok());
        const PlayerId carolId = carol.createPlayer(QStringLiteral("carol"));
        ASSERT_EQ(carolId, 3);
        ASSERT_TRUE(carol.say(kEveryone, QStringLiteral("hello")).ok());
        ASSERT_TRUE(carol.say(kEveryone, QStringLiteral("bye")).ok());
        // Leaving right after sending: the messages still come first.
        carol.service->close();
        carol.service->close();
    }
    ASSERT_TRUE(waitForLog(host, 5));
    ASSERT_TRUE(waitForLog(alice, 4));
    const QStringList carolsVisit{QStringLiteral("join 3 carol"), QStringLiteral("pub 3>0 hello"),
                                  QStringLiteral("pub 3>0 bye"), QStringLiteral("leave 3")};
    EXPECT_EQ(host.log, QStringList{QStringLiteral("join 2 alice")} + carolsVisit);
    EXPECT_EQ(alice.log, carolsVisit);
    EXPECT_FALSE(alice.service->playerName(3).ok());
    EXPECT_EQ(alice.service->listPlayers()->count(), 2);
}

TEST(NetworkSessionService, MembersSeeEverybodyLeaveWhenTheHostGoesAndThenCannotSend) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config), bob(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    host.createPlayer(QStringLiteral("host"));
    ASSERT_TRUE(alice.join(QStringLiteral("room")).ok());
    alice.createPlayer(QStringLiteral("alice"));
    ASSERT_TRUE(bob.join(QStringLiteral("room")).ok());
    bob.createPlayer(QStringLiteral("bob"));
    ASSERT_TRUE(waitForLog(alice, 1));

    // Alice stops handling events for a moment, so the notices wait in her queue.
    alice.service->unregisterEventReceiver(alice.handle);
    ASSERT_TRUE(host.say(kEveryone, QStringLiteral("last words")).ok());
    host.service->close();
    ASSERT_TRUE(testsupport::waitUntil([&] { return alice.service->waitingMessageCount(alice.id).valueOr(0) == 3; }));
    // Names stay readable until the leave notice has been read.
    EXPECT_EQ(alice.service->playerName(1).valueOr({}), QStringLiteral("host"));
    for (int i = 0; i < 3; ++i) {
        alice.onEvent();
    }
    EXPECT_EQ(alice.log, (QStringList{QStringLiteral("join 3 bob"), QStringLiteral("pub 1>0 last words"),
                                      QStringLiteral("leave 1"), QStringLiteral("leave 3")}));
    EXPECT_FALSE(alice.service->playerName(1).ok());
    EXPECT_EQ(alice.service->listPlayers()->count(), 1);

    ASSERT_TRUE(waitForLog(bob, 3));
    EXPECT_EQ(bob.log.mid(1), (QStringList{QStringLiteral("leave 1"), QStringLiteral("leave 2")}));
    const Status sent = bob.say(kEveryone, QStringLiteral("anyone?"));
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().code, kErrorConnectionLost);
}

TEST(NetworkSessionService, RefusesWhatItCannotDo) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config);

    const Status again = host.service->initialize(host.service->listConnections()->item(1).value());
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().code, kErrorAlreadyInitialized);

    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    for (const QString& bad : {QStringLiteral("tab\there"), QStringLiteral("line\nbreak"), QStringLiteral("del\x7f"),
                               QStringLiteral("c1\u0085")}) {
        const auto created = host.service->createLocalPlayer(bad, QStringLiteral("Player"), host.handle, 0);
        ASSERT_FALSE(created.ok());
        EXPECT_EQ(created.error().code, kErrorInvalidName);
    }
    const PlayerId self = host.createPlayer(QStringLiteral("ほすと 名前"));
    ASSERT_EQ(self, 1);

    for (const PlayerId nobody : {2, -1, 99}) {
        const Status sent = host.say(nobody, QStringLiteral("x"));
        ASSERT_FALSE(sent.ok());
        EXPECT_EQ(sent.error().code, kErrorInvalidPlayer);
    }
    Message message;
    const Status wrongSender = host.service->send(7, kEveryone, message);
    ASSERT_FALSE(wrongSender.ok());
    EXPECT_EQ(wrongSender.error().code, kErrorInvalidPlayer);
    EXPECT_EQ(host.service->playerName(5).error().code, kErrorInvalidPlayer);
    EXPECT_FALSE(host.service->receive().ok());

    // Alone in the room, a public message goes nowhere and succeeds.
    EXPECT_TRUE(host.say(kEveryone, QStringLiteral("echo?")).ok());
    testsupport::spinFor(50ms);
    EXPECT_TRUE(host.log.isEmpty());

    ASSERT_TRUE(host.service->destroyPlayer(self).ok());
    EXPECT_EQ(host.service->destroyPlayer(self).error().code, kErrorInvalidPlayer);
    host.service->close();
    host.service->close();
    EXPECT_FALSE(host.service->listPlayers().ok());
}

TEST(NetworkSessionService, NoEventReachesTheReceiverAfterClose) {
    const SessionConfig config = loopbackConfig();
    TestCopy host(config), alice(config);
    ASSERT_TRUE(host.host(QStringLiteral("room")).ok());
    host.createPlayer(QStringLiteral("host"));
    ASSERT_TRUE(alice.join(QStringLiteral("room")).ok());
    alice.createPlayer(QStringLiteral("alice"));
    ASSERT_TRUE(waitForLog(host, 1));
    // The first event closes the service; the events already queued for the other
    // messages must not reach the receiver.
    host.service->unregisterEventReceiver(host.handle);
    const qint32 closing = host.service->registerEventReceiver(&host.context, [&](qint32) {
        ++host.events;
        host.service->close();
    });
    ASSERT_EQ(host.service->destroyPlayer(1).ok(), true);
    host.id = host.service->createLocalPlayer(QStringLiteral("host"), {}, closing, 0).valueOr(0);
    ASSERT_NE(host.id, 0);
    host.events = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(alice.say(kEveryone, QStringLiteral("m%1").arg(i)).ok());
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return host.events > 0; }));
    testsupport::spinFor(100ms);
    EXPECT_EQ(host.events, 1);
    // Destroying a service with queued events is just as quiet.
    host.service.reset();
    alice.service.reset();
    testsupport::spinFor(50ms);
}

TEST(NetworkSessionService, InternetConnectionAsksForTheHostAndListsItsRoom) {
    SessionConfig config = loopbackConfig();
    config.connectTimeout = 800ms;
    TestCopy host(config);
    ASSERT_TRUE(host.host(QStringLiteral("遠くの部屋")).ok());
    host.createPlayer(QStringLiteral("host"));

    NetworkSessionService cancelled(config);
    const Connection internet = cancelled.listConnections()->item(2).value();
    EXPECT_EQ(internet.kind, Connection::Kind::Internet);
    EXPECT_FALSE(cancelled.initialize(internet).ok()); // no prompt at all
    cancelled.setAddressPrompt([] { return std::optional<QString>(); });
    EXPECT_FALSE(cancelled.initialize(internet).ok());

    NetworkSessionService remote(config);
    remote.setAddressPrompt(
        [&] { return std::optional<QString>(QStringLiteral("127.0.0.1:%1").arg(host.service->hostingPort())); });
    ASSERT_TRUE(remote.initialize(internet).ok());
    RoomDescription query;
    query.applicationId = appId();
    const auto rooms = remote.listRooms(query, 0);
    ASSERT_TRUE(rooms.ok());
    ASSERT_EQ(rooms->count(), 1);
    RoomDescription room = rooms->item(1).value();
    EXPECT_EQ(room.name, QStringLiteral("遠くの部屋"));
    ASSERT_TRUE(remote.openRoom(room, OpenMode::Join).ok());
    EXPECT_EQ(remote.createLocalPlayer(QStringLiteral("far"), QStringLiteral("Player"), 0, 0).valueOr(0), 2);

    // Nobody listens at the other port: an empty list, in time, not a failure.
    NetworkSessionService unreachable(config);
    unreachable.setAddressPrompt([&] { return std::optional<QString>(QStringLiteral("[::1]:%1").arg(freeTcpPort())); });
    ASSERT_TRUE(unreachable.initialize(internet).ok());
    QElapsedTimer clock;
    clock.start();
    const auto none = unreachable.listRooms(query, 0);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none->count(), 0);
    EXPECT_LT(clock.elapsed(), 2000);
}

TEST(NetworkSessionService, AWaitingCallRefusesASecondOne) {
    const SessionConfig config = loopbackConfig();
    TestCopy lister(config);
    std::optional<quint32> nestedCode;
    QTimer::singleShot(50ms, &lister.context, [&] {
        RoomDescription query;
        query.applicationId = appId();
        const auto nested = lister.service->listRooms(query, 0);
        nestedCode = nested.ok() ? 0u : nested.error().code;
    });
    RoomDescription query;
    query.applicationId = appId();
    EXPECT_TRUE(lister.service->listRooms(query, 0).ok());
    ASSERT_TRUE(nestedCode.has_value());
    EXPECT_EQ(*nestedCode, kErrorBusy);
}
