#include "ChatWindowFixture.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// 500 members join one after another, each join handled as it arrives; the time the
// window needs is printed (the machine's load makes it no fit subject for a limit).
TEST_F(ShownChatWindowTest, FiveHundredJoinsAreShownInOrderAndALeaveTakesOneRow) {
    constexpr int kJoining = 500;
    QElapsedTimer clock;
    clock.start();
    for (int id = 3; id < 3 + kJoining; ++id) {
        m_service->players.append({id, u"参加者%1"_s.arg(id)});
        m_service->deliverSystem(session::kSystemPlayerJoined, id);
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().lstRoster->count() == 2 + kJoining; }));
    std::printf("[ measured ] %d joins shown in %lld ms\n", kJoining, static_cast<long long>(clock.elapsed()));
    for (int row = 0; row < window().lstRoster->count(); ++row)
        ASSERT_EQ(window().lstRoster->item(row)->data(Qt::UserRole).toInt(), row + 1);

    // A selection goes with the next change; a leave in the middle takes its row only.
    window().lstRoster->setCurrentRow(1);
    ASSERT_TRUE(window().cmdWhisper->isEnabled());
    QSignalSpy removed(window().lstRoster->model(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(window().lstRoster->model(), &QAbstractItemModel::rowsInserted);
    m_service->players.removeAt(100);
    m_service->deliverSystem(session::kSystemPlayerLeft, 101);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().lstRoster->count() == 1 + kJoining; }));
    ASSERT_EQ(removed.size(), 1);
    EXPECT_EQ(removed[0][1].toInt(), 100);
    EXPECT_EQ(removed[0][2].toInt(), 100);
    EXPECT_TRUE(inserted.isEmpty());
    EXPECT_EQ(window().lstRoster->item(100)->text(), u"参加者102"_s);
    EXPECT_TRUE(window().lstRoster->selectedItems().isEmpty());
    EXPECT_FALSE(window().cmdWhisper->isEnabled());
}

} // namespace
