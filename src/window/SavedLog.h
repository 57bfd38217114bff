#pragma once

#include "platform/Result.h"

#include <QDateTime>
#include <QString>

namespace window {

// The name of a log saved at `localTime`: year, month, day, hour (00 to 23),
// minute and second, then ".txt", e.g. "20011231235959.txt". No folder: the file
// goes to the current directory.
QString savedLogFileName(const QDateTime& localTime);

struct SaveLogError {
    // The file as the user would look for it (absolute path, also when the folder
    // has gone).
    QString fileName;
    // Why it could not be written, in Japanese.
    QString reason;
};

// Creates or replaces the file `name` with `logText` followed by CR LF, in UTF-8.
// A file that cannot be written completely is left as it was (or not created),
// and the error names it and says why, so the caller can tell the user before the
// log is lost.
platform::Result<void, SaveLogError> SaveLogFile(const QString& name, const QString& logText);

} // namespace window
