#include "platform/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

using namespace Qt::StringLiterals;

namespace platform {

namespace {

const QString kSettingsFileName = u"Mirelune.ini"_s;

bool holdsData(const QString& folder) {
    const QDir dir(folder);
    return QFileInfo(dir.filePath(u"Sounds"_s)).isDir() || QFileInfo(dir.filePath(u"FaceMark.txt"_s)).isFile();
}

// Permission bits say little (root ignores them, a read-only mount ignores them), so
// writability is tried: the settings file is replaced through a temporary file next
// to it, which needs the folder, and an existing file must open for writing too.
bool canWriteSettingsIn(const QString& folder, const QString& file) {
    if (!QFileInfo(folder).isDir())
        return false;
    {
        QTemporaryFile probe(folder + u"/.mirelune-write-test-XXXXXX"_s);
        if (!probe.open())
            return false;
    }
    if (QFileInfo::exists(file)) {
        QFile existing(file);
        // Append leaves the content and the modification time alone.
        if (!existing.open(QIODevice::WriteOnly | QIODevice::Append))
            return false;
    }
    return true;
}

} // namespace

QString programFolder() {
    return QCoreApplication::applicationDirPath();
}

QString installedDataFolder() {
    // The path from the bin folder to the data folder is fixed when the program is
    // configured, so an unpacked or relocated installation finds its data too.
    return QDir::cleanPath(programFolder() + u"/"_s + QStringLiteral(MIRELUNE_DATA_FROM_BIN));
}

bool runsInstalled(const QString& programFolder, const QString& installedDataFolder) {
    return QDir::cleanPath(programFolder) != QDir::cleanPath(installedDataFolder) && !holdsData(programFolder) &&
           holdsData(installedDataFolder);
}

QString dataFolderFor(const QString& programFolder, const QString& installedDataFolder) {
    return runsInstalled(programFolder, installedDataFolder) ? installedDataFolder : programFolder;
}

QString dataFolder() {
    return dataFolderFor(programFolder(), installedDataFolder());
}

QString settingsFilePath() {
    const QString folder = programFolder();
    const QString userFolder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (runsInstalled(folder, installedDataFolder())) {
        return settingsFilePathFor(folder, userFolder, [folder](const QString& candidate, const QString& file) {
            return candidate != folder && canWriteSettingsIn(candidate, file);
        });
    }
    return settingsFilePathFor(folder, userFolder);
}

QString settingsFilePathFor(const QString& programFolder, const QString& userConfigFolder) {
    return settingsFilePathFor(programFolder, userConfigFolder, canWriteSettingsIn);
}

QString settingsFilePathFor(const QString& programFolder, const QString& userConfigFolder,
                            const SettingsWritableTest& canWrite) {
    const QString programFile = QDir(programFolder).filePath(kSettingsFileName);
    if (canWrite(programFolder, programFile) || userConfigFolder.isEmpty())
        return programFile;

    const QString userFile = QDir(userConfigFolder).filePath(kSettingsFileName);
    if (!QDir().mkpath(userConfigFolder) || !canWrite(userConfigFolder, userFile)) {
        // Nowhere to write: keep reading the program folder's file, so that at least the
        // settings there still apply (writes then report their failure).
        return programFile;
    }
    if (!QFileInfo::exists(userFile) && QFileInfo::exists(programFile)) {
        // Seed once; the copy keeps the source's permission bits, and a read-only file
        // in a read-only program folder would otherwise stay read-only here.
        if (QFile::copy(programFile, userFile))
            QFile::setPermissions(userFile,
                                  QFile::permissions(userFile) | QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    return userFile;
}

} // namespace platform
