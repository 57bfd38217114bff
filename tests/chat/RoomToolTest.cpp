// The headless client as separate processes on loopback, driven through standard
// input and read from standard output.
#include "common/RoomCopies.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace Qt::StringLiterals;
using testsupport::ChildProcess;
using testsupport::RoomCopies;

namespace {

TEST(RoomTool, AHostAndTwoMembersChatAndLeave) {
    RoomCopies room;
    room.chikaName = u"チカ リー"_s;
    ASSERT_TRUE(room.fillRoom());
    ChildProcess *host = room.akira.get(), *ben = room.ben.get(), *chika = room.chika.get();

    // Each step arrives everywhere before the next, so every copy's output is exact.
    // The first line ends in CR LF, as a terminal or a script on another system sends.
    const std::initializer_list<ChildProcess*> everybody{host, ben, chika};
    const auto say = [&](ChildProcess* who, const QString& typed, const QString& shown) {
        who->type(typed);
        for (ChildProcess* copy : everybody)
            ASSERT_TRUE(copy->shows(shown)) << shown.toStdString();
    };
    ASSERT_NO_FATAL_FAILURE(say(ben, u"こんにちは\r"_s, u"ベン> こんにちは"_s));
    ben->type(u"/w \"チカ リー\" 内緒の話"_s);
    ASSERT_TRUE(chika->shows(u"ベン> (内緒の話)"_s));
    ASSERT_TRUE(ben->shows(u"ベン to チカ リー> 内緒の話"_s));
    ASSERT_NO_FATAL_FAILURE(say(chika, u"おわり"_s, u"チカ リー> おわり"_s));

    EXPECT_EQ(host->lines(), (QStringList{u"ベン さんが参加しました"_s, u"チカ リー さんが参加しました"_s,
                                          u"ベン> こんにちは"_s, u"チカ リー> おわり"_s}));
    EXPECT_EQ(ben->lines(), (QStringList{u"チカ リー さんが参加しました"_s, u"ベン> こんにちは"_s,
                                         u"ベン to チカ リー> 内緒の話"_s, u"チカ リー> おわり"_s}));
    EXPECT_EQ(chika->lines(), (QStringList{u"ベン> こんにちは"_s, u"ベン> (内緒の話)"_s, u"チカ リー> おわり"_s}));

    // Members leave at the end of their input, the host on SIGTERM.
    ben->endInput();
    chika->endInput();
    EXPECT_TRUE(ben->exitsWith(0));
    EXPECT_TRUE(chika->exitsWith(0));
    EXPECT_TRUE(host->shows(u"ベン さんが退出しました"_s));
    EXPECT_TRUE(host->shows(u"チカ リー さんが退出しました"_s));
    ASSERT_TRUE(testsupport::sendSignal(*host, SIGTERM));
    EXPECT_TRUE(host->exitsWith(0));
    // Nothing on standard error in normal use but the line saying where the room is and
    // the one naming its key, the same for all (a sanitizer report would land here).
    EXPECT_TRUE(host->errors().startsWith(u"mirelune-room: room \"広場\" is open on port %1 at "_s.arg(room.roomPort)));
    const QString fingerprint = host->errors().section(u'\n', 1, 1);
    EXPECT_TRUE(fingerprint.startsWith(u"mirelune-room: fingerprint "_s)) << host->errors().toStdString();
    EXPECT_EQ(host->errors().count(u'\n'), 2) << host->errors().toStdString();
    for (ChildProcess* member : {ben, chika})
        EXPECT_EQ(member->errors(),
                  u"mirelune-room: joined room \"広場\" at 127.0.0.1:%1\n"_s.arg(room.roomPort) + fingerprint + u'\n');
}

// A member who comes late is given the room's public lines, marked, before anything
// else: not the private ones, not what "@clear;" or "@del;" took out, and nothing in
// them is run again (a line showing "@clear..." as text clears nothing).
TEST(RoomTool, ALateMemberIsGivenWhatWasSaidBeforeItCame) {
    RoomCopies room;
    auto host = room.start({u"host"_s, u"広場"_s, u"--name"_s, u"アキラ"_s});
    ASSERT_TRUE(room.waitListed(u"広場\t"_s));
    auto ben = room.start({u"join"_s, u"広場"_s, u"--name"_s, u"ベン"_s});
    ASSERT_TRUE(host->shows(u"ベン さんが参加しました"_s));
    const auto say = [&](const std::unique_ptr<ChildProcess>& who, const QString& typed, const QString& shown) {
        who->type(typed);
        ASSERT_TRUE(host->shows(shown)) << shown.toStdString();
        ASSERT_TRUE(ben->shows(shown)) << shown.toStdString();
    };
    ASSERT_NO_FATAL_FAILURE(say(ben, u"消える話"_s, u"ベン> 消える話"_s));
    ASSERT_NO_FATAL_FAILURE(say(ben, u"@clear;"_s, u"ベン さんはログを消去しました"_s));
    ben->type(u"/w アキラ 内緒の話"_s);
    ASSERT_TRUE(host->shows(u"ベン> (内緒の話)"_s));
    ASSERT_NO_FATAL_FAILURE(say(host, u"@S2;@S3;鳴らない"_s, u"アキラ> @S3;鳴らない"_s));
    ASSERT_NO_FATAL_FAILURE(say(ben, u"間違い"_s, u"ベン> 間違い"_s));
    ben->type(u"@del;"_s);
    ASSERT_NO_FATAL_FAILURE(say(ben, u"@foo;@clearアキラ;"_s, u"ベン> @clearアキラ;"_s));
    ASSERT_NO_FATAL_FAILURE(say(ben, u"残る話"_s, u"ベン> 残る話"_s));

    auto chika = room.start({u"join"_s, u"広場"_s, u"--name"_s, u"チカ"_s});
    ASSERT_TRUE(ben->shows(u"チカ さんが参加しました"_s));
    ASSERT_NO_FATAL_FAILURE(say(host, u"ようこそ"_s, u"アキラ> ようこそ"_s));
    ASSERT_TRUE(chika->shows(u"アキラ> ようこそ"_s));
    EXPECT_EQ(chika->lines(), (QStringList{u"\t―――― 参加する前の発言 ――――"_s, u"\tアキラ> @S3;鳴らない"_s,
                                           u"\tベン> @clearアキラ;"_s, u"\tベン> 残る話"_s, u"アキラ> ようこそ"_s}));
    // "@sysclear;" empties it once the host's user allowed scripts; what follows stays.
    host->type(u"@permission=yes;"_s);
    // The choice reaches the host's relay ahead of its user's next line; a member's line
    // sent at the same moment might come before it.
    ASSERT_NO_FATAL_FAILURE(say(host, u"許可した"_s, u"アキラ> 許可した"_s));
    ASSERT_NO_FATAL_FAILURE(say(ben, u"@sysclear;これから"_s, u"ベン> これから"_s));
    auto dan = room.start({u"join"_s, u"広場"_s, u"--name"_s, u"ダン"_s});
    ASSERT_TRUE(ben->shows(u"ダン さんが参加しました"_s));
    ASSERT_NO_FATAL_FAILURE(say(host, u"どうぞ"_s, u"アキラ> どうぞ"_s));
    ASSERT_TRUE(dan->shows(u"アキラ> どうぞ"_s));
    EXPECT_EQ(dan->lines(),
              (QStringList{u"\t―――― 参加する前の発言 ――――"_s, u"\tベン> これから"_s, u"アキラ> どうぞ"_s}));

    // A host whose user turned it off gives nothing.
    RoomCopies quiet;
    auto quietHost = quiet.start({u"host"_s, u"静か"_s, u"--name"_s, u"アキラ"_s, u"--no-history"_s});
    ASSERT_TRUE(quiet.waitListed(u"静か\t"_s));
    quietHost->type(u"独り言"_s);
    ASSERT_TRUE(quietHost->shows(u"アキラ> 独り言"_s));
    auto eve = quiet.start({u"join"_s, u"静か"_s, u"--name"_s, u"エミ"_s});
    ASSERT_TRUE(quietHost->shows(u"エミ さんが参加しました"_s));
    quietHost->type(u"どうぞ"_s);
    ASSERT_TRUE(eve->shows(u"アキラ> どうぞ"_s));
    EXPECT_EQ(eve->lines(), QStringList{u"アキラ> どうぞ"_s});
}

TEST(RoomTool, EachFailedWayInEndsWithItsExitCode) {
    RoomCopies room;
    auto host = room.start({u"host"_s, u"奥の間"_s, u"--name"_s, u"番人"_s, u"--password"_s, u"合言葉"_s});
    const QString address = u"127.0.0.1:%1"_s.arg(room.roomPort);
    ASSERT_TRUE(room.waitListed(u"奥の間\t%1\tpassword"_s.arg(address), {u"--password"_s, u"合言葉"_s}));
    const std::tuple<const char*, QStringList, int> cases[] = {
        {"no room to join", {u"join"_s}, 2},
        {"a room nobody hosts", {u"join"_s, u"どこにもない"_s}, 3},
        {"the wrong password at the address",
         {u"join"_s, u"--address"_s, address, u"--password"_s, u"あいことば"_s},
         4},
        {"a name the room refuses",
         {u"join"_s, u"--address"_s, address, u"--password"_s, u"合言葉"_s, u"--name"_s, QString(256, u'x')},
         5},
    };
    for (const auto& [what, arguments, code] : cases) {
        auto copy = room.start(arguments);
        EXPECT_TRUE(copy->exitsWith(code)) << what << ": " << copy->errors().toStdString();
    }
    EXPECT_TRUE(host->running());
}

TEST(RoomTool, AHostWhoseOutputIsNotReadKeepsRelayingAndLettingMembersIn) {
    RoomCopies room;
    const QTemporaryDir folder;
    const QByteArray fifo = QFile::encodeName(folder.filePath(u"out"_s));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    // Holding the read end open without ever reading: the pipe fills at 64 KiB, as under
    // a paused terminal or pager.
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    QProcess host;
    host.setStandardOutputFile(QString::fromUtf8(fifo));
    host.start(QCoreApplication::applicationDirPath() + u"/mirelune-room"_s,
               {u"host"_s, u"部屋"_s, u"--name"_s, u"Host"_s, u"--loopback-only"_s, u"--discovery-port"_s,
                QString::number(room.discoveryPort), u"--host-port"_s, QString::number(room.roomPort)});
    ASSERT_TRUE(room.waitListed(u"部屋\t127.0.0.1:%1"_s.arg(room.roomPort)));

    auto ben = room.start({u"join"_s, u"部屋"_s, u"--name"_s, u"Ben"_s});
    auto ann = room.start({u"join"_s, u"部屋"_s, u"--name"_s, u"Ann"_s});
    // Both are in once a line of Ann's reaches Ben.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            ann->type(u"ping"_s);
            return ben->shows(u"Ann> ping"_s, std::chrono::milliseconds(300));
        },
        std::chrono::seconds(10)));
    // About 1.3 MB of log lines at the host: past the 1 MiB its output keeps waiting.
    constexpr int kLines = 1300;
    const QString padding(1000, u'x');
    for (int i = 1; i <= kLines; ++i)
        ann->type(u"line %1 "_s.arg(i) + padding);
    ASSERT_TRUE(ben->shows(u"Ann> line %1 "_s.arg(kLines) + padding, std::chrono::seconds(30)));
    const auto expectEveryLineOnceInOrder = [&](const QStringList& lines) {
        int next = 1;
        for (const QString& line : lines.filter(QRegularExpression(u"^Ann> line "_s)))
            EXPECT_EQ(line, u"Ann> line %1 "_s.arg(next++) + padding);
        EXPECT_EQ(next, kLines + 1);
    };
    expectEveryLineOnceInOrder(ben->lines());

    auto late = room.start({u"join"_s, u"部屋"_s, u"--name"_s, u"Cat"_s});
    EXPECT_TRUE(ben->shows(u"Cat さんが参加しました"_s));
    EXPECT_EQ(host.state(), QProcess::Running);
    QByteArray out; // read at last, the host's output has it all too
    testsupport::waitUntil([&] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
            out.append(buffer, n);
        return out.contains("Cat ");
    });
    expectEveryLineOnceInOrder(QString::fromUtf8(out).split(u'\n'));
    host.kill();
    host.waitForFinished(5000);
    ::close(reader);
}

} // namespace
