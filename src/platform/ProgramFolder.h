#pragma once

#include <QString>
#include <functional>

namespace platform {

// The folder that holds the running executable.
QString programFolder();

// The shared data folder of an installed program (share/mirelune beside the bin
// folder that holds the executable), whether or not it exists.
QString installedDataFolder();

// Where the face-mark file and the Sounds folder are looked up: the program folder,
// unless it holds neither and the installed data folder holds one of them.
QString dataFolder();

// The same decision for explicit folders, so that it can be tested.
QString dataFolderFor(const QString& programFolder, const QString& installedDataFolder);

// Whether the program runs from an installed layout: its program folder holds no data
// of its own and the installed data folder does. Such a program folder belongs to the
// system, so settings never go there, even when the user could write it (root).
bool runsInstalled(const QString& programFolder, const QString& installedDataFolder);

// Where Mirelune.ini is read and written: the program folder when the file there (or,
// if there is none, the folder) can be written; otherwise the user's configuration
// folder, seeded once with a copy of the program folder's file if there is one.
QString settingsFilePath();

// The same decision for explicit folders, so that it can be tested.
QString settingsFilePathFor(const QString& programFolder, const QString& userConfigFolder);

// Whether the settings file `file` in `folder` can be written.
using SettingsWritableTest = std::function<bool(const QString& folder, const QString& file)>;

// The same decision with the writability test supplied, for tests where permission
// bits cannot make a folder read-only (they do not stop root).
QString settingsFilePathFor(const QString& programFolder, const QString& userConfigFolder,
                            const SettingsWritableTest& canWrite);

} // namespace platform
