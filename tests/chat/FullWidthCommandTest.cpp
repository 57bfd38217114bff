#include "ChatRecorders.h"
#include "chat/ChatController.h"
#include "common/FakeSessionService.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

// Commands typed with the input method on go out in ASCII; nothing else changes.
TEST(FullWidthCommands, TheSenderSendsTheAsciiCommand) {
    const struct {
        QString typed;
        QString sent; // empty: nothing goes out
        bool easySound = false;
        QString entry = {}; // what the entry shows afterwards
    } rows[] = {
        {u"＠ｓ２；"_s, u"@s2;"_s},
        {u"＠Ｓ１２；やあ；"_s, u"@S12;やあ；"_s},
        {u"@S２;hi"_s, u"@S2;hi"_s},
        {u"＠ｃｌｅａｒ；ｘ"_s, u"@clear太郎;ｘ"_s},
        {u"＠ＤＥＬ；"_s, u"@del太郎;"_s},
        {u"＠ｓｙｓｃｌｅａｒ；"_s, u"@sysclear;"_s},
        {u"＠ｐｅｒｍｉｓｓｉｏｎ＝ｙｅｓ；"_s, QString()},
        {u"１2"_s, QString(), true, u"@S12;"_s},
        // Not a command in full width, or no number: sent as typed.
        {u"＠ほげ；"_s, u"＠ほげ；"_s},
        {u"＠ｓａｂｃ；"_s, u"＠ｓａｂｃ；"_s},
        {u"＠ｓ；"_s, u"＠ｓ；"_s},
        {u"＠ｓ２"_s, u"＠ｓ２"_s},
        {u"＠ｃｌｅａｒ花子；"_s, u"＠ｃｌｅａｒ花子；"_s},
        {u"ｓ２；＠ｓ２；"_s, u"ｓ２；＠ｓ２；"_s},
        {u"１２"_s, u"１２"_s},
        {u"１ｘ"_s, u"１ｘ"_s, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed.toStdString());
        testsupport::FakeSessionService service;
        chattest::RecordingSounds sounds;
        chattest::RecordingView view;
        chat::ChatController controller(service, sounds, view);
        controller.setLocalPlayer(1, u"太郎"_s);
        controller.setEasySound(row.easySound);
        EXPECT_EQ(controller.cmdSend_Click(row.typed).text, row.entry);
        EXPECT_EQ(service.sent.isEmpty() ? QString() : service.sent[0].text, row.sent);
    }
}
