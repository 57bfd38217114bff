// The host's direct write path: bytes go to the kernel only when nothing of the
// socket's own is waiting, in order, and what the kernel refuses is left to the caller.
#include "session/SocketSend.h"

#include "common/TestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>

using namespace session;

namespace {

// A connected pair on loopback: `local` writes, `remote` reads.
struct SocketPair {
    QTcpServer server;
    QTcpSocket local;
    std::unique_ptr<QTcpSocket> remote;

    bool open() {
        if (!server.listen(QHostAddress::LocalHost, 0)) {
            return false;
        }
        local.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!testsupport::waitUntil(
                [&] { return local.state() == QAbstractSocket::ConnectedState && server.hasPendingConnections(); })) {
            return false;
        }
        remote.reset(server.nextPendingConnection());
        return remote != nullptr;
    }

    QByteArray receive(qsizetype count) {
        QByteArray got;
        testsupport::waitUntil([&] {
            got += remote->readAll();
            return got.size() >= count;
        });
        return got;
    }
};

QByteArray pattern(qsizetype size, char seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(seed + i % 251);
    }
    return bytes;
}

} // namespace

TEST(SocketSend, GathersEveryPieceInOrder) {
    struct Case {
        const char* name;
        QList<qsizetype> sizes;
    };
    const Case cases[] = {
        {"one frame", {73}},
        {"a turn's worth of small frames", QList<qsizetype>(600, 73)}, // more than one gathering write
        {"empty pieces among others", {5, 0, 8, 0, 60}},
        {"one large frame", {200 * 1024}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        ASSERT_TRUE(pair.open());
        QList<QByteArray> pieces;
        QByteArray expected;
        for (qsizetype i = 0; i < c.sizes.size(); ++i) {
            pieces.append(pattern(c.sizes.at(i), static_cast<char>('a' + i % 26)));
            expected += pieces.back();
        }
        const qint64 sent = sendNow(&pair.local, pieces);
        // What the kernel did not take is the caller's to queue, behind what it took.
        pair.local.write(expected.mid(sent));
        EXPECT_EQ(pair.receive(expected.size()), expected);
    }
}

TEST(SocketSend, NeverOvertakesBytesTheSocketStillHolds) {
    SocketPair pair;
    ASSERT_TRUE(pair.open());
    // Buffered by the socket itself, not yet written: a direct write now would jump ahead.
    pair.local.write(QByteArrayLiteral("first "));
    ASSERT_GT(pair.local.bytesToWrite(), 0);
    EXPECT_EQ(sendNow(&pair.local, {QByteArrayLiteral("second")}), 0);
    pair.local.write(QByteArrayLiteral("second"));
    EXPECT_EQ(pair.receive(12), QByteArrayLiteral("first second"));

    QTcpSocket unconnected;
    EXPECT_EQ(sendNow(&unconnected, {QByteArrayLiteral("nobody")}), 0);
}

TEST(SocketSend, StopsWhereTheKernelIsFullAndTheRestFollowsInOrder) {
    SocketPair pair;
    ASSERT_TRUE(pair.open());
    // Small kernel buffers on both sides, and a reader that does not read yet.
    const int small = 16 * 1024;
    ::setsockopt(static_cast<int>(pair.local.socketDescriptor()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(static_cast<int>(pair.remote->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    QList<QByteArray> pieces;
    QByteArray expected;
    for (int i = 0; i < 2000; ++i) {
        pieces.append(pattern(73, static_cast<char>(i)));
        expected += pieces.back();
    }
    const qint64 sent = sendNow(&pair.local, pieces);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, expected.size());
    // A second try while the reader still sleeps takes nothing more and reports so.
    EXPECT_EQ(sendNow(&pair.local, {expected.mid(sent)}), 0);
    pair.local.write(expected.mid(sent));
    EXPECT_EQ(pair.receive(expected.size()), expected);
}
