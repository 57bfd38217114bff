#include "platform/ProfileFile.h"

#include "common/TestSupport.h"
#include "platform/TextCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>
#include <tuple>

using namespace Qt::StringLiterals;
using platform::ProfileFile;
using testsupport::readAll;
using testsupport::writeAll;

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    QString path() const { return m_dir.filePath(u"Mirelune.ini"_s); }

    QTemporaryDir m_dir;
};

// Replaces every '|' of a hand-written file by the line end under test.
QByteArray withLineEnds(QByteArray text, const QByteArray& lineEnd) {
    return text.replace('|', lineEnd);
}

// "(・ω・)", "(・ｗ・)" and "メッセージ　（拡張スクリプト設定：許可）" in code page 932.
const QByteArray kCp932Settings = QByteArrayLiteral(
    "; \x90\xDD\x92\xE8\r\n" // ; 設定
    "[General]\r\n"
    "Player=(\x81\x45\x83\xD6\x81\x45)\r\n"
    "Room=(\x81\x45\x82\x97\x81\x45)\r\n"
    "Caption=\x83\x81\x83\x62\x83\x5A\x81\x5B\x83\x57\x81\x40\x81\x69\x8A\x67\x92\xA3\x83\x58\x83\x4E\x83\x8A"
    "\x83\x76\x83\x67\x90\xDD\x92\xE8\x81\x46\x8B\x96\x89\xC2\x81\x6A\r\n");

// Each case is read from its bytes and from a file holding them, which must agree.
TEST_F(ProfileFileTest, ReadsLikeTheClassicProfileCalls) {
    const QByteArray classic = withLineEnds("; settings|Orphan=before any section|[general]|PLAYER =  \t Taro \t|"
                                            "player=second wins never|Quoted=\"\"|Empty=|Blanks=   |"
                                            "Absent=$$$Nothing$$$|Equals=a=b|no equals sign here|  [General]  |"
                                            "Room=in the second General section|[Custom]|LogFColor=000000FF",
                                            "\r\n");
    const QString dflt = u" default"_s; // given with two trailing blanks, which never come back
    const std::tuple<const char*, QByteArray, QString, QString, QString> cases[] = {
        {"names ignore case, blanks trimmed", classic, u"GENERAL"_s, u"pLaYeR"_s, u"Taro"_s},
        {"empty value", classic, u"General"_s, u"Empty"_s, QString()},
        {"a pair of quotes is empty", classic, u"General"_s, u"Quoted"_s, QString()},
        {"'=' inside the value", classic, u"General"_s, u"Equals"_s, u"a=b"_s},
        {"only the first section counts", classic, u"General"_s, u"Room"_s, dflt},
        {"key before any section", classic, u"General"_s, u"Orphan"_s, dflt},
        {"line without '='", classic, u"General"_s, u"no equals sign here"_s, dflt},
        {"last line without line end", classic, u"Custom"_s, u"LogFColor"_s, u"000000FF"_s},
        {"missing key", classic, u"Custom"_s, u"LogBColor"_s, dflt},
        // The caller takes a stored sentinel for an absent key.
        {"sentinel comes back", classic, u"General"_s, u"Absent"_s, QString::fromUtf16(platform::kAbsentSentinel)},
        {"BOM before a key of no section", "\xEF\xBB\xBFKey=x\r\n", u"General"_s, u"Key"_s, dflt},
        {"a BOM opening a value is part of it", "[General]\r\nA=\xEF\xBB\xBF\tx\r\n", u"General"_s, u"A"_s,
         u"\uFEFF\tx"_s},
        {"code page 932 value", kCp932Settings, u"General"_s, u"Caption"_s,
         u"メッセージ　（拡張スクリプト設定：許可）"_s},
        // "ゾ" is 83 5D: its trail byte is ']'. "ゼ" is 83 5B: '['.
        {"']' as a trail byte", "[\x83\x5D\x81\x5B\x83\x93]\r\nKey=\x92\x6C\r\n", u"ゾーン"_s, u"Key"_s, u"値"_s},
        {"invalid in both encodings", "[General]\r\nA=\x80\xFF ok\r\n", u"General"_s, u"A"_s, u"�� ok"_s},
        {"CR before CR LF", "[General]\r\nShowGreet=1\r\r\nLog=1\r\n", u"General"_s, u"ShowGreet"_s, u"1"_s},
        {"blanks inside quotes stay", "[General]\r\nPlayer = \" Taro \" \r\n", u"General"_s, u"Player"_s, u" Taro "_s},
        {"a lone quote stays", "[General]\r\nPlayer=\"Taro\r\n", u"General"_s, u"Player"_s, u"\"Taro"_s},
        {"lead byte before the line end", "[General]\r\nA=\x81\r\nB=ok\r\n", u"General"_s, u"B"_s, u"ok"_s},
        // At most 254 bytes, never part of a character. UTF-8: 254 bytes hold "a" and 84
        // characters of three bytes. Code page 932: "あ" is 82 A0 and "°" is 81 8B, whose
        // trail byte looks like a lead byte; 254 bytes hold "a" and 126 characters.
        {"cut at 254 bytes", "[General]\r\nRoom=" + QByteArray(300, 'r'), u"General"_s, u"Room"_s, QString(254, u'r')},
        {"UTF-8 cut", "[General]\r\nPlayer=a" + u"あ"_s.repeated(100).toUtf8(), u"General"_s, u"Player"_s,
         u"a"_s + u"あ"_s.repeated(84)},
        {"code page 932 cut", "[General]\r\nPlayer=a" + QByteArrayLiteral("\x82\xA0\x81\x8B").repeated(100),
         u"General"_s, u"Player"_s, u"a"_s + u"あ°"_s.repeated(63)},
    };
    for (const auto& [what, bytes, section, key, expected] : cases) {
        EXPECT_EQ(ProfileFile::readFromBytes(bytes, section, key, dflt + u"  "_s), expected) << what;
        writeAll(path(), bytes);
        EXPECT_EQ(ProfileFile(path()).read(section, key, dflt + u"  "_s), expected) << what;
    }
}

TEST_F(ProfileFileTest, WritingKeepsEveryOtherLineByteForByte) {
    const QByteArray original = "; Mirelune settings||[General]|ShowGreet=0|line without equals sign|Player = Taro||"
                                "; the options of the chat window|[Custom]|LogFColor=000000FF|[Other]|x=1|";
    const QByteArray expected = "; Mirelune settings||[General]|ShowGreet=0|line without equals sign|Player = 花子|"
                                "Room=部屋||; the options of the chat window|[Custom]|LogFColor=000000FF|[Other]|x=1|"
                                "[New]|Key=v|";
    for (const QByteArray& lineEnd : {QByteArrayLiteral("\r\n"), QByteArrayLiteral("\n"), QByteArrayLiteral("\r")}) {
        writeAll(path(), withLineEnds(original, lineEnd));
        ProfileFile file(path());
        ASSERT_TRUE(file.write(u"general"_s, u"PLAYER"_s, u"花子"_s).ok());
        ASSERT_TRUE(file.write(u"General"_s, u"Room"_s, u"部屋"_s).ok());
        ASSERT_TRUE(file.write(u"New"_s, u"Key"_s, u"v"_s).ok());
        EXPECT_EQ(readAll(path()), withLineEnds(expected, lineEnd)) << lineEnd.toHex().toStdString();
    }
}

TEST_F(ProfileFileTest, CreatesFileSectionAndKeys) {
    const std::tuple<const char*, std::optional<QByteArray>, QByteArray> cases[] = {
        {"new file", std::nullopt, "[General]\r\nPlayer=Taro\r\n"},
        {"no line end at the end", "[Custom]\nEasySound=1", "[Custom]\nEasySound=1\n[General]\nPlayer=Taro\n"},
        {"section last without line end", "[General]\r\nRoom=r", "[General]\r\nRoom=r\r\nPlayer=Taro\r\n"},
        {"empty section before another", "[General]\r\n\r\n[Custom]\r\n",
         "[General]\r\nPlayer=Taro\r\n\r\n[Custom]\r\n"},
        {"key with blanks after equals sign", "[General]\r\nPlayer =  Jiro  \r\n", "[General]\r\nPlayer =  Taro\r\n"},
        {"byte order mark kept", "\xEF\xBB\xBF[General]\r\nPlayer=x\r\n", "\xEF\xBB\xBF[General]\r\nPlayer=Taro\r\n"},
        // Invalid bytes make the file code page 932; they stay as they were.
        {"bytes of no encoding kept", "[General]\r\nA=\x81\r\nPlayer=x\r\nC=\xFF\xFE\r\n",
         "[General]\r\nA=\x81\r\nPlayer=Taro\r\nC=\xFF\xFE\r\n"},
    };
    for (const auto& [name, before, after] : cases) {
        QFile::remove(path());
        if (before)
            writeAll(path(), *before);
        EXPECT_TRUE(ProfileFile(path()).write(u"General"_s, u"Player"_s, u"Taro"_s).ok()) << name;
        EXPECT_EQ(readAll(path()), after) << name;
    }

    // Control characters never make a line of their own.
    QFile::remove(path());
    ProfileFile file(path());
    ASSERT_TRUE(file.write(u"General"_s, u"Player"_s, u"Taro\r\nRoom=evil\n\t\x7F!"_s).ok());
    ASSERT_TRUE(file.write(u"Gen\neral"_s, u"Ro\rom"_s, u"r"_s).ok());
    EXPECT_EQ(readAll(path()), "[General]\r\nPlayer=TaroRoom=evil!\r\nRoom=r\r\n");
}

TEST_F(ProfileFileTest, CodePage932FileStaysCodePage932UntilATextNeedsMore) {
    // A value the code page can hold is written in it.
    writeAll(path(), kCp932Settings);
    ProfileFile file(path());
    ASSERT_TRUE(file.write(u"General"_s, u"Room"_s, u"花子"_s).ok());
    QByteArray expected = kCp932Settings;
    expected.replace(QByteArrayLiteral("Room=(\x81\x45\x82\x97\x81\x45)"), QByteArrayLiteral("Room=\x89\xD4\x8E\x71"));
    EXPECT_EQ(readAll(path()), expected);

    // One it cannot hold turns the whole file into UTF-8, nothing lost.
    ASSERT_TRUE(file.write(u"General"_s, u"Room"_s, u"한국 〜"_s).ok());
    EXPECT_EQ(readAll(path()), u"; 設定\r\n[General]\r\nPlayer=(・ω・)\r\nRoom=한국 〜\r\n"
                               u"Caption=メッセージ　（拡張スクリプト設定：許可）\r\n"_s.toUtf8());
}

TEST_F(ProfileFileTest, UnusablePathsGiveTheDefaultAndFailedWritesChangeNothing) {
    EXPECT_EQ(ProfileFile(path()).read(u"General"_s, u"Player"_s, u"d"_s), u"d"_s);

    // A parent that is a regular file cannot hold the file, for root as well.
    writeAll(m_dir.filePath(u"plain"_s), "x");
    const platform::Status status = ProfileFile(m_dir.filePath(u"plain/Mirelune.ini"_s)).write(u"G"_s, u"K"_s, u"v"_s);
    EXPECT_TRUE(!status.ok() && !status.error().isEmpty());

    // A folder in place of the file: the folder stays.
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(u"folder.ini"_s));
    ProfileFile folder(m_dir.filePath(u"folder.ini"_s));
    EXPECT_EQ(folder.read(u"General"_s, u"Player"_s, u"d"_s), u"d"_s);
    EXPECT_FALSE(folder.write(u"G"_s, u"K"_s, u"v"_s).ok());
    EXPECT_TRUE(QFileInfo(folder.path()).isDir());
}

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
