// What a member can make other copies show: never a line of somebody else, a notice
// that did not happen, a private line that was public, or a pile of error boxes.
#include "ChatRecorders.h"
#include "chat/ChatController.h"
#include "common/FakeSessionService.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using testsupport::FakeSessionService;

namespace {

class ForgedLines : public ::testing::Test {
protected:
    void SetUp() override {
        service.players = {{1, u"Alice"_s}, {2, u"Bob"_s}};
        service.eventHandle = controller.registerForEvents();
        controller.setLocalPlayer(1, u"Alice"_s);
        controller.UpdateRoster();
    }
    void deliver(qint32 kind, const QString& text, session::PlayerId to = session::kEveryone) {
        session::Message message;
        message.writeInt32(kind);
        message.writeString(text);
        service.deliver(2, message, to);
        ASSERT_TRUE(testsupport::waitUntil([&] { return service.queue.isEmpty(); }));
        QCoreApplication::processEvents();
    }

    FakeSessionService service;
    chattest::RecordingSounds sounds;
    chattest::RecordingView view;
    chat::ChatController controller{service, sounds, view};
};

TEST_F(ForgedLines, EveryLineAfterTheFirstIsMarkedAsAContinuation) {
    const struct {
        QString sent;
        QString shown;
    } rows[] = {
        {u"hi\r\nAlice> I agree"_s, u"Bob> hi\r\n　Alice> I agree\r\n"_s},
        {u"x\nBob さんが退出しました"_s, u"Bob> x\r\n　Bob さんが退出しました\r\n"_s},
        {u"a\u2028Alice> b\u2029c\rd"_s, u"Bob> a\r\n　Alice> b\r\n　c\r\n　d\r\n"_s},
        {u"one line"_s, u"Bob> one line\r\n"_s},
    };
    for (const auto& row : rows) {
        controller.log().clear();
        deliver(0, row.sent);
        EXPECT_EQ(controller.log().text(), row.shown) << row.sent.toStdString();
    }
    // The sender's own copy shows its message the same way.
    controller.log().clear();
    controller.cmdSend_Click(u"mine\nBob> not Bob"_s);
    EXPECT_EQ(controller.log().text(), u"Alice> mine\r\n　Bob> not Bob\r\n"_s);
    EXPECT_EQ(service.sent.last().text, u"mine\r\nBob> not Bob"_s);
}

TEST_F(ForgedLines, OnlyALineAddressedToThisPlayerAloneIsShownAsPrivate) {
    deliver(1, u"to all, in private dress"_s);
    deliver(1, u"to me"_s, 1);
    EXPECT_EQ(controller.log().text(), u"Bob> to all, in private dress\r\nBob> (to me)\r\n"_s);
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
    // Later errors get their box again.
    service.deliver(2, truncated);
    ASSERT_TRUE(testsupport::waitUntil([&] { return view.boxes.size() == 2; }));
}

} // namespace
