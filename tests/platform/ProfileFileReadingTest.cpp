#include "common/TestSupport.h"
#include "platform/ProfileFile.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using platform::ProfileFile;

// Files written by hand or on another system: line ends and quotes are read as the
// classic profile calls read them.
TEST(ProfileFileReading, LineEndsQuotesAndDefaultsAsTheClassicCalls) {
    const QByteArray crOnly = "[General]\rShowGreet=1\rPlayer=Taro\r";
    const struct {
        const char* what;
        QByteArray bytes;
        QString key, defaultValue, expected;
    } cases[] = {
        {"lone CR ends a line", crOnly, u"Player"_s, {}, u"Taro"_s},
        {"CR before CR LF", "[General]\r\nShowGreet=1\r\r\nLog=1\r\n", u"ShowGreet"_s, {}, u"1"_s},
        {"quotes dropped", "[General]\r\nLogFColor=\"000000FF\"\r\n", u"LogFColor"_s, {}, u"000000FF"_s},
        {"blanks inside quotes stay", "[General]\r\nPlayer = \" Taro \" \r\n", u"Player"_s, {}, u" Taro "_s},
        {"a lone quote stays", "[General]\r\nPlayer=\"Taro\r\n", u"Player"_s, {}, u"\"Taro"_s},
        {"default without trailing blanks", crOnly, u"Room"_s, u" Room  "_s, u" Room"_s},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProfileFile::readFromBytes(c.bytes, u"General"_s, c.key, c.defaultValue), c.expected) << c.what;

    // Writing finds the key in a CR-only file and keeps its line ends.
    QTemporaryDir dir;
    const QString path = dir.filePath(u"Mirelune.ini"_s);
    testsupport::writeAll(path, crOnly);
    ASSERT_TRUE(ProfileFile(path).write(u"General"_s, u"ShowGreet"_s, u"0"_s).ok());
    EXPECT_EQ(testsupport::readAll(path), "[General]\rShowGreet=0\rPlayer=Taro\r");
}
