// A member's cable cut for 10 s and plugged in again, on a small network of hosts
// (network namespaces on a bridge): nobody sees it leave or join, it receives what it
// missed, and the line it typed during the cut arrives exactly once.
#include "common/RoomCopies.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using testsupport::sorted;
using testsupport::TestNetwork;

TEST(LinkCut, AMemberWhoseCableIsCutFor10SecondsComesBackUnseen) {
    if (!TestNetwork::available())
        GTEST_SKIP() << "SKIPPED: the tests across hosts need root and iproute2 to build network namespaces";
    const TestNetwork network;
    if (!network.ok())
        GTEST_SKIP() << "SKIPPED: network namespaces cannot be built here";
    testsupport::RoomCopies room(&network);
    ASSERT_TRUE(room.fillRoom());

    // The bridge's end of c's cable: c's own interface and routes stay as they were.
    const QString cable = u"-n %1 link set vc %2"_s.arg(network.name(u"br"_s));
    ASSERT_TRUE(testsupport::ip(cable.arg(u"down"_s)));
    room.chika->type(u"切れている間に"_s);
    room.ben->type(u"聞こえますか"_s);
    testsupport::spinFor(10s);
    ASSERT_TRUE(testsupport::ip(cable.arg(u"up"_s)));

    EXPECT_TRUE(room.chika->shows(u"ベン> 聞こえますか"_s, 15s));
    EXPECT_TRUE(room.akira->shows(u"チカ> 切れている間に"_s, 15s));
    EXPECT_TRUE(room.ben->shows(u"チカ> 切れている間に"_s, 15s));
    testsupport::spinFor(1s); // a line doubled would come by now
    const QStringList lines{u"ベン> 聞こえますか"_s, u"チカ> 切れている間に"_s};
    EXPECT_EQ(sorted(room.akira->lines()),
              sorted(lines + QStringList{u"ベン さんが参加しました"_s, u"チカ さんが参加しました"_s}));
    EXPECT_EQ(sorted(room.ben->lines()), sorted(lines + QStringList{u"チカ さんが参加しました"_s}));
    EXPECT_EQ(sorted(room.chika->lines()), sorted(lines));
}
