#include "window/SoundFolder.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

void touch(const QString& path) {
    testsupport::writeAll(path, QByteArrayLiteral("RIFF"));
}

// A program folder with a "Sounds" folder holding `names`.
struct ProgramFolder {
    QTemporaryDir dir;
    QString sounds;

    explicit ProgramFolder(const QStringList& names, const QString& folderName = u"Sounds"_s) {
        sounds = dir.filePath(folderName);
        QDir().mkpath(sounds);
        for (const QString& name : names)
            touch(sounds + u'/' + name);
    }
};

TEST(SoundFolder, ListsWavFilesInAnyCaseSortedWithoutRegardToCase) {
    const struct {
        const char* what;
        QStringList files;
        QStringList listed;
    } cases[] = {
        {"extension in any case", {u"b.WAV"_s, u"a.Wav"_s, u"c.wAv"_s}, {u"a.Wav"_s, u"b.WAV"_s, u"c.wAv"_s}},
        {"names in mixed case",
         {u"Zebra.wav"_s, u"apple.wav"_s, u"Mango.wav"_s},
         {u"apple.wav"_s, u"Mango.wav"_s, u"Zebra.wav"_s}},
        {"hidden and other files left out",
         {u".hidden.wav"_s, u"notes.txt"_s, u"x.wav.bak"_s, u"wav"_s, u"y.wave"_s, u"ok.wav"_s},
         {u"ok.wav"_s}},
        {"names equal but for case", {u"b.wav"_s, u"B.wav"_s, u"a.wav"_s}, {u"a.wav"_s, u"B.wav"_s, u"b.wav"_s}},
        {"digits and punctuation by code",
         {u"9.wav"_s, u"10.wav"_s, u"_x.wav"_s, u"a.wav"_s, u"ice2.wav"_s, u"Ice.wav"_s},
         {u"10.wav"_s, u"9.wav"_s, u"_x.wav"_s, u"a.wav"_s, u"Ice.wav"_s, u"ice2.wav"_s}},
        {"no wav file", {u"readme.txt"_s}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProgramFolder program(c.files);
        const window::SoundListing listing = window::loadSoundListing(program.dir.path());
        EXPECT_EQ(QDir(listing.folder), QDir(program.sounds));
        EXPECT_EQ(listing.files, c.listed);
    }
}

TEST(SoundFolder, LeavesOutFoldersAndBrokenLinks) {
    ProgramFolder program({u"a.wav"_s});
    QDir(program.sounds).mkdir(u"folder.wav"_s);
    ASSERT_TRUE(QFile::link(program.sounds + u"/missing"_s, program.sounds + u"/broken.wav"_s));
    ASSERT_TRUE(QFile::link(program.sounds + u"/a.wav"_s, program.sounds + u"/b.wav"_s));
    EXPECT_EQ(window::listSoundFiles(program.sounds), (QStringList{u"a.wav"_s, u"b.wav"_s}));
}

TEST(SoundFolder, OrderDoesNotDependOnTheLocale) {
    // A collating locale would put "Éclair" beside "eclair" and before "zebra".
    ProgramFolder program({u"zebra.wav"_s, u"Éclair.wav"_s, u"eclair.wav"_s, u"Ångström.wav"_s, u"ice.wav"_s});
    const QStringList expected{u"eclair.wav"_s, u"ice.wav"_s, u"zebra.wav"_s, u"Ångström.wav"_s, u"Éclair.wav"_s};

    const QLocale saved;
    for (const char* name : {"C", "sv_SE", "tr_TR"}) {
        SCOPED_TRACE(name);
        QLocale::setDefault(QLocale(QString::fromLatin1(name)));
        EXPECT_EQ(window::listSoundFiles(program.sounds), expected);
    }
    QLocale::setDefault(saved);
}

TEST(SoundFolder, NeedsAFolderNamedExactlySounds) {
    const struct {
        const char* what;
        QString folderName;
    } cases[] = {{"lower case", u"sounds"_s}, {"other name", u"Sound"_s}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProgramFolder program({u"a.wav"_s}, c.folderName);
        EXPECT_FALSE(window::soundFolderPath(program.dir.path()));
        const window::SoundListing listing = window::loadSoundListing(program.dir.path());
        EXPECT_TRUE(listing.isEmpty());
        EXPECT_TRUE(listing.folder.isEmpty());
    }

    // A file called Sounds is no sound folder either.
    QTemporaryDir dir;
    touch(dir.filePath(u"Sounds"_s));
    EXPECT_FALSE(window::soundFolderPath(dir.path()));
}

TEST(SoundFolder, NumbersSoundsFromZero) {
    ProgramFolder program({u"b.wav"_s, u"A.wav"_s, u"c.wav"_s});
    const window::SoundListing listing = window::loadSoundListing(program.dir.path());
    EXPECT_EQ(listing.scriptEntries(), (QStringList{u"0"_s, u"1"_s, u"2"_s}));
    EXPECT_EQ(QFileInfo(listing.pathOf(0)).canonicalFilePath(),
              QFileInfo(program.sounds + u"/A.wav"_s).canonicalFilePath());
    EXPECT_EQ(QFileInfo(listing.pathOf(2)).fileName(), u"c.wav"_s);
    EXPECT_TRUE(listing.pathOf(3).isEmpty());
    EXPECT_TRUE(listing.pathOf(-1).isEmpty());
}

} // namespace
