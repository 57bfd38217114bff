#include "SessionTestSupport.h"
#include "session/Succession.h"

namespace sessiontest {
namespace {

// Every copy works the order out alone; they must agree on it, skip whoever cannot be
// reached the same way, and never pick the old host.
TEST(HostMigration, ElectionTriesTheEarliestJoinedReachableMemberFirst) {
    const QHostAddress lan(u"10.0.0.2"_s);
    const QList<RoomPlayer> players = {{1, u"host"_s, {}, {}},
                                       {2, u"a"_s, {}, {lan, 5000}},
                                       {3, u"natted"_s, {}, {lan, 0}},
                                       {4, u"b"_s, {}, {lan, 5001}},
                                       {5, u"c"_s, {}, {lan, 5002}}};
    using S = Election::Step;
    struct Case {
        PlayerId oldHost, self;
        QList<std::pair<S, PlayerId>> steps; // what next() says, and for Try the candidate
    };
    const Case cases[] = {
        {0, 2, {{S::BecomeHost, 2}}},
        {0, 4, {{S::Try, 2}, {S::BecomeHost, 4}}},
        {0, 3, {{S::Try, 2}, {S::Try, 4}, {S::Try, 5}, {S::GiveUp, 0}}},
        {2, 5, {{S::Try, 4}, {S::BecomeHost, 5}}}, // the old host named, as after a first move
    };
    for (const Case& c : cases) {
        Election election(players, c.oldHost, c.self);
        for (const auto& [step, id] : c.steps) {
            ASSERT_EQ(election.next(), step) << "self " << c.self << " expecting " << id;
            if (step != S::GiveUp) {
                EXPECT_EQ(election.candidate().id, id);
            }
        }
    }
}

} // namespace
} // namespace sessiontest
