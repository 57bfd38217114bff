#include "common/ChildProcess.h"
#include "common/FakeSessionService.h"
#include "common/TestSupport.h"
#include "setup/basGlobal.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// The desktop's notification service as far as the window uses it: it records what
// it is asked to show and says it reads no markup.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Shown {
        QString summary, body;
        uint replaces;
        QStringList actions;
    };
    QList<Shown> shown;

public Q_SLOTS:
    uint Notify(const QString&, uint replaces, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int) {
        shown.append({summary, body, replaces, actions});
        return 7;
    }
    QStringList GetCapabilities() { return {u"body"_s, u"actions"_s}; }
};

// A session bus of the test's own, on a socket in its folder, with no services to start.
TEST(DesktopNotice, OnePerBurstPrivateMarkedAndAClickRaisesTheWindow) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString config = dir.filePath(u"bus.conf"_s);
    testsupport::writeAll(config, "<busconfig><type>session</type><listen>unix:dir=" + dir.path().toUtf8() +
                                      "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                      "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                      "<allow own=\"*\"/></policy></busconfig>");
    testsupport::ChildProcess bus(u"dbus-daemon"_s, {u"--nofork"_s, u"--print-address"_s, u"--config-file"_s, config});
    ASSERT_TRUE(testsupport::waitUntil([&] { return !bus.lines().isEmpty(); })) << "dbus-daemon did not start";
    const QByteArray previousAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.lines().first().toUtf8());
    QDBusConnection serverBus = QDBusConnection::connectToBus(bus.lines().first(), u"test-notification-server"_s);
    NotificationServer server;
    ASSERT_TRUE(serverBus.registerService(u"org.freedesktop.Notifications"_s));
    ASSERT_TRUE(
        serverBus.registerObject(u"/org/freedesktop/Notifications"_s, &server, QDBusConnection::ExportAllSlots));

    QTemporaryDir settings;
    basGlobal::settingsPath = settings.filePath(u"Mirelune.ini"_s);
    auto service = std::make_unique<testsupport::FakeSessionService>();
    testsupport::FakeSessionService* fake = service.get();
    fake->players = {{1, u"太郎"_s}, {2, u"花子"_s}};
    basGlobal::sessionService = std::move(service);
    basGlobal::RegisterEventReceiver();
    basGlobal::localPlayerId = *fake->createLocalPlayer(u"太郎"_s, u"Player"_s, basGlobal::eventHandle, 0);
    basGlobal::localPlayerName = u"太郎"_s;
    basGlobal::roomName = u"雑談部屋"_s;
    auto* window = new frmMain;
    window->Form_Load();
    window->notifier().setTimes(50, 600);
    window->show();
    QWidget elsewhere;
    elsewhere.show();
    QApplication::setActiveWindow(&elsewhere);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));

    // A burst of three, one of them private: one notice.
    fake->deliverChat(2, 0, u"ねえ"_s);
    fake->deliverChat(2, 1, u"内緒だけど"_s, 1);
    fake->deliverChat(2, 0, u"聞いてる？"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !server.shown.isEmpty(); }));
    testsupport::spinFor(std::chrono::milliseconds(300));
    ASSERT_EQ(server.shown.size(), 1);
    EXPECT_EQ(server.shown[0].summary, u"雑談部屋 に新しい発言が 3 件"_s);
    EXPECT_EQ(server.shown[0].body, u"プライベート 1 件を含みます\n花子> 聞いてる？"_s);
    EXPECT_EQ(server.shown[0].actions.value(0), u"default"_s);
    EXPECT_EQ(window->windowTitle(), u"(3) Mirelune - [雑談部屋]"_s);
    // A private line alone, after the gap, in place of the notice before.
    fake->deliverChat(2, 1, u"あとで話そう"_s, 1);
    ASSERT_TRUE(testsupport::waitUntil([&] { return server.shown.size() == 2; }));
    EXPECT_EQ(server.shown[1].summary, u"雑談部屋 (プライベート)"_s);
    EXPECT_EQ(server.shown[1].body, u"花子> (あとで話そう)"_s);
    EXPECT_EQ(server.shown[1].replaces, 7u);

    // A click on it.
    QDBusMessage click = QDBusMessage::createSignal(u"/org/freedesktop/Notifications"_s,
                                                    u"org.freedesktop.Notifications"_s, u"ActionInvoked"_s);
    click << 7u << u"default"_s;
    ASSERT_TRUE(serverBus.send(click));
    EXPECT_TRUE(testsupport::waitUntil([&] { return window->isActiveWindow(); }));
    EXPECT_EQ(window->windowTitle(), u"Mirelune - [雑談部屋]"_s);

    delete window;
    basGlobal::ResetSessionState();
    QDBusConnection::disconnectFromBus(u"test-notification-server"_s);
    qputenv("DBUS_SESSION_BUS_ADDRESS", previousAddress);
}

} // namespace

#include "DesktopNoticeTest.moc"
