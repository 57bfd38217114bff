#include "platform/TextCodec.h"

#include <QByteArray>
#include <QString>
#include <gtest/gtest.h>
#include <optional>

using namespace Qt::StringLiterals;
using platform::FileEncoding;

namespace {

// Code page 932 bytes, taken from the code-page table character by character.
const QByteArray kFaceOmega = QByteArrayLiteral("(\x81\x45\x83\xD6\x81\x45)"); // (・ω・)
const QByteArray kScriptSetting =
    QByteArrayLiteral("\x83\x81\x83\x62\x83\x5A\x81\x5B\x83" // メッセージ　（拡張スクリプト設定：許可）
                      "\x57\x81\x40\x81\x69\x8A\x67\x92\xA3\x83\x58\x83\x4E\x83\x8A"
                      "\x83\x76\x83\x67\x90\xDD\x92\xE8\x81\x46\x8B\x96\x89\xC2\x81\x6A");

// Decoding is checked through the settings file and the face marks, which read files.
TEST(TextCodec, EncodesCodePage932OnlyWhatReadsBackTheSame) {
    struct Case {
        QString text;
        std::optional<QByteArray> expected;
    };
    const Case cases[] = {
        {QString(), QByteArray()},
        {u"(・ω・)"_s, kFaceOmega},
        {u"メッセージ　（拡張スクリプト設定：許可）"_s, kScriptSetting},
        {u"\\~"_s, QByteArrayLiteral("\\~")},
        {u"～"_s, QByteArrayLiteral("\x81\x60")},
        {u"〜"_s, std::nullopt}, // shares its code with ～ and would come back as that
        {u"한국"_s, std::nullopt},
        {u"😀"_s, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::encodeCp932(c.text), c.expected) << c.text.toStdString();
}

TEST(TextCodec, ValidatesUtf8Strictly) {
    for (const QByteArray& valid : {QByteArray(), QByteArrayLiteral("plain"), u"あ😀"_s.toUtf8()})
        EXPECT_TRUE(platform::isValidUtf8(valid)) << valid.toHex().toStdString();
    // Overlong '/', a surrogate, above U+10FFFF, cut short, a stray continuation byte.
    for (const QByteArray& invalid :
         {QByteArrayLiteral("\xC0\xAF"), QByteArrayLiteral("\xED\xA0\x80"), QByteArrayLiteral("\xF4\x90\x80\x80"),
          QByteArrayLiteral("\xE3\x81"), QByteArrayLiteral("\x80"), kFaceOmega})
        EXPECT_FALSE(platform::isValidUtf8(invalid)) << invalid.toHex().toStdString();
}

TEST(TextCodec, CutsOnlyBetweenCharacters) {
    struct Case {
        QByteArray bytes;
        qsizetype max;
        FileEncoding encoding;
        QByteArray expected;
    };
    const QByteArray a = u"aあい"_s.toUtf8(); // 1 + 3 + 3 bytes
    // "°°" in code page 932: the trail byte 0x8B is also a valid lead byte, so only a
    // scan from the start finds the boundaries.
    const QByteArray degrees = QByteArrayLiteral("a\x81\x8B\x81\x8B");
    const Case cases[] = {
        {a, 6, FileEncoding::Utf8, u"aあ"_s.toUtf8()},
        {a, 4, FileEncoding::Utf8, u"aあ"_s.toUtf8()},
        {a, 0, FileEncoding::Utf8, QByteArray()},
        {degrees, 4, FileEncoding::Cp932, QByteArrayLiteral("a\x81\x8B")},
        {degrees, 3, FileEncoding::Cp932, QByteArrayLiteral("a\x81\x8B")},
        {QByteArrayLiteral("\x81\x8B"
                           "b"),
         2, FileEncoding::Cp932, QByteArrayLiteral("\x81\x8B")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::cutToWholeCharacters(c.bytes, c.max, c.encoding), c.expected)
            << c.bytes.toHex().toStdString() << " max " << c.max;
    }
}

} // namespace
