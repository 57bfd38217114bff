#include "platform/ProgramFolder.h"

#include "common/TestSupport.h"
#include "platform/ProfileFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using testsupport::readAll;
using testsupport::writeAll;

namespace {

class ProgramFolderTest : public ::testing::Test {
protected:
    QString programDir() const { return m_dir.filePath(u"program"_s); }
    QString userDir() const { return m_dir.filePath(u"home/.config/Mirelune"_s); }
    QString programFile() const { return programDir() + u"/Mirelune.ini"_s; }
    QString userFile() const { return userDir() + u"/Mirelune.ini"_s; }

    void SetUp() override { ASSERT_TRUE(QDir().mkpath(programDir())); }

    QTemporaryDir m_dir;
};

TEST_F(ProgramFolderTest, WritableProgramFolderHoldsTheSettings) {
    EXPECT_EQ(platform::settingsFilePathFor(programDir(), userDir()), programFile());
    writeAll(programFile(), "[General]\r\n");
    EXPECT_EQ(platform::settingsFilePathFor(programDir(), userDir()), programFile());
    EXPECT_FALSE(QFileInfo::exists(userDir()));
    EXPECT_EQ(QDir(programDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{u"Mirelune.ini"_s});
}

TEST_F(ProgramFolderTest, UnwritableProgramFolderMovesSettingsToTheUserFolder) {
    // Neither of these can be written, whoever runs the test: a folder that is a
    // regular file, and a settings "file" that is a folder.
    writeAll(m_dir.filePath(u"notAFolder"_s), "x");
    EXPECT_EQ(platform::settingsFilePathFor(m_dir.filePath(u"notAFolder"_s), userDir()), userFile());
    EXPECT_TRUE(QFileInfo(userDir()).isDir());
    EXPECT_FALSE(QFileInfo::exists(userFile()));

    ASSERT_TRUE(QDir().mkpath(programFile()));
    EXPECT_EQ(platform::settingsFilePathFor(programDir(), userDir()), userFile());

    // With no user folder either, the program folder's file is still read.
    writeAll(m_dir.filePath(u"home2"_s), "x");
    const QString noUser = m_dir.filePath(u"home2/.config/Mirelune"_s);
    EXPECT_EQ(platform::settingsFilePathFor(m_dir.filePath(u"notAFolder"_s), noUser),
              m_dir.filePath(u"notAFolder/Mirelune.ini"_s));
}

TEST_F(ProgramFolderTest, UserFolderIsSeededOnceFromTheProgramFolder) {
    const auto programReadOnly = [this](const QString& folder, const QString&) { return folder != programDir(); };
    writeAll(programFile(), "[General]\r\nPlayer=Taro\r\n");
    ASSERT_TRUE(QFile::setPermissions(programFile(), QFileDevice::ReadOwner | QFileDevice::ReadGroup));

    EXPECT_EQ(platform::settingsFilePathFor(programDir(), userDir(), programReadOnly), userFile());
    EXPECT_EQ(readAll(userFile()), "[General]\r\nPlayer=Taro\r\n");
    EXPECT_TRUE(QFile::permissions(userFile()) & QFileDevice::WriteOwner);

    // Later changes of the user's copy are never overwritten by the program folder's file.
    writeAll(userFile(), "[General]\r\nPlayer=Hanako\r\n");
    EXPECT_EQ(platform::settingsFilePathFor(programDir(), userDir(), programReadOnly), userFile());
    EXPECT_EQ(readAll(userFile()), "[General]\r\nPlayer=Hanako\r\n");
}

// A program folder whose permission bits forbid writing keeps its settings file as it
// was, and the user's folder takes over with a copy of it.
TEST_F(ProgramFolderTest, ReadOnlyProgramFolderKeepsItsFileAndHandsOverACopy) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root, where permission bits do not stop writes";
    }
    writeAll(programFile(), "[General]\r\nPlayer=Taro\r\n");
    ASSERT_TRUE(QFile::setPermissions(programDir(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const platform::Status written = platform::ProfileFile(programFile()).write(u"General"_s, u"Player"_s, u"Jiro"_s);
    const QString chosen = platform::settingsFilePathFor(programDir(), userDir());
    QFile::setPermissions(programDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(written.ok());
    EXPECT_EQ(readAll(programFile()), "[General]\r\nPlayer=Taro\r\n");
    EXPECT_EQ(chosen, userFile());
    EXPECT_EQ(readAll(userFile()), "[General]\r\nPlayer=Taro\r\n");
}

} // namespace

// The program finds its Sounds folder and face-mark file beside itself in a build
// folder, and in share/mirelune once installed; only an installed program keeps its
// settings away from its own folder.
TEST(InstalledLayout, DataFolderFollowsWhereTheDataIs) {
    struct Case {
        const char* name;
        QStringList programHas;
        QStringList shareHas;
        bool installed;
    };
    const Case cases[] = {
        {"build folder with Sounds", {u"Sounds/"_s}, {}, false},
        {"build folder with a face-mark file only", {u"FaceMark.txt"_s}, {u"Sounds/"_s}, false},
        {"installed: Sounds in share", {}, {u"Sounds/"_s}, true},
        {"installed: face marks in share", {}, {u"FaceMark.txt"_s}, true},
        {"nothing anywhere", {}, {}, false},
        {"a file named Sounds is no folder", {}, {u"Sounds"_s}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir root;
        const QString program = root.filePath(u"usr/bin"_s);
        const QString share = root.filePath(u"usr/share/mirelune"_s);
        ASSERT_TRUE(QDir().mkpath(program) && QDir().mkpath(share));
        for (const auto& [folder, entries] : {std::pair{program, c.programHas}, std::pair{share, c.shareHas}}) {
            for (const QString& entry : entries) {
                if (entry.endsWith(u'/'))
                    ASSERT_TRUE(QDir(folder).mkpath(entry));
                else
                    testsupport::writeAll(QDir(folder).filePath(entry), "x");
            }
        }
        EXPECT_EQ(platform::runsInstalled(program, share), c.installed);
        EXPECT_EQ(platform::dataFolderFor(program, share), c.installed ? share : program);
    }
}
