// The headless client as separate processes: one host and two members on loopback,
// driven through standard input and read from standard output.
#include "common/ChildProcess.h"
#include "common/LoopbackSession.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// A copy of the headless client beside the test executable.
std::unique_ptr<testsupport::ChildProcess> start(const QStringList& arguments) {
    return std::make_unique<testsupport::ChildProcess>(QCoreApplication::applicationDirPath() + u"/mirelune-room"_s,
                                                       arguments);
}

TEST(RoomTool, HostAndTwoMembersChatOverLoopback) {
    const QStringList network{u"--loopback-only"_s, u"--discovery-port"_s, QString::number(testsupport::freeUdpPort()),
                              u"--host-port"_s, QString::number(testsupport::freeTcpPort())};
    const QString room = u"夜の部屋"_s;

    auto host = start(QStringList{u"host"_s, room, u"--name"_s, u"Host"_s} + network);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            const auto lister = start(QStringList{u"list"_s} + network);
            return lister->exitsWith(0) && lister->lines().value(0).startsWith(room + u'\t');
        },
        std::chrono::seconds(10)));

    auto ann = start(QStringList{u"join"_s, room, u"--name"_s, u"Ann"_s} + network);
    ASSERT_TRUE(host->shows(u"Ann さんが参加しました"_s));
    auto ben = start(QStringList{u"join"_s, room, u"--name"_s, u"Ben"_s} + network);
    ASSERT_TRUE(ann->shows(u"Ben さんが参加しました"_s));
    ASSERT_TRUE(host->shows(u"Ben さんが参加しました"_s));

    ann->type(u"こんにちは"_s);
    EXPECT_TRUE(host->shows(u"Ann> こんにちは"_s));
    EXPECT_TRUE(ben->shows(u"Ann> こんにちは"_s));
    EXPECT_TRUE(ann->shows(u"Ann> こんにちは"_s));

    ben->type(u"/w Ann secret"_s);
    EXPECT_TRUE(ann->shows(u"Ben> (secret)"_s));
    EXPECT_TRUE(ben->shows(u"Ben to Ann> secret"_s));

    host->type(u"@S1;ding"_s);
    host->type(u"@clear;"_s);
    for (testsupport::ChildProcess* copy : {host.get(), ann.get(), ben.get()}) {
        EXPECT_TRUE(copy->shows(u"Host> ding"_s));
        EXPECT_TRUE(copy->shows(u"Host さんはログを消去しました"_s));
    }
    EXPECT_FALSE(host->lines().join(u'\n').contains(u"secret"_s));

    // A member that dies without a goodbye still leaves the room for the others.
    ben->killHard();
    EXPECT_TRUE(ann->shows(u"Ben さんが退出しました"_s));
    EXPECT_TRUE(host->shows(u"Ben さんが退出しました"_s));
    ben.reset();

    ann->endInput();
    EXPECT_TRUE(ann->exitsWith(0));
    EXPECT_TRUE(host->shows(u"Ann さんが退出しました"_s));
    host->terminate();
    EXPECT_TRUE(host->exitsWith(0));
    // Nothing on standard error in normal use but the line saying that the room is open
    // (a sanitizer report would land here).
    EXPECT_EQ(host->errors().count(u'\n'), 1) << host->errors().toStdString();
    EXPECT_EQ(ann->errors().count(u'\n'), 1) << ann->errors().toStdString();

    auto gone = start(QStringList{u"join"_s, room, u"--name"_s, u"Late"_s} + network);
    EXPECT_TRUE(gone->exitsWith(3));
}

} // namespace
