// What one member can make other copies show: never a line of somebody else, a notice
// that did not happen, a private line that was public, or a pile of error boxes.
#include "ChatRecorders.h"
#include "chat/ChatController.h"
#include "common/FakeSessionService.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class ForgedLines : public ::testing::Test {
protected:
    void SetUp() override {
        service.players = {{1, u"Alice"_s}, {2, u"Bob"_s}};
        service.eventHandle = controller.registerForEvents();
        controller.setLocalPlayer(1, u"Alice"_s);
    }
    QString shown(qint32 kind, const QString& text, session::PlayerId to = session::kEveryone) {
        controller.log().clear();
        service.deliverChat(2, kind, text, to);
        testsupport::waitUntil([&] { return service.queue.isEmpty(); });
        QCoreApplication::processEvents();
        return controller.log().text();
    }

    testsupport::FakeSessionService service;
    chattest::RecordingSounds sounds;
    chattest::RecordingView view;
    chat::ChatController controller{service, sounds, view};
};

TEST_F(ForgedLines, EveryLineAfterTheFirstIsMarkedAndOnlyALineToMeAloneIsPrivate) {
    EXPECT_EQ(shown(0, u"hi\r\nAlice> I agree"_s), u"Bob> hi\r\n　Alice> I agree\r\n"_s);
    EXPECT_EQ(shown(0, u"x\nBob さんが退出しました"_s), u"Bob> x\r\n　Bob さんが退出しました\r\n"_s);
    EXPECT_EQ(shown(0, u"a\u2028Alice> b\u2029c\rd"_s), u"Bob> a\r\n　Alice> b\r\n　c\r\n　d\r\n"_s);
    EXPECT_EQ(shown(1, u"to all, dressed as private"_s), u"Bob> to all, dressed as private\r\n"_s);
    EXPECT_EQ(shown(1, u"to me"_s, 1), u"Bob> (to me)\r\n"_s);
    controller.log().clear();
    controller.cmdSend_Click(u"mine\nBob> not Bob"_s);
    EXPECT_EQ(controller.log().text(), u"Alice> mine\r\n　Bob> not Bob\r\n"_s);
    EXPECT_EQ(service.sent.last().text, u"mine\r\nBob> not Bob"_s); // the wire is unmarked
}

TEST_F(ForgedLines, ReadErrorsWhileTheBoxIsOpenOpenNoFurtherBox) {
    session::Message truncated;
    truncated.writeInt32(0);
    truncated.writeInt32(50); // a string of 50 bytes that never comes
    view.whileBoxShows = [&] {
        for (int i = 0; i < 4; ++i) {
            service.deliver(2, truncated);
        }
        testsupport::spinFor(std::chrono::milliseconds(50));
    };
    service.deliver(2, truncated);
    ASSERT_TRUE(testsupport::waitUntil([&] { return service.queue.isEmpty(); }));
    testsupport::spinFor(std::chrono::milliseconds(50));
    EXPECT_EQ(view.boxes.size(), 1);
    service.deliver(2, truncated); // a later error gets its own box
    EXPECT_TRUE(testsupport::waitUntil([&] { return view.boxes.size() == 2; }));
}

} // namespace
