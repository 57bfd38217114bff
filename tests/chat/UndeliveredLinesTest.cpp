// Lines of one's own that the service gives up on come back to the entry with one
// send-failure box per burst, and the log takes nothing more.
#include "ChatRecorders.h"
#include "chat/ChatController.h"
#include "common/FakeSessionService.h"
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <utility>

using namespace Qt::StringLiterals;
using testsupport::FakeSessionService;

namespace {

TEST(UndeliveredLines, ComeBackToTheEntryWithOneBoxPerBurstAndNothingLogged) {
    FakeSessionService service;
    chattest::RecordingSounds sounds;
    chattest::RecordingView view;
    chat::ChatController controller{service, sounds, view};
    service.players = {{1, u"Alice"_s}, {2, u"Bob"_s}};
    service.eventHandle = controller.registerForEvents();
    controller.setLocalPlayer(1, u"Alice"_s);
    controller.UpdateRoster();

    const auto undelivered = [&](qint32 kind, const QString& text, session::PlayerId to = session::kEveryone) {
        service.deliverChat(1, kind, text, to);
        service.queue.last().undelivered = true;
    };
    const auto settle = [&] {
        EXPECT_TRUE(testsupport::waitUntil([&] { return service.queue.isEmpty(); }));
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    };
    ASSERT_TRUE(controller.cmdSend_Click(u"two\nlines"_s).sent);
    const QString logged = controller.log().text();

    // One burst: a public and a private line (wire line ends back to the entry's), a
    // message that is no chat line (ignored), and a line from Bob in between.
    undelivered(0, u"two\r\nlines"_s);
    service.deliverChat(2, 0, u"still here"_s);
    undelivered(1, u"psst"_s, 2);
    undelivered(7, u"not a chat line"_s);
    // A line given up on while the box is open belongs to its burst: no second box.
    bool late = true;
    view.whileBoxShows = [&] {
        if (std::exchange(late, false)) {
            undelivered(0, u"late"_s);
            QCoreApplication::processEvents(); // its event waits behind the box
        }
    };
    settle();
    EXPECT_EQ(view.restored, (QStringList{u"two\nlines\npsst"_s, u"late"_s}));
    EXPECT_EQ(view.boxes, QStringList{u"メッセージの送信に失敗しました"_s});
    EXPECT_EQ(controller.log().text(), logged + u"Bob> still here\r\n"_s);

    // A later burst is told again.
    undelivered(0, u"again"_s);
    settle();
    EXPECT_EQ(view.restored.last(), u"again"_s);
    EXPECT_EQ(view.boxes.size(), 2);
}

} // namespace
