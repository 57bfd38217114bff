#include "BuiltinResources.h"

#include <QFile>
#include <QLoggingCategory>

using namespace Qt::StringLiterals;

// Quiet unless enabled with QT_LOGGING_RULES.
Q_LOGGING_CATEGORY(lcResources, "mirelune.resources", QtCriticalMsg)

namespace resources {

QString builtinSoundPath(BuiltinSound which) {
    switch (which) {
    case BuiltinSound::Message:
        return u":/sounds/message.wav"_s;
    case BuiltinSound::Join:
        return u":/sounds/join.wav"_s;
    case BuiltinSound::Leave:
        return u":/sounds/leave.wav"_s;
    }
    return {};
}

QByteArray builtinSound(BuiltinSound which) {
    const QString path = builtinSoundPath(which);
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // Only a build that left the resource data out gets here.
        qCWarning(lcResources) << "built-in sound missing:" << path;
        return {};
    }
    return file.readAll();
}

} // namespace resources
