#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>

namespace window {

// The sound folder's name in the program folder; letter case counts.
inline constexpr QStringView kSoundFolderName = u"Sounds";

// The numbered sounds of the sound folder. A sound script names a sound by its
// number, and the number travels to other copies of the program, so the order must
// not depend on anything but the file names.
struct SoundListing {
    // The sound folder, or empty when the program folder has none.
    QString folder;
    // The file names; sound n is files[n].
    QStringList files;

    bool isEmpty() const { return files.isEmpty(); }

    // The path of sound `number`, or an empty text when there is no such sound.
    QString pathOf(qsizetype number) const;

    // The entries of the sound-script list: "0", "1", ... one per file.
    QStringList scriptEntries() const;
};

// The sound folder of `programFolder`, when the folder lists a directory whose
// name is exactly kSoundFolderName.
std::optional<QString> soundFolderPath(const QString& programFolder);

// The files of `folder` named "*.wav" (the extension in any letter case), hidden
// files and anything but regular files left out, sorted by name without regard to
// case (Unicode case folding, the same in every locale); names equal but for case
// are ordered by their UTF-16 code units.
QStringList listSoundFiles(const QString& folder);

// The sound folder of `programFolder` and its listing; empty without a folder.
SoundListing loadSoundListing(const QString& programFolder);

} // namespace window
