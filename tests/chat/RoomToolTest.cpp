// The headless client as separate processes on loopback, driven through standard
// input and read from standard output: a host and two members chat, and every way in
// that fails ends with its own exit code.
#include "common/ChildProcess.h"
#include "common/LoopbackSession.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <memory>

using namespace Qt::StringLiterals;
using testsupport::ChildProcess;

namespace {

class RoomTool : public ::testing::Test {
protected:
    // A copy of the headless client beside the test executable, on the test's ports.
    std::unique_ptr<ChildProcess> start(const QStringList& arguments) {
        const QStringList network{u"--loopback-only"_s, u"--discovery-port"_s, QString::number(discoveryPort),
                                  u"--host-port"_s, QString::number(roomPort)};
        return std::make_unique<ChildProcess>(QCoreApplication::applicationDirPath() + u"/mirelune-room"_s,
                                              arguments + network);
    }
    // Lists until `line` shows up: a room just started may not answer yet.
    bool waitListed(const QString& line, const QStringList& extra = {}) {
        return testsupport::waitUntil(
            [&] {
                const auto lister = start(QStringList{u"list"_s} + extra);
                return lister->exitsWith(0) && lister->lines().contains(line);
            },
            std::chrono::seconds(10));
    }

    const quint16 discoveryPort = testsupport::freeUdpPort();
    const quint16 roomPort = testsupport::freeTcpPort();
};

TEST_F(RoomTool, AHostAndTwoMembersChatAndLeave) {
    auto host = start({u"host"_s, u"広場"_s, u"--name"_s, u"アキラ"_s});
    ASSERT_TRUE(waitListed(u"広場\t127.0.0.1:%1"_s.arg(roomPort)));
    auto ben = start({u"join"_s, u"広場"_s, u"--name"_s, u"ベン"_s});
    ASSERT_TRUE(host->shows(u"ベン さんが参加しました"_s));
    auto chika = start({u"join"_s, u"広場"_s, u"--name"_s, u"チカ"_s});
    ASSERT_TRUE(host->shows(u"チカ さんが参加しました"_s));
    ASSERT_TRUE(ben->shows(u"チカ さんが参加しました"_s));

    // Each step arrives everywhere before the next, so every copy's output is exact.
    // The first line ends in CR LF, as a terminal or a script on another system sends.
    const std::initializer_list<ChildProcess*> everybody{host.get(), ben.get(), chika.get()};
    const auto say = [&](ChildProcess* who, const QString& typed, const QString& shown) {
        who->type(typed);
        for (ChildProcess* copy : everybody)
            ASSERT_TRUE(copy->shows(shown)) << shown.toStdString();
    };
    ASSERT_NO_FATAL_FAILURE(say(ben.get(), u"こんにちは\r"_s, u"ベン> こんにちは"_s));
    chika->type(u"/w ベン 内緒の話"_s);
    ASSERT_TRUE(ben->shows(u"チカ> (内緒の話)"_s));
    ASSERT_TRUE(chika->shows(u"チカ to ベン> 内緒の話"_s));
    ASSERT_NO_FATAL_FAILURE(say(ben.get(), u"まちがい"_s, u"ベン> まちがい"_s));
    ASSERT_NO_FATAL_FAILURE(say(ben.get(), u"@del;訂正しました"_s, u"ベン> 訂正しました"_s));
    ASSERT_NO_FATAL_FAILURE(say(host.get(), u"@clear;またね"_s, u"アキラ> またね"_s));
    ASSERT_NO_FATAL_FAILURE(say(chika.get(), u"おわり"_s, u"チカ> おわり"_s));

    const QStringList tail{u"ベン> まちがい"_s, u"ベン> 訂正しました"_s, u"アキラ さんはログを消去しました"_s,
                           u"アキラ> またね"_s, u"チカ> おわり"_s};
    EXPECT_EQ(host->lines(),
              QStringList({u"ベン さんが参加しました"_s, u"チカ さんが参加しました"_s, u"ベン> こんにちは"_s}) + tail);
    EXPECT_EQ(ben->lines(),
              QStringList({u"チカ さんが参加しました"_s, u"ベン> こんにちは"_s, u"チカ> (内緒の話)"_s}) + tail);
    EXPECT_EQ(chika->lines(), QStringList({u"ベン> こんにちは"_s, u"チカ to ベン> 内緒の話"_s}) + tail);

    // Members leave at the end of their input, the host on SIGTERM; nothing lands on
    // standard error (a sanitizer report would).
    ben->endInput();
    chika->endInput();
    EXPECT_TRUE(ben->exitsWith(0));
    EXPECT_TRUE(chika->exitsWith(0));
    EXPECT_TRUE(host->shows(u"ベン さんが退出しました"_s));
    EXPECT_TRUE(host->shows(u"チカ さんが退出しました"_s));
    host->terminate();
    EXPECT_TRUE(host->exitsWith(0));
    // Nothing on standard error in normal use but the line saying that the room is
    // open (a sanitizer report would land here).
    for (ChildProcess* copy : everybody)
        EXPECT_EQ(copy->errors().count(u'\n'), 1) << copy->errors().toStdString();
}

TEST_F(RoomTool, EachFailedWayInEndsWithItsExitCode) {
    auto host = start({u"host"_s, u"奥の間"_s, u"--name"_s, u"番人"_s, u"--password"_s, u"合言葉"_s});
    const QString address = u"127.0.0.1:%1"_s.arg(roomPort);
    ASSERT_TRUE(waitListed(u"奥の間\t%1\tpassword"_s.arg(address), {u"--password"_s, u"合言葉"_s}));
    const struct {
        const char* what;
        QStringList arguments;
        int code;
    } cases[] = {
        {"no room to join", {u"join"_s}, 2},
        {"a room nobody hosts", {u"join"_s, u"どこにもない"_s}, 3},
        {"the wrong password at the address",
         {u"join"_s, u"--address"_s, address, u"--password"_s, u"あいことば"_s},
         4},
        {"a name the room refuses",
         {u"join"_s, u"--address"_s, address, u"--password"_s, u"合言葉"_s, u"--name"_s, QString(256, u'x')},
         5},
    };
    for (const auto& c : cases) {
        auto copy = start(c.arguments);
        EXPECT_TRUE(copy->exitsWith(c.code)) << c.what << ": " << copy->errors().toStdString();
    }
    EXPECT_TRUE(host->running());
}

} // namespace
