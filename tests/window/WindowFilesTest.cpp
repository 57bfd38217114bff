// The files the chat window reads beside the program (face marks, sounds) and the
// log it saves.
#include "common/TestSupport.h"
#include "window/FaceMarks.h"
#include "window/SavedLog.h"
#include "window/SoundFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

TEST(FaceMarks, SplitsLinesEndedByCrLfCrOrLf) {
    const std::pair<QString, QStringList> cases[] = {
        {u"A\r\nB\r\n"_s, {u"A"_s, u"B"_s}},
        {u"A\r\nB"_s, {u"A"_s}},                          // text after the last line end is not an entry
        {u"A\nB\n"_s, {u"A"_s, u"B"_s}},                  // files written by editors here
        {u"AB\rCD\rEF\r"_s, {u"AB"_s, u"CD"_s, u"EF"_s}}, // CR-only keeps every first character
        {u"A\r\n\r\nB\r\n"_s, {u"A"_s, u""_s, u"B"_s}},
        {u" (^_^) \r\n(^_^)\r\n(^_^)\r\n"_s, {u" (^_^) "_s, u"(^_^)"_s, u"(^_^)"_s}}, // no trimming, duplicates stay
        {u""_s, {}},
    };
    for (const auto& [text, entries] : cases)
        EXPECT_EQ(window::SplitFaceMarks(text), entries) << QString(text).replace(u'\r', u'R').toStdString();

    // Far beyond 32,767 characters, and a line longer than that on its own.
    const QString longLine(40000, u'x');
    const QStringList entries = window::SplitFaceMarks(QString(u"mark\r\n"_s.repeated(5000) + longLine + u"\r\n"_s));
    EXPECT_EQ(std::pair(entries.size(), entries.last()), std::pair(qsizetype(5001), longLine));
}

TEST(FaceMarks, LoadsOnlyARegularFileWithTheExactNameOrTheDefaults) {
    const QStringList defaults = window::defaultFaceMarks();
    const struct {
        const char* what;
        QByteArray bytes;
        QStringList entries;
        QString name = u"FaceMark.txt"_s;
    } cases[] = {
        {"UTF-8 file", "(^^)\r\n・ω\r\n", {u"(^^)"_s, u"・ω"_s}},
        {"UTF-8 with byte order mark", "\xEF\xBB\xBFx\r\n", {u"x"_s}},
        {"code page 932 file", "(\x81\x45\x83\xD6\x81\x45)\r\n\x5C\r\n", {u"(・ω・)"_s, u"\\"_s}},
        {"name in lower case", "x\r\n", defaults, u"facemark.txt"_s},
        {"empty file", {}, defaults},
        {"no line end at all", "x", defaults},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        testsupport::writeAll(folder.filePath(c.name), c.bytes);
        EXPECT_EQ(window::loadFaceMarks(folder.path()), c.entries);
    }

    // No file, a folder of that name, then a pipe (reading it would wait for a writer).
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    EXPECT_EQ(window::loadFaceMarks(folder.path()), defaults);
    ASSERT_TRUE(QDir(folder.path()).mkdir(u"FaceMark.txt"_s));
    EXPECT_FALSE(window::faceMarkFilePath(folder.path()));
    ASSERT_TRUE(QDir(folder.path()).rmdir(u"FaceMark.txt"_s));
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder.filePath(u"FaceMark.txt"_s)).constData(), 0600), 0);
    EXPECT_FALSE(window::faceMarkFilePath(folder.path()));
    EXPECT_EQ(window::loadFaceMarks(folder.path()), defaults);
}

// Sound numbers travel between members, so every copy must list the same files in the
// same order: equal names but for case by code, digits and punctuation by code, no
// collation (which would put "Éclair" beside "eclair"). Only a folder named exactly
// "Sounds" counts.
TEST(SoundFolder, ListsWavFilesInAnyCaseSortedWithoutRegardToCaseOrLocale) {
    QTemporaryDir program;
    const QString sounds = program.filePath(u"Sounds"_s);
    for (const QString& folder : {u"sounds"_s, u"Sound"_s, u"Sounds"_s}) {
        EXPECT_TRUE(window::loadSoundListing(program.path()).folder.isEmpty()) << folder.toStdString();
        QDir().mkpath(program.filePath(folder));
        for (const QString& name : u"zebra.wav Éclair.wav eclair.wav Ångström.wav ice.wav Ice.wav ice2.wav b.wav B.wav "
                                   u"a.Wav c.wAv Mango.wav 9.wav 10.wav _x.wav .hidden.wav notes.txt x.wav.bak wav "
                                   u"y.wave"_s.split(u' '))
            testsupport::writeAll(program.filePath(folder) + u'/' + name, "RIFF");
    }
    // Neither folders nor broken links are sounds; a working link is.
    QDir(sounds).mkdir(u"folder.wav"_s);
    ASSERT_TRUE(QFile::link(sounds + u"/missing"_s, sounds + u"/broken.wav"_s));
    ASSERT_TRUE(QFile::link(sounds + u"/Mango.wav"_s, sounds + u"/link.wav"_s));
    const QStringList expected = u"10.wav 9.wav _x.wav a.Wav B.wav b.wav c.wAv eclair.wav Ice.wav ice.wav ice2.wav "
                                 u"link.wav Mango.wav zebra.wav Ångström.wav Éclair.wav"_s.split(u' ');
    const QLocale saved;
    for (const char* name : {"C", "sv_SE", "tr_TR"}) {
        SCOPED_TRACE(name);
        QLocale::setDefault(QLocale(QString::fromLatin1(name)));
        const window::SoundListing listing = window::loadSoundListing(program.path());
        EXPECT_EQ(QDir(listing.folder), QDir(sounds));
        EXPECT_EQ(listing.files, expected);
    }
    QLocale::setDefault(saved);

    // Script sound numbers come from other members: out of range means no sound.
    const window::SoundListing listing = window::loadSoundListing(program.path());
    EXPECT_EQ(QFileInfo(listing.pathOf(3)).fileName(), u"a.Wav"_s);
    EXPECT_TRUE(listing.pathOf(16).isEmpty() && listing.pathOf(-1).isEmpty());

    // Nor is a file called Sounds a sound folder.
    QTemporaryDir other;
    testsupport::writeAll(other.filePath(u"Sounds"_s), "RIFF");
    EXPECT_FALSE(window::soundFolderPath(other.path()));
}

// Named by the local clock, afternoon hours counting on, whatever zone the time is
// given in; the file is replaced by the log, in UTF-8 with CR LF.
TEST(SavedLog, IsNamedByTheLocalTimeAndReplacesAnOlderFile) {
    const QDateTime local(QDate(2001, 1, 2), QTime(9, 5, 3));
    EXPECT_EQ(window::savedLogFileName(local), u"20010102090503.txt"_s);
    EXPECT_EQ(window::savedLogFileName(local.toTimeZone(QTimeZone(3600 * 5 + 1800))), u"20010102090503.txt"_s);
    EXPECT_EQ(window::savedLogFileName(QDateTime(QDate(2026, 7, 4), QTime(13, 7, 8))), u"20260704130708.txt"_s);

    // The chat window's quit test saves a log and is told of a missing folder; here an
    // older, longer file is replaced whole, and a folder in the way stays.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(u"20011231235959.txt"_s), taken = dir.filePath(u"taken.txt"_s);
    testsupport::writeAll(path, QByteArray(5000, 'o'));
    ASSERT_TRUE(window::SaveLogFile(path, QString()).ok());
    EXPECT_EQ(testsupport::readAll(path), "\r\n");
    ASSERT_TRUE(window::SaveLogFile(path, u"Ann> 😀 ñ\r\n"_s).ok());
    EXPECT_EQ(testsupport::readAll(path), QByteArrayLiteral("Ann> \xF0\x9F\x98\x80 \xC3\xB1\r\n\r\n"));

    ASSERT_TRUE(QDir().mkdir(taken));
    const auto saved = window::SaveLogFile(taken, u"log\r\n"_s);
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(std::pair(saved.error().fileName, saved.error().reason),
              std::pair(taken, u"同じ名前のフォルダーがあります。"_s));
    EXPECT_TRUE(QFileInfo(taken).isDir());
}

} // namespace
