#include "window/SavedLog.h"

#include "window/WindowLogging.h"

#include <QDir>
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

namespace {

// The current folder, also when it has been removed while the program ran: the
// system then no longer gives its path the usual way, but Linux still names it.
QString currentFolder() {
    QString folder = QDir::currentPath();
    if (folder.isEmpty()) {
        folder = QFileInfo(u"/proc/self/cwd"_s).symLinkTarget();
        const QString removed = u" (deleted)"_s;
        if (folder.endsWith(removed)) {
            folder.chop(removed.size());
        }
    }
    return folder;
}

// Why `target` could not be written, in the program's language; Qt's own reasons
// are English and often name the wrong step (a removed folder gives "Operation not
// permitted").
QString reasonFor(const QFileInfo& target, QFileDevice::FileError error) {
    if (!QFileInfo(target.absolutePath()).isDir()) {
        return u"保存先のフォルダーが見つかりません。"_s;
    }
    if (target.isDir()) {
        return u"同じ名前のフォルダーがあります。"_s;
    }
    if (target.exists() && !target.isWritable()) {
        return u"ファイルに書き込む権限がありません。"_s;
    }
    if (!QFileInfo(target.absolutePath()).isWritable()) {
        return u"保存先のフォルダーに書き込む権限がありません。"_s;
    }
    if (error == QFileDevice::WriteError) {
        return u"ファイルに書き込めませんでした。ディスクの空きが足りない可能性があります。"_s;
    }
    return u"ファイルを作成できませんでした。"_s;
}

} // namespace

platform::Result<void, SaveLogError> SaveLogFile(const QString& name, const QString& logText) {
    const QString absolute = QFileInfo(name).isAbsolute() ? name : QDir(currentFolder()).filePath(name);
    // Written beside the target and renamed over it, so a full disk never leaves a
    // cut log in place of an older one; a folder where no extra file may be created
    // still gets the log written directly.
    QSaveFile file(name);
    file.setDirectWriteFallback(true);
    const QByteArray bytes = (logText + u"\r\n"_s).toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        const QFileDevice::FileError error = file.error();
        qCDebug(lcWindow) << "log not saved to" << absolute << ":" << file.errorString();
        file.cancelWriting();
        return platform::fail(SaveLogError{absolute, reasonFor(QFileInfo(absolute), error)});
    }
    return {};
}

} // namespace window
