#include "platform/ProfileFile.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

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

TEST_F(ProfileFileTest, ReadsLikeTheClassicProfileCalls) {
    writeAll(path(), "; settings\r\n"
                     "Orphan=before any section\r\n"
                     "[general]\r\n"
                     "PLAYER =  \t Taro \t\r\n"
                     "player=second wins never\r\n"
                     "Quoted=\"  a b \"\r\n"
                     "Key = Value\r\n"
                     "Empty=\r\n"
                     "Blanks=   \r\n"
                     "Absent=$$$Nothing$$$\r\n"
                     "Equals=a=b\r\n"
                     "no equals sign here\r\n"
                     "  [General]  \r\n"
                     "Room=in the second General section\r\n"
                     "[Custom]\r\n"
                     "LogFColor=000000FF");
    struct Case {
        QString section, key, expected;
    };
    const QString dflt = u"default"_s;
    const Case cases[] = {
        {u"General"_s, u"Player"_s, u"Taro"_s},
        {u"GENERAL"_s, u"pLaYeR"_s, u"Taro"_s},
        {u"General"_s, u"Quoted"_s, u"\"  a b \""_s},
        {u"General"_s, u"key"_s, u"Value"_s},
        {u"General"_s, u"Empty"_s, QString()},
        {u"General"_s, u"Blanks"_s, QString()},
        {u"General"_s, u"Equals"_s, u"a=b"_s},
        {u"General"_s, u"Room"_s, dflt}, // only the first matching section counts
        {u"General"_s, u"Orphan"_s, dflt},
        {u"General"_s, u"no equals sign here"_s, dflt},
        {u"Custom"_s, u"LogFColor"_s, u"000000FF"_s},
        {u"Custom"_s, u"LogBColor"_s, dflt},
        {u"Nowhere"_s, u"Player"_s, dflt},
    };
    const ProfileFile file(path());
    for (const Case& c : cases)
        EXPECT_EQ(file.read(c.section, c.key, dflt), c.expected)
            << c.section.toStdString() << "/" << c.key.toStdString();

    // A stored sentinel comes back unchanged, so the caller takes it for an absent key.
    const QString sentinel = QString::fromUtf16(platform::kAbsentSentinel);
    EXPECT_EQ(file.read(u"General"_s, u"Absent"_s, u"x"_s), sentinel);
    EXPECT_EQ(file.read(u"General"_s, u"Missing"_s, sentinel), sentinel);
}

TEST_F(ProfileFileTest, MissingOrUnreadableFileGivesTheDefault) {
    EXPECT_EQ(ProfileFile(path()).read(u"General"_s, u"Player"_s, u"d"_s), u"d"_s);
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(u"folder.ini"_s));
    EXPECT_EQ(ProfileFile(m_dir.filePath(u"folder.ini"_s)).read(u"General"_s, u"Player"_s, u"d"_s), u"d"_s);
}

TEST_F(ProfileFileTest, ReadLimitNeverCutsACharacter) {
    // UTF-8: 1 + 3 * 100 bytes; 254 bytes hold "a" and 84 whole characters.
    writeAll(path(),
             "[General]\r\nPlayer=a" + u"あ"_s.repeated(100).toUtf8() + "\r\nRoom=" + QByteArray(300, 'r') + "\r\n");
    EXPECT_EQ(ProfileFile(path()).read(u"General"_s, u"Player"_s, {}), u"a"_s + u"あ"_s.repeated(84));
    EXPECT_EQ(ProfileFile(path()).read(u"General"_s, u"Room"_s, {}), QString(254, u'r'));

    // Code page 932: "あ" is 82 A0 and "°" is 81 8B, whose trail byte looks like a lead
    // byte. 1 + 2 * 200 bytes; 254 bytes hold "a" and 126 whole characters.
    writeAll(path(), "[General]\r\nPlayer=a" + QByteArrayLiteral("\x82\xA0\x81\x8B").repeated(100) + "\r\n");
    EXPECT_EQ(ProfileFile(path()).read(u"General"_s, u"Player"_s, {}), u"a"_s + u"あ°"_s.repeated(63));
}

TEST_F(ProfileFileTest, WritingKeepsEveryOtherLineByteForByte) {
    const QByteArray original = "; Mirelune settings|"
                                "|"
                                "[General]|"
                                "ShowGreet=0|"
                                "line without equals sign|"
                                "Player = Taro|"
                                "|"
                                "; the options of the chat window|"
                                "[Custom]|"
                                "LogFColor=000000FF|"
                                "[Other]|"
                                "x=1|";
    const QByteArray expected = "; Mirelune settings|"
                                "|"
                                "[General]|"
                                "ShowGreet=0|"
                                "line without equals sign|"
                                "Player = 花子|"
                                "Room=部屋|"
                                "|"
                                "; the options of the chat window|"
                                "[Custom]|"
                                "LogFColor=000000FF|"
                                "[Other]|"
                                "x=1|"
                                "[New]|"
                                "Key=v|";
    for (const QByteArray& lineEnd : {QByteArrayLiteral("\r\n"), QByteArrayLiteral("\n")}) {
        writeAll(path(), withLineEnds(original, lineEnd));
        ProfileFile file(path());
        ASSERT_TRUE(file.write(u"general"_s, u"PLAYER"_s, u"花子"_s).ok());
        ASSERT_TRUE(file.write(u"General"_s, u"Room"_s, u"部屋"_s).ok());
        ASSERT_TRUE(file.write(u"New"_s, u"Key"_s, u"v"_s).ok());
        EXPECT_EQ(readAll(path()), withLineEnds(expected, lineEnd)) << lineEnd.toHex().toStdString();
        EXPECT_EQ(file.read(u"General"_s, u"Player"_s, {}), u"花子"_s);
    }
}

TEST_F(ProfileFileTest, CreatesFileSectionAndKeys) {
    struct Case {
        const char* name;
        std::optional<QByteArray> before;
        QByteArray after;
    };
    const Case cases[] = {
        {"new file", std::nullopt, "[General]\r\nPlayer=Taro\r\n"},
        {"empty file", QByteArray(), "[General]\r\nPlayer=Taro\r\n"},
        {"no line end at the end", "[Custom]\nEasySound=1", "[Custom]\nEasySound=1\n[General]\nPlayer=Taro\n"},
        {"section last without line end", "[General]\r\nRoom=r", "[General]\r\nRoom=r\r\nPlayer=Taro\r\n"},
        {"empty section before another", "[General]\r\n\r\n[Custom]\r\n",
         "[General]\r\nPlayer=Taro\r\n\r\n[Custom]\r\n"},
        {"key with blanks after equals sign", "[General]\r\nPlayer =  Jiro  \r\n", "[General]\r\nPlayer =  Taro\r\n"},
        {"byte order mark kept", "\xEF\xBB\xBF[General]\r\nPlayer=x\r\n", "\xEF\xBB\xBF[General]\r\nPlayer=Taro\r\n"},
    };
    for (const Case& c : cases) {
        QFile::remove(path());
        if (c.before)
            writeAll(path(), *c.before);
        EXPECT_TRUE(ProfileFile(path()).write(u"General"_s, u"Player"_s, u"Taro"_s).ok()) << c.name;
        EXPECT_EQ(readAll(path()), c.after) << c.name;
    }
}

TEST_F(ProfileFileTest, ValueWithLineBreakStaysOnOneLine) {
    ProfileFile file(path());
    ASSERT_TRUE(file.write(u"General"_s, u"Player"_s, u"Taro\r\nRoom=evil\n\t\x7F!"_s).ok());
    ASSERT_TRUE(file.write(u"Gen\neral"_s, u"Ro\rom"_s, u"r"_s).ok());
    EXPECT_EQ(readAll(path()), "[General]\r\nPlayer=TaroRoom=evil!\r\nRoom=r\r\n");
    EXPECT_EQ(file.read(u"General"_s, u"Player"_s, {}), u"TaroRoom=evil!"_s);
}

TEST_F(ProfileFileTest, CodePage932FileStaysReadable) {
    // The same settings, once in UTF-8 and once in code page 932, read the same.
    const QByteArray cp932 = QByteArrayLiteral("; \x90\xDD\x92\xE8\r\n" // ; 設定
                                               "[General]\r\n"
                                               "Player=(\x81\x45\x83\xD6\x81\x45)\r\n"
                                               "Room=(\x81\x45\x82\x97\x81\x45)\r\n"
                                               "Caption=\x83\x81\x83\x62\x83\x5A\x81\x5B\x83\x57\x81\x40\x81\x69\x8A"
                                               "\x67\x92\xA3\x83\x58\x83\x4E\x83\x8A\x83\x76\x83\x67\x90\xDD\x92\xE8"
                                               "\x81\x46\x8B\x96\x89\xC2\x81\x6A\r\n");
    const QByteArray utf8 = u"; 設定\r\n[General]\r\nPlayer=(・ω・)\r\nRoom=(・ｗ・)\r\n"
                            u"Caption=メッセージ　（拡張スクリプト設定：許可）\r\n"_s.toUtf8();
    for (const QByteArray& bytes : {cp932, utf8}) {
        writeAll(path(), bytes);
        const ProfileFile file(path());
        EXPECT_EQ(file.read(u"General"_s, u"Player"_s, {}), u"(・ω・)"_s);
        EXPECT_EQ(file.read(u"General"_s, u"Room"_s, {}), u"(・ｗ・)"_s);
        EXPECT_EQ(file.read(u"General"_s, u"Caption"_s, {}), u"メッセージ　（拡張スクリプト設定：許可）"_s);
    }

    // A value the code page can hold is written in it; the file stays code page 932.
    writeAll(path(), cp932);
    ProfileFile file(path());
    ASSERT_TRUE(file.write(u"General"_s, u"Room"_s, u"花子"_s).ok());
    QByteArray expected = cp932;
    expected.replace(QByteArrayLiteral("Room=(\x81\x45\x82\x97\x81\x45)"), QByteArrayLiteral("Room=\x89\xD4\x8E\x71"));
    EXPECT_EQ(readAll(path()), expected);

    // One it cannot hold turns the whole file into UTF-8, nothing lost.
    ASSERT_TRUE(file.write(u"General"_s, u"Room"_s, u"한국 〜"_s).ok());
    QByteArray converted = utf8;
    converted.replace(u"Room=(・ｗ・)"_s.toUtf8(), u"Room=한국 〜"_s.toUtf8());
    EXPECT_EQ(readAll(path()), converted);
    EXPECT_EQ(file.read(u"General"_s, u"Player"_s, {}), u"(・ω・)"_s);
}

TEST_F(ProfileFileTest, BytesValidInNeitherEncodingLoseNoOtherLine) {
    writeAll(path(), "[General]\r\nA=\x81\r\nB=ok\r\nC=\xFF\xFE\r\nD=\x82\xA0\r\n");
    ProfileFile file(path());
    EXPECT_EQ(file.read(u"General"_s, u"A"_s, {}), u"\uFFFD"_s);
    EXPECT_EQ(file.read(u"General"_s, u"B"_s, {}), u"ok"_s);
    EXPECT_EQ(file.read(u"General"_s, u"C"_s, {}), u"\uFFFD\uFFFD"_s);
    EXPECT_EQ(file.read(u"General"_s, u"D"_s, {}), u"あ"_s);

    ASSERT_TRUE(file.write(u"General"_s, u"B"_s, u"new"_s).ok());
    EXPECT_EQ(readAll(path()), "[General]\r\nA=\x81\r\nB=new\r\nC=\xFF\xFE\r\nD=\x82\xA0\r\n");
}

TEST_F(ProfileFileTest, FailedWriteReportsAReasonAndChangesNothing) {
    // A parent that is a regular file cannot hold the file, for root as well.
    writeAll(m_dir.filePath(u"plain"_s), "x");
    const platform::Status status = ProfileFile(m_dir.filePath(u"plain/Mirelune.ini"_s)).write(u"G"_s, u"K"_s, u"v"_s);
    ASSERT_FALSE(status.ok());
    EXPECT_FALSE(status.error().isEmpty());

    // A folder in place of the file: the folder stays.
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(u"folder.ini"_s));
    EXPECT_FALSE(ProfileFile(m_dir.filePath(u"folder.ini"_s)).write(u"G"_s, u"K"_s, u"v"_s).ok());
    EXPECT_TRUE(QFileInfo(m_dir.filePath(u"folder.ini"_s)).isDir());
}

TEST_F(ProfileFileTest, ReadOnlyFolderKeepsTheOldFile) {
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root, where permission bits do not stop writes";
    const QString folder = m_dir.filePath(u"ro"_s);
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString file = folder + u"/Mirelune.ini"_s;
    writeAll(file, "[General]\r\nPlayer=Taro\r\n");
    ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const platform::Status status = ProfileFile(file).write(u"General"_s, u"Player"_s, u"Jiro"_s);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(readAll(file), "[General]\r\nPlayer=Taro\r\n");
}

} // namespace
