#include "window/SavedLog.h"

#include "window/WindowLogging.h"

#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>

using namespace Qt::StringLiterals;

namespace window {

QString savedLogFileName(const QDateTime& localTime) {
    // "MM" is the month and "mm" the minute; "HH" counts 00 to 23 whatever the
    // locale. The C locale keeps the digits ASCII.
    return QLocale::c().toString(localTime.toLocalTime(), u"yyyyMMddHHmmss") + u".txt"_s;
}

platform::Result<void, SaveLogError> SaveLogFile(const QString& name, const QString& logText) {
    const QString absolute = QFileInfo(name).absoluteFilePath();
    // Written beside the target and renamed over it, so a full disk never leaves a
    // cut log in place of an older one; a folder where no extra file may be created
    // still gets the log written directly.
    QSaveFile file(name);
    file.setDirectWriteFallback(true);
    const QByteArray bytes = (logText + u"\r\n"_s).toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        qCDebug(lcWindow) << "log not saved to" << absolute << ":" << reason;
        return platform::fail(SaveLogError{absolute, reason});
    }
    return {};
}

} // namespace window
