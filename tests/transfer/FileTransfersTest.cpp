#include "transfer/FileTransfers.h"

#include "common/FakeSessionService.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace transfer;
using namespace Qt::StringLiterals;
using State = TransferInfo::State;
using testsupport::waitUntil;

namespace {

// One copy of a two-member room: offers go to the other copy's engine, parts arrive
// through the event loop, and `drop` may lose any part on its way.
class FileLink : public testsupport::FakeSessionService {
public:
    session::PlayerId self = 0;
    FileLink* other = nullptr;
    FileTransfers* peerEngine = nullptr;
    std::function<bool(const QByteArray&)> drop;
    QList<QByteArray> parts; // every part this copy sent

    bool carriesFiles() const override { return true; }
    session::Status sendFilePart(session::PlayerId, const QByteArray& part) override {
        parts.append(part);
        if (drop && drop(part))
            return {};
        QMetaObject::invokeMethod(
            other, [o = other, from = self, part] { Q_EMIT o->filePartReceived(from, part); }, Qt::QueuedConnection);
        return {};
    }
    session::Status send(session::PlayerId from, session::PlayerId to, const session::Message& message) override {
        QMetaObject::invokeMethod(
            other, [e = peerEngine, from, to, message] { e->offerReceived(from, to, message); }, Qt::QueuedConnection);
        return FakeSessionService::send(from, to, message);
    }
};

struct Room {
    FileLink taroLink, hanakoLink;
    FileTransfers taro{taroLink}, hanako{hanakoLink};
    QTemporaryDir sendDir, saveDir;
    QList<int> hanakoOffers;

    Room() {
        for (FileLink* link : {&taroLink, &hanakoLink})
            link->players = {{1, u"太郎"_s}, {2, u"花子"_s}};
        taroLink.self = 1;
        hanakoLink.self = 2;
        taroLink.other = &hanakoLink;
        hanakoLink.other = &taroLink;
        taroLink.peerEngine = &hanako;
        hanakoLink.peerEngine = &taro;
        taro.setLocalPlayer(1);
        hanako.setLocalPlayer(2);
        for (FileTransfers* engine : {&taro, &hanako})
            engine->setTimings({100, 3000, 6000});
        QObject::connect(&hanako, &FileTransfers::transferAdded, [this](int n) { hanakoOffers.append(n); });
    }
    QString makeFile(const QString& name, qsizetype size) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(QRandomGenerator::global()->bounded(256));
        const QString path = sendDir.filePath(name);
        testsupport::writeAll(path, bytes);
        return path;
    }
    // Taro offers `path` to Hanako; returns Hanako's number for the offer.
    std::pair<int, int> offer(const QString& path) {
        const auto number = taro.offerFile(path, 2);
        EXPECT_TRUE(number);
        EXPECT_TRUE(waitUntil([this] { return !hanakoOffers.isEmpty(); }));
        return {number.value_or(0), hanakoOffers.value(0)};
    }
    State hanakoState(int n) const { return hanako.transfer(n)->state; }
    State taroState(int n) const { return taro.transfer(n)->state; }
    QStringList saved() const { return QDir(saveDir.path()).entryList(QDir::Files | QDir::Hidden); }
};

} // namespace

TEST(FileTransfers, ArrivesWholeAfterLostChunks) {
    Room room;
    const QString path = room.makeFile(u"写真.bin"_s, 3 * 1000 * 1000 + 17);
    int chunks = 0;
    // Every 9th chunk is lost once; the receiver's stall recovery asks again.
    room.taroLink.drop = [&chunks](const QByteArray& part) { return part.at(0) == 2 && ++chunks % 9 == 0; };
    const auto [sent, got] = room.offer(path);
    EXPECT_EQ(room.hanako.transfer(got)->fileName, u"写真.bin"_s);
    EXPECT_EQ(room.hanako.transfer(got)->size, 3000017);
    room.hanako.accept(got, room.saveDir.filePath(u"写真.bin"_s), false);
    ASSERT_TRUE(waitUntil([&] { return room.hanakoState(got) == State::Done; }, std::chrono::seconds(20)));
    EXPECT_EQ(testsupport::readAll(room.saveDir.filePath(u"写真.bin"_s)), testsupport::readAll(path));
    EXPECT_EQ(room.saved(), QStringList{u"写真.bin"_s});
    EXPECT_TRUE(waitUntil([&] { return room.taroState(sent) == State::Done; }));
    EXPECT_GT(chunks, 46); // some were sent again
}

TEST(FileTransfers, DeclineStoresNothing) {
    Room room;
    const auto [sent, got] = room.offer(room.makeFile(u"a.zip"_s, 5000));
    room.hanako.decline(got);
    EXPECT_TRUE(waitUntil([&] { return room.taroState(sent) == State::Declined; }));
    EXPECT_TRUE(room.saved().isEmpty());

    // An offer the room hands back undelivered fails at its sender.
    const auto [again, _] = room.offer(room.makeFile(u"b.zip"_s, 10));
    room.taro.offerUndelivered(encodeOffer(Offer{2, 10, QString(64, u'0'), u"b.zip"_s}));
    EXPECT_EQ(room.taroState(again), State::Failed);
}

TEST(FileTransfers, CancelMidwayRemovesTheTemporaryFile) {
    Room room;
    int chunks = 0;
    room.taroLink.drop = [&chunks](const QByteArray& part) { return part.at(0) == 2 && ++chunks > 3; };
    const auto [sent, got] = room.offer(room.makeFile(u"a.zip"_s, 2 * 1000 * 1000));
    room.hanako.accept(got, room.saveDir.filePath(u"a.zip"_s), false);
    ASSERT_TRUE(waitUntil([&] { return room.hanako.transfer(got)->done > 0; }));
    room.hanako.cancel(got);
    EXPECT_TRUE(room.saved().isEmpty());
    EXPECT_TRUE(waitUntil([&] { return room.taroState(sent) == State::Cancelled; }));

    // Chunks that keep coming for the ended transfer get one answer, not one each.
    room.taroLink.drop = nullptr;
    const QByteArray stale = encodePart(Chunk{1, 0, QByteArray(10, 'x')});
    const qsizetype before = room.hanakoLink.parts.size();
    for (int i = 0; i < 10; ++i)
        Q_EMIT room.hanakoLink.filePartReceived(1, stale);
    EXPECT_LE(room.hanakoLink.parts.size() - before, 1);
    EXPECT_TRUE(room.saved().isEmpty());
}

TEST(FileTransfers, AlteredFileIsReportedAndLeavesNothing) {
    Room room;
    const QString path = room.makeFile(u"a.zip"_s, 200 * 1000);
    const auto [sent, got] = room.offer(path);
    QByteArray changed = testsupport::readAll(path);
    changed[1000] = static_cast<char>(changed[1000] ^ 1); // same size, other bytes
    testsupport::writeAll(path, changed);
    room.hanako.accept(got, room.saveDir.filePath(u"a.zip"_s), false);
    ASSERT_TRUE(waitUntil([&] { return room.hanakoState(got) == State::Failed; }));
    EXPECT_TRUE(room.hanako.transfer(got)->message.contains(u"壊れていた"_s));
    EXPECT_TRUE(room.saved().isEmpty());
    EXPECT_TRUE(waitUntil([&] { return room.taroState(sent) == State::Failed; }));
}

TEST(FileTransfers, OfferAboveTheLimitCannotBeAccepted) {
    Room room;
    room.hanako.setLargestFile(1000);
    const auto [sent, got] = room.offer(room.makeFile(u"big.iso"_s, 5000));
    EXPECT_EQ(room.hanakoState(got), State::Declined);
    room.hanako.accept(got, room.saveDir.filePath(u"big.iso"_s), false);
    testsupport::spinFor(std::chrono::milliseconds(300));
    EXPECT_TRUE(room.saved().isEmpty());
    EXPECT_EQ(room.hanakoState(got), State::Declined);
}

TEST(FileTransfers, FloodOfOffersKeepsABoundedNumber) {
    Room room;
    QStringList notices;
    QObject::connect(&room.hanako, &FileTransfers::notice, [&notices](const QString& t) { notices.append(t); });
    for (qint32 id = 1; id <= 100; ++id)
        room.hanako.offerReceived(1, 2, encodeOffer(Offer{static_cast<quint32>(id), 10, QString(64, u'0'), u"x"_s}));
    EXPECT_EQ(room.hanako.transfers().size(), 32);
    EXPECT_EQ(notices.filter(u"多すぎる"_s).size(), 1);
    EXPECT_EQ(room.hanako.transfers().last().fileName, u"x"_s);
}
