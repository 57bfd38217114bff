#include "window/SoundFolder.h"

#include "window/WindowLogging.h"

#include <QDir>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace window {

QString SoundListing::pathOf(qsizetype number) const {
    if (number < 0 || number >= files.size())
        return QString();
    return QDir(folder).filePath(files[number]);
}

QStringList SoundListing::scriptEntries() const {
    QStringList entries;
    entries.reserve(files.size());
    for (qsizetype i = 0; i < files.size(); ++i)
        entries.append(QString::number(i));
    return entries;
}

std::optional<QString> soundFolderPath(const QString& programFolder) {
    // The listing shows the stored name; asking for the path directly would accept
    // "sounds" on a case-insensitive file system.
    const QDir folder(programFolder);
    const QString name = kSoundFolderName.toString();
    if (!folder.entryList(QStringList{name}, QDir::Dirs | QDir::NoDotAndDotDot).contains(name))
        return std::nullopt;
    return folder.filePath(name);
}

QStringList listSoundFiles(const QString& folder) {
    // Without QDir::Hidden and QDir::System: no dot files, no broken links, devices
    // or pipes. Matching and sorting are done here rather than by QDir so that
    // neither depends on the locale.
    QStringList files = QDir(folder).entryList(QDir::Files, QDir::Unsorted);
    files.removeIf([](const QString& name) { return !name.endsWith(u".wav"_s, Qt::CaseInsensitive); });
    std::sort(files.begin(), files.end(), [](const QString& a, const QString& b) {
        const int folded = QString::compare(a, b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return files;
}

SoundListing loadSoundListing(const QString& programFolder) {
    SoundListing listing;
    if (const auto folder = soundFolderPath(programFolder)) {
        listing.folder = *folder;
        listing.files = listSoundFiles(*folder);
    } else {
        qCDebug(lcWindow) << "no sound folder in" << programFolder;
    }
    return listing;
}

} // namespace window
