#pragma once

#include "platform/Result.h"

#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>

namespace window {

// The face-mark file's name in the program folder; letter case counts.
inline constexpr QStringView kFaceMarkFileName = u"FaceMark.txt";

// The built-in face marks, in the order the face-mark list shows them.
QStringList defaultFaceMarks();

// Appends the built-in face marks to `list` without clearing it first.
void FillDefaultFaceMarks(QStringList& list);

// The entries of a face-mark text: every line that ends with CR LF, a lone CR or a
// lone LF, in file order, neither trimmed nor deduplicated (an empty line is an
// empty entry). Text after the last line end is not an entry.
QStringList SplitFaceMarks(QStringView text);

// The face-mark file of `programFolder`, when the folder lists a regular file whose
// name is exactly kFaceMarkFileName.
std::optional<QString> faceMarkFilePath(const QString& programFolder);

// The whole text of the face-mark file at `path` (UTF-8, or code page 932 when the
// bytes are not UTF-8), or why it could not be read.
platform::Result<QString> ReadFaceMarkFile(const QString& path);

// The face-mark list the chat window starts with: the entries of the program
// folder's face-mark file, or the built-in list when there is no such file, it
// cannot be read, or it yields no entry.
QStringList loadFaceMarks(const QString& programFolder);

} // namespace window
