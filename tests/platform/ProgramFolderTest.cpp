#include "platform/ProgramFolder.h"

#include "common/TestSupport.h"
#include "platform/LoginName.h"
#include "platform/ProfileFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using platform::settingsFilePathFor;
using testsupport::readAll;
using testsupport::writeAll;

namespace {

class ProgramFolderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(program)); }

    QTemporaryDir m_dir;
    const QString program = m_dir.filePath(u"program"_s), user = m_dir.filePath(u"home/.config/Mirelune"_s);
    const QString programFile = program + u"/Mirelune.ini"_s, userFile = user + u"/Mirelune.ini"_s;
};

TEST_F(ProgramFolderTest, OnlyAnUnwritableProgramFolderHandsTheSettingsToTheUserFolder) {
    EXPECT_EQ(settingsFilePathFor(program, user), programFile);
    writeAll(programFile, "[General]\r\n");
    EXPECT_EQ(settingsFilePathFor(program, user), programFile);
    EXPECT_FALSE(QFileInfo::exists(user));
    EXPECT_EQ(QDir(program).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{u"Mirelune.ini"_s});

    // Unwritable, whoever runs the test: a folder that is a regular file, and a settings
    // "file" that is a folder.
    const QString notAFolder = m_dir.filePath(u"notAFolder"_s);
    writeAll(notAFolder, "x");
    EXPECT_EQ(settingsFilePathFor(notAFolder, user), userFile);
    EXPECT_TRUE(QFileInfo(user).isDir());
    EXPECT_FALSE(QFileInfo::exists(userFile));
    ASSERT_TRUE(QFile::remove(programFile) && QDir().mkpath(programFile));
    EXPECT_EQ(settingsFilePathFor(program, user), userFile);

    // With no user folder either, the program folder's file is still read.
    writeAll(m_dir.filePath(u"home2"_s), "x");
    EXPECT_EQ(settingsFilePathFor(notAFolder, m_dir.filePath(u"home2/.config/Mirelune"_s)),
              notAFolder + u"/Mirelune.ini"_s);
}

TEST_F(ProgramFolderTest, UserFolderIsSeededOnceFromTheProgramFolder) {
    const auto programReadOnly = [this](const QString& folder, const QString&) { return folder != program; };
    writeAll(programFile, "[General]\r\nPlayer=Taro\r\n");
    ASSERT_TRUE(QFile::setPermissions(programFile, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    EXPECT_EQ(settingsFilePathFor(program, user, programReadOnly), userFile);
    EXPECT_EQ(readAll(userFile), "[General]\r\nPlayer=Taro\r\n");
    EXPECT_TRUE(QFile::permissions(userFile) & QFileDevice::WriteOwner);

    // Later changes of the user's copy are never overwritten by the program folder's file.
    writeAll(userFile, "[General]\r\nPlayer=Hanako\r\n");
    EXPECT_EQ(settingsFilePathFor(program, user, programReadOnly), userFile);
    EXPECT_EQ(readAll(userFile), "[General]\r\nPlayer=Hanako\r\n");
}

// Permission bits that forbid writing keep the file as it was; the user's folder
// takes over with a copy of it.
TEST_F(ProgramFolderTest, ReadOnlyProgramFolderKeepsItsFileAndHandsOverACopy) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root, where permission bits do not stop writes";
    }
    writeAll(programFile, "[General]\r\nPlayer=Taro\r\n");
    ASSERT_TRUE(QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const platform::Status written = platform::ProfileFile(programFile).write(u"General"_s, u"Player"_s, u"Jiro"_s);
    const QString chosen = settingsFilePathFor(program, user);
    QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(written.ok());
    EXPECT_EQ(readAll(programFile), "[General]\r\nPlayer=Taro\r\n");
    EXPECT_EQ(chosen, userFile);
    EXPECT_EQ(readAll(userFile), "[General]\r\nPlayer=Taro\r\n");
}

// The program finds its Sounds folder and face-mark file beside itself in a build
// folder, and in share/mirelune once installed; only an installed program keeps its
// settings away from its own folder.
TEST(InstalledLayout, DataFolderFollowsWhereTheDataIs) {
    const struct {
        const char* name;
        QStringList programHas, shareHas; // a trailing '/' makes a folder
        bool installed;
    } cases[] = {
        {"build folder with Sounds", {u"Sounds/"_s}, {}, false},
        {"build folder with a face-mark file only", {u"FaceMark.txt"_s}, {u"Sounds/"_s}, false},
        {"installed: Sounds in share", {}, {u"Sounds/"_s}, true},
        {"installed: face marks in share", {}, {u"FaceMark.txt"_s}, true},
        {"nothing anywhere", {}, {}, false},
        {"a file named Sounds is no folder", {}, {u"Sounds"_s}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir root;
        const QString program = root.filePath(u"usr/bin"_s), share = root.filePath(u"usr/share/mirelune"_s);
        for (const auto& [folder, entries] : {std::pair{program, c.programHas}, std::pair{share, c.shareHas}}) {
            ASSERT_TRUE(QDir().mkpath(folder));
            for (const QString& entry : entries)
                entry.endsWith(u'/') ? void(QDir(folder).mkpath(entry)) : writeAll(folder + u'/' + entry, "x");
        }
        EXPECT_EQ(platform::runsInstalled(program, share), c.installed);
        EXPECT_EQ(platform::dataFolderFor(program, share), c.installed ? share : program);
    }
}

TEST(LoginName, IsTheEffectiveUsersNameWhateverTheEnvironmentSays) {
    const passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    const QByteArray saved[] = {qgetenv("USER"), qgetenv("LOGNAME")}; // null when unset
    qputenv("USER", "someone-else");
    qputenv("LOGNAME", "someone-else");
    const std::optional<QString> name = platform::loginName();
    for (const auto& [variable, value] : {std::pair{"USER", saved[0]}, {"LOGNAME", saved[1]}})
        value.isNull() ? void(qunsetenv(variable)) : void(qputenv(variable, value));
    EXPECT_EQ(name, std::optional<QString>(QString::fromUtf8(entry->pw_name)));
}

TEST(LoginName, LongOrEmptyNamesCountAsUnreadable) {
    const std::pair<QByteArray, std::optional<QString>> cases[] = {
        {QByteArray(), std::nullopt},        {QByteArrayLiteral("taro"), u"taro"_s},
        {u"山田"_s.toUtf8(), u"山田"_s},     {QByteArray(98, 'a'), QString(98, u'a')},
        {QByteArray(99, 'a'), std::nullopt},
    };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(platform::loginNameFromBytes(stored), expected) << stored.size();
}

} // namespace
