#pragma once

#include <QDir>
#include <QString>

namespace transfer {

// A name a received file may be stored under on any system, from the name a peer
// offered: its last path component only (split at / and \), without control or format
// characters, trimmed of spaces and trailing dots, the characters Windows forbids
// replaced with "_", a device name (CON, NUL, COM1 ...) prefixed with "_", at most
// 200 UTF-8 bytes keeping the extension. Never empty, never "." or "..".
QString safeFileName(const QString& offered);

// `name` if nothing of that name is in `dir`, else "stem (2).ext", "stem (3).ext" ...
// the first that is free.
QString freeFileName(const QDir& dir, const QString& name);

// Where received files go unless the user says otherwise: the user's download folder,
// the home folder where the system names none.
QString defaultDownloadFolder();

} // namespace transfer
