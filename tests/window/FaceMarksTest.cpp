#include "window/FaceMarks.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using window::SplitFaceMarks;

namespace {

TEST(FaceMarks, SplitsLinesEndedByCrLfCrOrLf) {
    const struct {
        QString text;
        QStringList entries;
    } cases[] = {
        {u"A\r\nB\r\n"_s, {u"A"_s, u"B"_s}},
        {u"A\r\nB"_s, {u"A"_s}},                          // text after the last line end is not an entry
        {u"A\nB\n"_s, {u"A"_s, u"B"_s}},                  // files written by editors here
        {u"AB\rCD\rEF\r"_s, {u"AB"_s, u"CD"_s, u"EF"_s}}, // CR-only keeps every first character
        {u"AB\rCD\r\nEF\r"_s, {u"AB"_s, u"CD"_s, u"EF"_s}},
        {u"A\r\n\r\nB\r\n"_s, {u"A"_s, u""_s, u"B"_s}},
        {u"A\r\r\nB\r\n"_s, {u"A"_s, u""_s, u"B"_s}},
        {u"\r\n"_s, {u""_s}},
        {u" (^_^) \r\n(^_^)\r\n(^_^)\r\n"_s, {u" (^_^) "_s, u"(^_^)"_s, u"(^_^)"_s}}, // no trimming, duplicates stay
        {u""_s, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitFaceMarks(c.text), c.entries) << QString(c.text).replace(u'\r', u'R').toStdString();
    }
}

TEST(FaceMarks, SplitsTextsOfAnyLength) {
    // Far beyond 32,767 characters, and a line longer than that on its own.
    QString text;
    for (int i = 0; i < 5000; ++i)
        text += u"mark"_s + QString::number(i) + u"\r\n"_s;
    const QString longLine(40000, u'x');
    text += longLine + u"\r\n"_s;
    ASSERT_GT(text.size(), 32767);

    const QStringList entries = SplitFaceMarks(text);
    ASSERT_EQ(entries.size(), 5001);
    EXPECT_EQ(entries[0], u"mark0"_s);
    EXPECT_EQ(entries[4999], u"mark4999"_s);
    EXPECT_EQ(entries[5000], longLine);
}

TEST(FaceMarks, FillingAppendsTheDefaultsAfterWhatIsThere) {
    QStringList list{u"kept"_s};
    window::FillDefaultFaceMarks(list);
    window::FillDefaultFaceMarks(list);
    ASSERT_EQ(list.size(), 35);
    EXPECT_EQ(list[0], u"kept"_s);
    EXPECT_EQ(list[1], u"(^_^)"_s);
    EXPECT_EQ(list[18], u"(^_^)"_s);
}

TEST(FaceMarks, LoadsTheFileOfTheProgramFolderOrTheDefaults) {
    const QStringList defaults = window::defaultFaceMarks();
    const struct {
        const char* what;
        QString name;
        QByteArray bytes;
        QStringList entries;
    } cases[] = {
        {"UTF-8 file",
         u"FaceMark.txt"_s,
         QByteArrayLiteral("(^^)\r\n\xE3\x83\xBB\xCF\x89\r\n"),
         {u"(^^)"_s, QString::fromUcs4(U"\u30FB\u03C9")}},
        {"UTF-8 with byte order mark", u"FaceMark.txt"_s, QByteArrayLiteral("\xEF\xBB\xBFx\r\n"), {u"x"_s}},
        {"code page 932 file",
         u"FaceMark.txt"_s,
         QByteArrayLiteral("(\x81\x45\x83\xD6\x81\x45)\r\n\x5C\r\n"),
         {QString::fromUcs4(U"(\u30FB\u03C9\u30FB)"), u"\\"_s}},
        {"name in lower case", u"facemark.txt"_s, QByteArrayLiteral("x\r\n"), defaults},
        {"empty file", u"FaceMark.txt"_s, QByteArray(), defaults},
        {"no line end at all", u"FaceMark.txt"_s, QByteArrayLiteral("x"), defaults},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        testsupport::writeAll(folder.filePath(c.name), c.bytes);
        EXPECT_EQ(window::loadFaceMarks(folder.path()), c.entries);
    }
}

TEST(FaceMarks, LooksOnlyForARegularFileWithTheExactName) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    EXPECT_FALSE(window::faceMarkFilePath(folder.path()));
    EXPECT_EQ(window::loadFaceMarks(folder.path()), window::defaultFaceMarks());

    // A folder of that name, then a pipe (reading it would wait for a writer).
    ASSERT_TRUE(QDir(folder.path()).mkdir(u"FaceMark.txt"_s));
    EXPECT_FALSE(window::faceMarkFilePath(folder.path()));
    ASSERT_TRUE(QDir(folder.path()).rmdir(u"FaceMark.txt"_s));
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder.filePath(u"FaceMark.txt"_s)).constData(), 0600), 0);
    EXPECT_FALSE(window::faceMarkFilePath(folder.path()));
    EXPECT_EQ(window::loadFaceMarks(folder.path()), window::defaultFaceMarks());
}

TEST(FaceMarks, MissingFileIsAnError) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const auto missing = window::ReadFaceMarkFile(folder.filePath(u"FaceMark.txt"_s));
    ASSERT_FALSE(missing.ok());
    EXPECT_FALSE(missing.error().isEmpty());
}

} // namespace
