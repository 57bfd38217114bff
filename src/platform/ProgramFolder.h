#pragma once

#include <QString>
#include <functional>

namespace platform {

// The folder that holds the running executable. The face-mark file and the Sounds
// folder are looked up here.
QString programFolder();

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
