#include "window/FaceMarks.h"

#include "platform/TextCodec.h"
#include "window/WindowLogging.h"

#include <QDir>
#include <QFile>

using namespace Qt::StringLiterals;

namespace window {

QStringList defaultFaceMarks() {
    return {
        u"(^_^)"_s,   u"(^_^;)"_s,   u"m(_ _)m"_s, u"(;_;)"_s,   u"(^_^)/"_s, u"(^o^)"_s,
        u"<(_ _)>"_s, u"_(._.)_"_s,  u"(T_T)"_s,   u"(*^_^*)"_s, u"(-_-;)"_s, u"(>_<)"_s,
        u"(・ω・)"_s, u"(・ｗ・)"_s, u":-)"_s,     u":-("_s,     u":-O"_s,
    };
}

void FillDefaultFaceMarks(QStringList& list) {
    list.append(defaultFaceMarks());
}

QStringList SplitFaceMarks(QStringView text) {
    // A line ends with CR LF, a lone CR or a lone LF: files written on Windows and
    // files written by editors here both work. Text after the last line end is not
    // an entry.
    QStringList entries;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r' && text[i] != u'\n')
            continue;
        entries.append(text.sliced(lineStart, i - lineStart).toString());
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        lineStart = i + 1;
    }
    return entries;
}

std::optional<QString> faceMarkFilePath(const QString& programFolder) {
    // Listing the folder, rather than asking for the path, sees the stored name: on a
    // case-insensitive file system "facemark.txt" would answer for the path too.
    // Only regular files count (QDir::System would add FIFOs, which block a reader).
    const QDir folder(programFolder);
    const QString name = kFaceMarkFileName.toString();
    if (!folder.entryList(QStringList{name}, QDir::Files).contains(name))
        return std::nullopt;
    return folder.filePath(name);
}

platform::Result<QString> ReadFaceMarkFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return platform::fail(file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return platform::fail(file.errorString());
    return platform::decodeFileText(bytes);
}

QStringList loadFaceMarks(const QString& programFolder) {
    QStringList entries;
    if (const auto path = faceMarkFilePath(programFolder)) {
        if (const auto text = ReadFaceMarkFile(*path))
            entries = SplitFaceMarks(*text);
        else
            qCDebug(lcWindow) << "face-mark file" << *path << "not read:" << text.error();
    }
    if (entries.isEmpty())
        FillDefaultFaceMarks(entries);
    return entries;
}

} // namespace window
