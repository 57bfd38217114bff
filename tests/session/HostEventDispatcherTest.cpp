// The host thread's event loop: sockets, timers, posted calls and the end of the thread
// as Qt's own loops have them.
#include "session/net/HostEventDispatcher.h"

#include "common/TestSupport.h"
#include "session/net/HostSocket.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <tuple>

using namespace session;
using namespace std::chrono_literals;

namespace {

// A thread that runs the host's loop, and a way to run code on it.
struct HostThread {
    HostThread() {
        thread.setEventDispatcher(HostEventDispatcher::create().release());
        context.moveToThread(&thread);
        thread.start();
    }
    ~HostThread() {
        run([this] { qDeleteAll(context.children()); });
        thread.quit();
        EXPECT_TRUE(thread.wait(5000)) << "quit() from another thread did not end the loop";
    }
    template <typename F>
    void run(F&& work) {
        QMetaObject::invokeMethod(&context, std::forward<F>(work), Qt::BlockingQueuedConnection);
    }

    QThread thread;
    QObject context;
};

// Sends back whatever each connection sends, through the host's own socket.
struct EchoServer : QTcpServer {
    void incomingConnection(qintptr descriptor) override {
        auto* echo = new HostSocket(static_cast<int>(descriptor), this);
        QObject::connect(echo, &HostSocket::readyRead, echo, [echo] { echo->write(echo->readAll()); });
        QObject::connect(echo, &HostSocket::disconnected, echo, [this] { ended = true; });
    }
    std::atomic<bool> ended = false;
};

} // namespace

TEST(HostEventDispatcher, ServesAConnectionThroughAFullSocketBufferToItsEnd) {
    HostThread host;
    EchoServer* server = nullptr;
    host.run([&] {
        server = new EchoServer;
        server->setParent(&host.context);
        ASSERT_TRUE(server->listen(QHostAddress::LocalHost, 0));
    });
    quint16 port = 0;
    host.run([&] { port = server->serverPort(); });

    // Far more than the kernel's buffers hold, read back only after it is all written:
    // the echo's writes wait, and its write notifier has to bring them out.
    QTcpSocket member;
    member.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(member.waitForConnected(2000));
    QByteArray sent(8 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>(i * 7 % 251);
    }
    member.write(sent);
    QByteArray echoed;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            echoed += member.readAll();
            return echoed.size() >= sent.size();
        },
        20s));
    EXPECT_TRUE(echoed == sent);

    member.disconnectFromHost();
    EXPECT_TRUE(testsupport::waitUntil([&] { return server->ended.load(); }));
}

// Counts its timer's events and says on which thread the last one came.
struct TickCounter : QObject {
    void timerEvent(QTimerEvent*) override {
        lastThread = QThread::currentThread();
        ++ticks;
    }
    std::atomic<int> ticks = 0;
    std::atomic<QThread*> lastThread = nullptr;
};

TEST(HostEventDispatcher, FiresTimersInTheirOrderAndKeepsThemAcrossAMove) {
    HostThread host;
    QStringList fired; // only touched on the host's thread
    int remaining = -2;
    auto* moving = new TickCounter;
    moving->moveToThread(&host.thread);
    host.run([&] {
        for (const auto& [delay, name] : {std::pair{30ms, "30"}, {10ms, "10"}, {20ms, "20"}}) {
            QTimer::singleShot(delay, &host.context, [&fired, name] { fired.append(QString::fromLatin1(name)); });
        }
        // Repeating timers that stop themselves: every millisecond, and every turn.
        for (const auto& [interval, name, times] : {std::tuple{1ms, "tick", 3}, {0ms, "turn", 2}}) {
            auto* repeating = new QTimer(&host.context);
            QObject::connect(repeating, &QTimer::timeout, repeating,
                             [&fired, repeating, name, times, count = 0]() mutable {
                                 fired.append(QString::fromLatin1(name));
                                 if (++count == times) {
                                     repeating->stop();
                                 }
                             });
            repeating->start(interval);
        }
        auto* distant = new QTimer(&host.context);
        distant->start(1000ms);
        remaining = distant->remainingTime();
        moving->startTimer(5ms);
    });
    EXPECT_GT(remaining, 900);
    EXPECT_LE(remaining, 1000);

    // A running timer goes with its object to another thread's loop, and back.
    ASSERT_TRUE(testsupport::waitUntil([&] { return moving->ticks >= 2; }));
    host.run([&] { moving->moveToThread(qApp->thread()); });
    const int beforeMove = moving->ticks;
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return moving->ticks >= beforeMove + 2 && moving->lastThread == qApp->thread(); }));
    moving->moveToThread(&host.thread);
    const int back = moving->ticks;
    EXPECT_TRUE(
        testsupport::waitUntil([&] { return moving->ticks >= back + 2 && moving->lastThread == &host.thread; }));

    QStringList seen;
    host.run([&] {
        delete moving;
        seen = fired;
    });
    EXPECT_EQ(seen.filter(QStringLiteral("tick")).size(), 3);
    EXPECT_EQ(seen.filter(QStringLiteral("turn")).size(), 2);
    EXPECT_EQ(seen.filter(QRegularExpression(QStringLiteral("^\\d+$"))),
              (QStringList{QStringLiteral("10"), QStringLiteral("20"), QStringLiteral("30")}));
}
