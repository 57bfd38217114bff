#include "ChatWindowFixture.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <cstdio>

using namespace Qt::StringLiterals;

// 500 members join within a second, one every 2 ms by the clock however busy the
// window is; how long after the last the roster shows them all is printed, not
// limited (the machine's load decides it). A leave then takes its own row only.
TEST_F(ShownChatWindowTest, FiveHundredJoinsAreShownInOrderAndALeaveTakesOneRow) {
    QElapsedTimer clock;
    clock.start();
    int next = 3;
    QTimer arrivals;
    QObject::connect(&arrivals, &QTimer::timeout, [&] {
        for (const qint64 due = std::min<qint64>(503, 4 + clock.elapsed() / 2); next < due; ++next) {
            m_service->players.append({next, u"参加者%1"_s.arg(next)});
            m_service->deliverSystem(session::kSystemPlayerJoined, next);
        }
        if (next == 503 && arrivals.isActive()) {
            arrivals.stop();
            clock.restart();
        }
    });
    arrivals.start(1);
    ASSERT_TRUE(testsupport::waitUntil([&] { return next == 503 && window().lstRoster->count() == 502; }));
    std::printf("[ measured ] 500 joins shown %lld ms after the last\n", static_cast<long long>(clock.elapsed()));
    for (int row = 0; row < 502; ++row)
        ASSERT_EQ(window().lstRoster->item(row)->data(Qt::UserRole).toInt(), row + 1);

    window().lstRoster->setCurrentRow(1);
    QSignalSpy removed(window().lstRoster->model(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(window().lstRoster->model(), &QAbstractItemModel::rowsInserted);
    m_service->players.removeAt(100);
    m_service->deliverSystem(session::kSystemPlayerLeft, 101);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().lstRoster->count() == 501; }));
    EXPECT_EQ(removed.size(), 1);
    EXPECT_TRUE(inserted.isEmpty());
    EXPECT_EQ(window().lstRoster->item(100)->text(), u"参加者102"_s);
    EXPECT_TRUE(window().lstRoster->selectedItems().isEmpty());
    EXPECT_FALSE(window().cmdWhisper->isEnabled());
}
