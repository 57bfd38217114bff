// The host's direct write path: what the kernel refuses waits, in order; and its
// descriptor table, grown before the members come.
#include "session/net/SocketSend.h"

#include "common/TestSupport.h"
#include "session/net/DescriptorTable.h"
#include "session/net/HostSocket.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

using namespace session;
using namespace std::chrono_literals;

namespace {

// A connected pair on loopback: `local` writes, `remote` reads.
struct SocketPair {
    SocketPair() {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        local.connectToHost(QHostAddress::LocalHost, server.serverPort());
        EXPECT_TRUE(local.waitForConnected(2000) && server.waitForNewConnection(2000));
        remote.reset(server.nextPendingConnection());
    }

    // The writing end as a bare descriptor, for the host's own socket.
    int takeLocal() {
        const int descriptor = ::dup(static_cast<int>(local.socketDescriptor()));
        local.abort();
        return descriptor;
    }

    QByteArray receive(qsizetype count) {
        QByteArray got;
        testsupport::waitUntil([&] {
            got += remote->readAll();
            return got.size() >= count;
        });
        return got;
    }

    QTcpServer server;
    QTcpSocket local;
    std::unique_ptr<QTcpSocket> remote;
};

// Pieces of the given sizes, each with its own bytes, and all of them in one.
std::pair<QList<QByteArray>, QByteArray> pieces(const QList<qsizetype>& sizes) {
    QList<QByteArray> list;
    QByteArray all;
    for (qsizetype p = 0; p < sizes.size(); ++p) {
        QByteArray bytes(sizes.at(p), Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(p + i % 251);
        list.append(bytes);
        all += bytes;
    }
    return {list, all};
}

} // namespace

TEST(SocketSend, GathersEveryPieceInOrder) {
    const std::pair<const char*, QList<qsizetype>> cases[] = {
        {"one frame", {73}},
        {"a turn's worth of small frames, copied together", QList<qsizetype>(600, 73)},
        {"more small frames than one gathering write takes", QList<qsizetype>(1000, 73)},
        {"empty pieces among others", {5, 0, 8, 0, 60}},
        {"one large frame", {200 * 1024}},
    };
    for (const auto& [name, sizes] : cases) {
        SCOPED_TRACE(name);
        SocketPair pair;
        ASSERT_TRUE(pair.remote);
        const auto [list, expected] = pieces(sizes);
        const qint64 sent = sendNow(static_cast<int>(pair.local.socketDescriptor()), list);
        // What the kernel did not take is the caller's to queue, behind what it took.
        pair.local.write(expected.mid(sent));
        EXPECT_EQ(pair.receive(expected.size()), expected);
    }
}

// The host's own socket: what the kernel does not take waits, in order, and a close
// asked for while bytes wait happens only once they are out.
TEST(HostSocket, KeepsWhatTheKernelRefusesAndClosesOnlyOnceItIsOut) {
    SocketPair pair;
    std::unique_ptr<HostSocket> owner(new HostSocket(pair.takeLocal()));
    HostSocket* socket = owner.get();
    int ends = 0;
    QObject::connect(socket, &HostSocket::disconnected, [&] { ++ends; });

    // More than loopback's buffers hold while nobody reads.
    const auto [list, all] = pieces({12 * 1024 * 1024, 5, 4 * 1024 * 1024});
    socket->write(list);
    EXPECT_GT(socket->bytesToWrite(), 0); // nobody has read yet: the kernel is full
    // Later pieces queue behind what waits, even when the kernel could take them.
    socket->write(QList<QByteArray>{QByteArrayLiteral("tail")});
    socket->disconnectFromHost();
    EXPECT_EQ(socket->state(), HostSocket::State::Closing);
    EXPECT_EQ(ends, 0);

    EXPECT_EQ(pair.receive(all.size() + 4), all + QByteArrayLiteral("tail"));
    EXPECT_TRUE(testsupport::waitUntil([&] { return ends == 1; }));
    EXPECT_EQ(socket->state(), HostSocket::State::Closed);
    EXPECT_TRUE(testsupport::waitUntil([&] { return pair.remote->state() == QAbstractSocket::UnconnectedState; }));
}

TEST(HostSocket, APeerThatGoesAwayIsReportedFromTheEventLoopOnce) {
    SocketPair pair;
    std::unique_ptr<HostSocket> socket(new HostSocket(pair.takeLocal()));
    int ends = 0;
    QObject::connect(socket.get(), &HostSocket::disconnected, [&] { ++ends; });

    pair.remote->abort();
    // On loopback the peer's reset is back before the event loop runs again: a write
    // finds the connection broken, and must not report the end from inside the call.
    for (int i = 0; i < 10 && socket->state() == HostSocket::State::Connected; ++i)
        socket->write(QByteArray(64 * 1024, 'x'));
    EXPECT_NE(socket->state(), HostSocket::State::Connected);
    EXPECT_EQ(ends, 0);
    EXPECT_TRUE(testsupport::waitUntil([&] { return ends > 0; }));
    testsupport::spinFor(20ms);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(socket->state(), HostSocket::State::Closed);
}

// The descriptor table is grown ahead, so that no member's accept() waits for it; the
// kernel shows its size as FDSize.
TEST(DescriptorTable, IsGrownAheadToTheLimit) {
    const auto tableSize = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("FDSize:"))
                return line.mid(7).trimmed().toInt();
        }
        return -1;
    };
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int wanted = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1500));
    reserveDescriptorTable(wanted);
    EXPECT_GE(tableSize(), wanted);
}
