#include "common/TestSupport.h"
#include "platform/ProgramFolder.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

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
