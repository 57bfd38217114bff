// What `mirelune-room doctor --nats` reports, against a real nats-server with two
// users: one that may do everything a room needs, one that may not store records.
#include "session/nats/NatsCheck.h"

#include "SessionTestSupport.h"
#include "session/nats/NatsCluster.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>

namespace sessiontest {
namespace {

using Step = NatsFinding::Step;

TEST(NatsCheck, NamesTheStepThatFailsForAUserAndAServer) {
    const QString server = QStandardPaths::findExecutable(u"nats-server"_s);
    if (server.isEmpty()) {
        GTEST_SKIP() << "nats-server is not installed (scripts/setup.sh installs it)";
    }
    QTemporaryDir dir;
    const quint16 port = freeTcpPort();
    QFile config(dir.filePath(u"server.conf"_s));
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral(R"(listen: "127.0.0.1:%1"
jetstream { store_dir: "%2" }
authorization { users = [
  { user: chat, password: "pa55 word" }
  { user: reader, password: "r", permissions: {
      publish: ["$JS.API.>", "mirelune.alive.>"], subscribe: ["_INBOX.>", "mirelune.alive.>"] } }
] }
)")
                     .arg(port)
                     .arg(dir.filePath(u"store"_s))
                     .toUtf8());
    config.close();
    testsupport::ChildProcess nats(server, {u"-c"_s, config.fileName()});
    const QString at = u"127.0.0.1:%1"_s.arg(port);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return NatsClient().connect(*parseNatsServers(u"nats://chat:pa55%20word@"_s + at)).ok(); }, 10s));

    // The first step that fails, or the last one when none does.
    const auto firstFailure = [&](const QString& user) {
        const QList<NatsFinding> findings = checkNatsCluster(*parseNatsServers(user + at), {});
        const auto failed = std::find_if(findings.begin(), findings.end(), [](const auto& f) { return !f.ok; });
        return failed == findings.end() ? std::pair(findings.last().step, true) : std::pair(failed->step, false);
    };
    EXPECT_EQ(firstFailure(u"nats://chat:pa55%20word@"_s), std::pair(Step::Presence, true));
    EXPECT_EQ(firstFailure(u"nats://chat:wrong@"_s), std::pair(Step::Connect, false));
    EXPECT_EQ(firstFailure(u"nats://reader:r@"_s), std::pair(Step::Records, false));
    EXPECT_EQ(checkNatsCluster({u"nats://"_s + at}, dir.filePath(u"missing.creds"_s)).last().step, Step::Connect);

    // A password is shown and kept without itself.
    EXPECT_EQ(withoutNatsPasswords(u"nats://chat:pa55%20word@"_s + at + u", b:4223"_s),
              u"nats://chat@"_s + at + u",b:4223"_s);
}

} // namespace
} // namespace sessiontest
