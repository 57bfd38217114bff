// What a terminal user of the headless client sees and types.
#include "common/ChildProcess.h"
#include "common/LoopbackSession.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

TEST(RoomTool, SaysWhereTheRoomIsAndWhispersToNamesWithSpaces) {
    const quint16 port = testsupport::freeTcpPort();
    const QStringList network{u"--loopback-only"_s, u"--discovery-port"_s, QString::number(testsupport::freeUdpPort()),
                              u"--host-port"_s, QString::number(port)};
    const QString tool = QCoreApplication::applicationDirPath() + u"/mirelune-room"_s;
    testsupport::ChildProcess host(tool, QStringList{u"host"_s, u"夜の部屋"_s, u"--name"_s, u"Host"_s} + network);
    ASSERT_TRUE(testsupport::waitUntil([&] { return host.errors().endsWith(u'\n'); }, std::chrono::seconds(10)));
    EXPECT_TRUE(host.errors().startsWith(u"mirelune-room: room \"夜の部屋\" is open on port %1 at "_s.arg(port)));

    testsupport::ChildProcess ann(tool, QStringList{u"join"_s, u"夜の部屋"_s, u"--name"_s, u"Ann Lee"_s} + network);
    ASSERT_TRUE(testsupport::waitUntil([&] { return ann.errors().endsWith(u'\n'); }, std::chrono::seconds(10)));
    EXPECT_EQ(ann.errors(), u"mirelune-room: joined room \"夜の部屋\" at 127.0.0.1:%1\n"_s.arg(port));
    ASSERT_TRUE(host.shows(u"Ann Lee さんが参加しました"_s));
    host.type(u"/w \"Ann Lee\" やあ"_s);
    EXPECT_TRUE(ann.shows(u"Host> (やあ)"_s));
}
