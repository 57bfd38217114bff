#include "platform/TextCodec.h"

#include <QByteArray>
#include <QString>
#include <gtest/gtest.h>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// Decoding, and cutting a value to whole characters, are checked through the
// settings file and the face marks, which read files.
TEST(TextCodec, EncodesCodePage932OnlyWhatReadsBackTheSame) {
    const std::pair<QString, std::optional<QByteArray>> cases[] = {
        {QString(), QByteArray()},
        {u"(・ω・)"_s, QByteArrayLiteral("(\x81\x45\x83\xD6\x81\x45)")},
        {u"\\~"_s, QByteArrayLiteral("\\~")},
        {u"～"_s, QByteArrayLiteral("\x81\x60")},
        {u"〜"_s, std::nullopt}, // shares its code with ～ and would come back as that
        {u"한국"_s, std::nullopt},
        {u"😀"_s, std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(platform::encodeCp932(text), expected) << text.toStdString();
}

TEST(TextCodec, ValidatesUtf8Strictly) {
    for (const QByteArray& valid : {QByteArray(), QByteArrayLiteral("plain"), u"あ😀"_s.toUtf8()})
        EXPECT_TRUE(platform::isValidUtf8(valid)) << valid.toHex().toStdString();
    // Overlong '/', a surrogate, above U+10FFFF, cut short, a stray continuation byte,
    // code page 932.
    for (const QByteArray& invalid :
         {QByteArrayLiteral("\xC0\xAF"), QByteArrayLiteral("\xED\xA0\x80"), QByteArrayLiteral("\xF4\x90\x80\x80"),
          QByteArrayLiteral("\xE3\x81"), QByteArrayLiteral("\x80"), QByteArrayLiteral("(\x81\x45\x83\xD6\x81\x45)")})
        EXPECT_FALSE(platform::isValidUtf8(invalid)) << invalid.toHex().toStdString();
}

} // namespace
