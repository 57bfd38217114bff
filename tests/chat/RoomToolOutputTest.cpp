// A headless host whose standard output nobody reads (a paused terminal, a pager, a
// full pipe) falls behind on its own; the room it hosts goes on for everyone else.
#include "common/ChildProcess.h"
#include "common/LoopbackSession.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

TEST(RoomTool, AHostWhoseOutputIsNotReadKeepsRelayingAndLettingMembersIn) {
    const QString program = QCoreApplication::applicationDirPath() + u"/mirelune-room"_s;
    const QStringList network{u"--loopback-only"_s, u"--discovery-port"_s, QString::number(testsupport::freeUdpPort()),
                              u"--host-port"_s, QString::number(testsupport::freeTcpPort())};
    const QTemporaryDir folder;
    const QByteArray fifo = QFile::encodeName(folder.filePath(u"out"_s));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    // Holding the read end open without ever reading: the pipe fills at 64 KiB.
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);

    QProcess host;
    host.setStandardOutputFile(QString::fromUtf8(fifo));
    host.start(program, QStringList{u"host"_s, u"部屋"_s, u"--name"_s, u"Host"_s} + network);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            testsupport::ChildProcess lister(program, QStringList{u"list"_s} + network);
            return lister.exitsWith(0) && !lister.lines().isEmpty();
        },
        std::chrono::seconds(10)));

    testsupport::ChildProcess ben(program, QStringList{u"join"_s, u"部屋"_s, u"--name"_s, u"Ben"_s} + network);
    testsupport::ChildProcess ann(program, QStringList{u"join"_s, u"部屋"_s, u"--name"_s, u"Ann"_s} + network);
    // Both are in once a line of Ann's reaches Ben.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            ann.type(u"ping"_s);
            return ben.shows(u"Ann> ping"_s, std::chrono::milliseconds(300));
        },
        std::chrono::seconds(10)));
    constexpr int kLines = 2000; // about 200 KB of log lines at the host, three times the pipe
    const QString padding(80, u'x');
    for (int i = 1; i <= kLines; ++i) {
        ann.type(u"line %1 "_s.arg(i) + padding);
    }
    ASSERT_TRUE(ben.shows(u"Ann> line %1 "_s.arg(kLines) + padding, std::chrono::seconds(30)));
    int next = 1; // every line once, in order
    for (const QString& line : ben.lines()) {
        if (line.startsWith(u"Ann> line "_s)) {
            EXPECT_EQ(line.section(u' ', 2, 2).toInt(), next++);
        }
    }
    EXPECT_EQ(next, kLines + 1);

    testsupport::ChildProcess late(program, QStringList{u"join"_s, u"部屋"_s, u"--name"_s, u"Cat"_s} + network);
    EXPECT_TRUE(ben.shows(u"Cat さんが参加しました"_s));
    EXPECT_TRUE(host.state() == QProcess::Running);

    host.kill();
    host.waitForFinished(5000);
    ::close(reader);
}

} // namespace
