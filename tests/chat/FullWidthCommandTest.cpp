#include "ChatRecorders.h"
#include "chat/ChatController.h"
#include "common/FakeSessionService.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// Commands typed with the input method on go out in ASCII; nothing else changes.
TEST(FullWidthCommands, TheSenderSendsTheAsciiCommand) {
    const struct {
        QString typed;
        QString sent; // empty: nothing goes out
    } rows[] = {
        {u"＠ｓ２；"_s, u"@s2;"_s},
        {u"＠Ｓ１２；やあ；"_s, u"@S12;やあ；"_s},
        {u"@S２;hi"_s, u"@S2;hi"_s},
        {u"＠s3;"_s, u"@s3;"_s},
        {u"＠ｃｌｅａｒ；ｘ"_s, u"@clear太郎;ｘ"_s},
        {u"＠ＤＥＬ；"_s, u"@del太郎;"_s},
        {u"＠ｓｙｓｃｌｅａｒ；"_s, u"@sysclear;"_s},
        {u"＠ｐｅｒｍｉｓｓｉｏｎ＝ｙｅｓ；"_s, QString()},
        // Not a command in full width: sent as typed.
        {u"＠ほげ；"_s, u"＠ほげ；"_s},
        {u"＠ｓａｂｃ；"_s, u"＠ｓａｂｃ；"_s},
        {u"＠ｓ；"_s, u"＠ｓ；"_s},
        {u"＠ｓ２"_s, u"＠ｓ２"_s},
        {u"＠ｃｌｅａｒ花子；"_s, u"＠ｃｌｅａｒ花子；"_s},
        {u"ｓ２；＠ｓ２；"_s, u"ｓ２；＠ｓ２；"_s},
        {u"１２"_s, u"１２"_s}, // EasySound off
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed.toStdString());
        testsupport::FakeSessionService service;
        chattest::RecordingSounds sounds;
        chattest::RecordingView view;
        chat::ChatController controller(service, sounds, view);
        controller.setLocalPlayer(1, u"太郎"_s);
        controller.cmdSend_Click(row.typed);
        ASSERT_EQ(service.sent.size(), row.sent.isEmpty() ? 0 : 1);
        if (!row.sent.isEmpty()) {
            EXPECT_EQ(service.sent[0].text, row.sent);
        }
    }
}

TEST(FullWidthCommands, EasySoundTakesFullWidthDigits) {
    testsupport::FakeSessionService service;
    chattest::RecordingSounds sounds;
    chattest::RecordingView view;
    chat::ChatController controller(service, sounds, view);
    controller.setEasySound(true);
    EXPECT_EQ(controller.cmdSend_Click(u"１2"_s).text, u"@S12;"_s);
    EXPECT_TRUE(service.sent.isEmpty());
    controller.cmdSend_Click(u"１ｘ"_s);
    ASSERT_EQ(service.sent.size(), 1);
    EXPECT_EQ(service.sent[0].text, u"１ｘ"_s);
}

} // namespace
