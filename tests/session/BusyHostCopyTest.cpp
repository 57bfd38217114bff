// The room relays on a thread of its own: while the hosting copy's own thread is busy
// (a slow handler, a window that stalls), its members still reach each other.
#include "RawPeer.h"

#include <QThread>
#include <atomic>
#include <gtest/gtest.h>

using namespace sessiontest;

TEST(BusyHostCopy, MembersReachEachOtherWhileTheHostingCopyIsBusy) {
    TestCopy host(loopbackConfig());
    ASSERT_EQ(host.hostAs(u"host"_s), 1);
    const quint16 port = host.service->hostingPort();
    std::atomic<bool> delivered = false;
    const std::unique_ptr<QThread> members(QThread::create([&] {
        RawPeer a(port), b(port);
        if (a.joinAs(u"a"_s) == 0 || b.joinAs(u"b"_s) == 0) {
            return;
        }
        a.send(chatFrame(u"while the host's copy is busy"_s));
        while (const std::optional<Frame> frame = b.nextFrame()) {
            if (frame->type == quint8(FrameType::Deliver) &&
                frame->body.endsWith(chatPayload(u"while the host's copy is busy"_s))) {
                delivered = true;
                return;
            }
        }
    }));
    // This thread handles nothing meanwhile: it only waits for the members.
    members->start();
    members->wait();
    EXPECT_TRUE(delivered);
}
