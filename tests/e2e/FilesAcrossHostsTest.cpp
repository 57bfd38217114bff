// Files through a room of copies on three hosts. The receiver's cable is cut for 10 s in
// the middle of one, and the room's host is killed in the middle of the next, so that the
// sender's copy takes the room over: each arrives whole, once, and the room's lines go on.
#include "common/RoomCopies.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using testsupport::TestNetwork;

namespace {

QByteArray sha256(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

} // namespace

TEST(FilesAcrossHosts, ACutCableOrAKilledHostInTheMiddleOfAFileOnlyDelaysIt) {
    if (!TestNetwork::available()) {
        GTEST_SKIP() << "SKIPPED: the tests across hosts need root and iproute2 to build network namespaces";
    }
    TestNetwork network;
    if (!network.ok()) {
        GTEST_SKIP() << "SKIPPED: network namespaces cannot be built here";
    }
    testsupport::RoomCopies room(&network);
    QTemporaryDir folder;
    const auto makeFile = [&](const QString& name, int megabytes) {
        const QString path = folder.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < megabytes; ++i) {
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            file.write(block);
        }
        return path;
    };
    const QString source = makeFile(u"会議の資料.bin"_s, 50);
    const QString taken = folder.filePath(u"chika"_s);
    ASSERT_TRUE(QDir().mkpath(taken));
    const auto as = [](const QString& command, const QString& name) {
        return QStringList{command, u"広場"_s, u"--name"_s, name};
    };
    room.akira = room.start(as(u"host"_s, u"アキラ"_s), u"a"_s);
    ASSERT_TRUE(room.waitListed(u"広場\t"_s));
    room.ben = room.start(as(u"join"_s, u"ベン"_s), u"b"_s);
    ASSERT_TRUE(room.akira->shows(u"ベン さんが参加しました"_s));
    room.chika =
        room.start(as(u"join"_s, u"チカ"_s) + QStringList{u"--accept-files"_s, u"--downloads"_s, taken}, u"c"_s);
    ASSERT_TRUE(room.ben->shows(u"チカ さんが参加しました"_s));

    // c's cable carries 40 Mbit/s, so the file takes some seconds and the cut below
    // comes in the middle of it.
    ASSERT_EQ(
        QProcess::execute(u"tc"_s, {u"-n"_s, network.name(u"br"_s), u"qdisc"_s, u"add"_s, u"dev"_s, u"vc"_s, u"root"_s,
                                    u"tbf"_s, u"rate"_s, u"40mbit"_s, u"burst"_s, u"64kb"_s, u"latency"_s, u"200ms"_s}),
        0);
    room.ben->type(u"/send "_s + source);
    // The room's lines while the file goes; the cable is cut once a fifth of it is there.
    QStringList said;
    for (int i = 1; i <= 10; ++i) {
        said.append(u"アキラ> 転送中の発言 %1"_s.arg(i));
        room.akira->type(u"転送中の発言 %1"_s.arg(i));
        testsupport::spinFor(50ms);
    }
    // The file grows out of sight until its hash holds; the receiver reports how far it is.
    const auto percent = [&](int number = 1) {
        const QRegularExpression progress(u"progress %1 ([0-9]+)%"_s.arg(number));
        int last = 0;
        for (const auto& match : progress.globalMatch(room.chika->errors())) {
            last = match.captured(1).toInt();
        }
        return last;
    };
    ASSERT_TRUE(testsupport::waitUntil([&] { return percent() >= 20; }, 60s));
    const QString cable = u"-n %1 link set vc %2"_s.arg(network.name(u"br"_s));
    ASSERT_TRUE(testsupport::ip(cable.arg(u"down"_s)));
    EXPECT_LT(percent(), 80);
    testsupport::spinFor(10s);
    ASSERT_TRUE(testsupport::ip(cable.arg(u"up"_s)));

    const QString arrived = QDir(taken).filePath(u"会議の資料.bin"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return QFile(arrived).size() == 50 << 20; }, 90s));
    EXPECT_EQ(sha256(arrived), sha256(source));
    testsupport::spinFor(1s);
    EXPECT_EQ(QDir(taken).entryList(QDir::Files | QDir::Hidden),
              QStringList{u"会議の資料.bin"_s}); // once, nothing partial
    EXPECT_EQ(room.chika->lines().filter(u"ファイル「会議の資料.bin」を受け取りました"_s).size(), 1);
    for (const QString& line : std::as_const(said)) {
        EXPECT_TRUE(room.ben->shows(line)) << line.toStdString();
        EXPECT_TRUE(room.chika->shows(line)) << line.toStdString();
    }

    // The next file; its sender's copy, first in line, takes the room over from the
    // killed host while the file goes, and sends the rest as the room's host.
    const QString second = makeFile(u"写真集.bin"_s, 20);
    room.ben->type(u"/send "_s + second);
    ASSERT_TRUE(testsupport::waitUntil([&] { return percent(2) >= 20; }, 60s));
    room.akira->killHard();
    EXPECT_LT(percent(2), 80);
    room.ben->type(u"引き継ぎました"_s);
    EXPECT_TRUE(room.chika->shows(u"ベン> 引き継ぎました"_s, 20s));
    const QString secondArrived = QDir(taken).filePath(u"写真集.bin"_s);
    ASSERT_TRUE(testsupport::waitUntil([&] { return QFile(secondArrived).size() == 20 << 20; }, 60s));
    EXPECT_EQ(sha256(secondArrived), sha256(second));
}
